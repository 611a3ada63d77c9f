// Whole-file copy: copies compared node by node (names, types, data, times,
// streams, dictionary), free space dropped, file times and permissions
// carried; refusals leave the destination and the directory as they were.
#include <kraster/kfio.h>
#include <kraster/khfa.h>
#include <kraster/kmet.h>
#include <kraster/kmsc.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hfa/hfa_tree_util.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

struct Tst {
    int32_t a;
    double d;
};

class HfaCopy : public HfaTest {
  protected:
    // :a{b{c}}, :raw (no design), :gone deleted (free space), :s (stream of
    // 300 blocks), with the Tst design and an unused one in the dictionary.
    void buildSource() {
        ktest::Err err;
        Khfa_File *f = create(path("src.hfa"));
        ASSERT_NE(f, nullptr);
        Kmif_Dictionary *dict = khfa_FileDictionary(f);
        const Kmif_Design *tst =
            kmif_DesignCreate(dict, "Tst", KMIF_TYPE_S32, "a", KMIF_TYPE_F64, "d", 0, &err);
        ASSERT_NE(tst, nullptr) << ktest::messages(err.r);
        ASSERT_NE(kmif_DesignCreate(dict, "Unused", KMIF_TYPE_U8, "u", 0, &err), nullptr);
        const Tst v{7, 2.5};
        ASSERT_EQ(khfa_ObjectWrite(f, ":", "a", "Tst", KHFA_WRITE_LAST_CHILD, &v, tst, &err), 0);
        ASSERT_EQ(khfa_ObjectWrite(f, ":a", "b", "Tst", KHFA_WRITE_LAST_CHILD, &v, tst, &err), 0);
        ASSERT_TRUE(seekTo(f, ":a:b"));
        write(f, KHFA_WRITE_LAST_CHILD, "c", "Empty");
        ASSERT_EQ(khfa_ObjectDataWrite(f, ":", "gone", "Junk", KHFA_WRITE_LAST_CHILD, "12345678", 8,
                                       &err),
                  0);
        ASSERT_EQ(khfa_ObjectDataWrite(f, ":", "raw", "NoDesign", KHFA_WRITE_LAST_CHILD,
                                       "raw bytes", 9, &err),
                  0);
        ASSERT_TRUE(seekTo(f, ":gone"));
        ASSERT_EQ(khfa_EntryDelete(f, &err), 0);
        Khfa_Cache *s = khfa_CacheCreate(f, (path("src.hfa") + "(:s)").c_str(), nullptr, &err);
        ASSERT_NE(s, nullptr) << ktest::messages(err.r);
        stream.assign(1024 * 300 + 3, 'x');
        for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>(i * 13);
        ASSERT_EQ(khfa_CacheWrite(s, stream.data(), static_cast<int32_t>(stream.size()), &err),
                  static_cast<int32_t>(stream.size()));
        ASSERT_EQ(khfa_CacheClose(s, &err), 0);
        ASSERT_GT(khfa_FileFreeSpaceSize(f, &err), 0);
        close(f);
        chmod(path("src.hfa").c_str(), 0640);
        ASSERT_EQ(kfio_SetModTime(path("src.hfa").c_str(), 1000000000, &err), 0);
    }
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto &d : std::filesystem::directory_iterator(dir.path()))
            names.push_back(d.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string stream;
};

// Every entry of the copy against the source's: path, type, data bytes and
// modification time; the stream's bytes; the dictionary; no free space.
TEST_F(HfaCopy, CopyMatchesNodeByNode) {
    buildSource();
    ktest::Err err;
    Khfa_File *src = khfa_FileOpen(path("src.hfa").c_str(), "r", nullptr, &err);
    ASSERT_NE(src, nullptr);
    ASSERT_TRUE(seekTo(src, ":a:b"));
    {
        ktest::PrintedReports printed;
        ASSERT_EQ(khfa_FileCopy(path("src.hfa").c_str(), path("dst.hfa").c_str(), nullptr, &err, 1,
                                4, 9, 0),
                  0)
            << ktest::messages(err.r);
        EXPECT_TRUE(printed.contains("Unrecognized copy option 9 - ignored."));
        EXPECT_TRUE(printed.contains(
            "Could not locate design for >NoDesign<; attempting to copy data anyway"));
    }
    EXPECT_EQ(where(src), ":a:b");  // the source's current entry is kept
    const std::string sb = ktest::readFile(path("src.hfa"));
    const std::string db = ktest::readFile(path("dst.hfa"));
    EXPECT_EQ(diskTree(db), diskTree(sb));
    EXPECT_EQ(diskTree(db), (std::vector<std::string>{":a Tst 12", ":a:b Tst 12", ":a:b:c Empty 0",
                                                      ":raw NoDesign 9", ":s Khfa_CacheNode 16"}));
    EXPECT_TRUE(readDiskList(db).blocks.empty());
    EXPECT_TRUE(readDiskList(db).ok);
    EXPECT_LT(db.size(), sb.size());

    Khfa_File *dst = khfa_FileOpen(path("dst.hfa").c_str(), "r", nullptr, &err);
    ASSERT_NE(dst, nullptr);
    EXPECT_EQ(khfa_FileFreeSpaceSize(dst, &err), 0);
    const std::string ds =
        ktest::take(kmif_DictionaryEncodeToString(khfa_FileDictionary(src), &err));
    EXPECT_NE(ds, "(NULL)");
    EXPECT_EQ(ktest::take(kmif_DictionaryEncodeToString(khfa_FileDictionary(dst), &err)), ds);
    for (const char *p : {":", ":a", ":a:b", ":a:b:c", ":raw"}) {
        SCOPED_TRACE(p);
        const Khfa_Entry *sp = khfa_EntrySeek(src, KHFA_SEEK_PATH, p, &err);
        ASSERT_NE(sp, nullptr);
        const Khfa_Entry se = *sp, *de = khfa_EntrySeek(dst, KHFA_SEEK_PATH, p, &err);
        ASSERT_NE(de, nullptr);
        EXPECT_EQ(de->modTime, se.modTime);
        EXPECT_EQ(db.substr(de->data, de->dataSize), sb.substr(se.data, se.dataSize));
    }
    khfa_FileClose(src, nullptr);
    Khfa_Cache *s = khfa_CacheOpen(dst, (path("dst.hfa") + "(:s)").c_str(), nullptr, &err);
    ASSERT_NE(s, nullptr) << ktest::messages(err.r);
    std::string back(stream.size() + 1, '\0');
    EXPECT_EQ(khfa_CacheRead(s, back.data(), static_cast<int32_t>(back.size()), &err),
              static_cast<int32_t>(back.size()));
    EXPECT_EQ(back.substr(0, stream.size()), stream);
    khfa_CacheFree(s, nullptr);
    khfa_FileClose(dst, nullptr);

    Kfio_StatInfo di{};
    ASSERT_EQ(kfio_Stat(path("dst.hfa").c_str(), &di, &err), 0);
    EXPECT_EQ(di.modifyTime, 1000000000);
    EXPECT_EQ(di.mode & 07777, 0640u);
    EXPECT_EQ(files(), (std::vector<std::string>{"dst.hfa", "src.hfa"}));
    // The source removed while it is copied: its times cannot be carried over.
    const std::string gone = path("src.hfa");
    Kmet_MeterInfo *meter = kmet_MeterInfoCreate(
        [](void *name, const char *, double) {
            unlink(static_cast<char *>(name));
            return 0;
        },
        const_cast<char *>(gone.c_str()), &err);
    khfa_FileCopySetMeter(meter);
    EXPECT_EQ(khfa_FileCopy(gone.c_str(), path("again.hfa").c_str(), nullptr, &err, 0), -1);
    EXPECT_TRUE(ktest::says(err.r, "Cannot give")) << ktest::messages(err.r);
    khfa_FileCopySetMeter(nullptr);
    kmet_MeterInfoDelete(meter);
}

int cancelAfterTwo(void *context, const char *, double) {
    return ++*static_cast<int *>(context) > 2;
}

// Refusals: each leaves an existing destination as it was and no temporary
// file behind.
TEST_F(HfaCopy, RefusalsLeaveTheDestination) {
    buildSource();
    ktest::writeFile(path("dst.hfa"), "old contents");
    const std::string src = path("src.hfa"), dst = path("dst.hfa");
    ktest::Err err;
    struct Case {
        const char *what;
        std::string source;
        const char *message;
    } cases[] = {
        {"missing source", path("none.hfa"), "Error opening file"},
        {"data in a Khfa_Data entry", path("bad.hfa"),
         "Cannot copy data for node of type Khfa_Data"},
        {"data outside the file", path("far.hfa"), "lie outside the file"},
        {"cancelled", src, "Aborted"},
    };
    {
        Khfa_File *f = create(path("bad.hfa"));
        ASSERT_EQ(
            khfa_ObjectDataWrite(f, ":", "d", "Khfa_Data", KHFA_WRITE_LAST_CHILD, "12", 2, &err),
            0);
        close(f);
        std::string b = ktest::readFile(src);
        const uint32_t raw = le32(b, le32(b, le32(b, 16) + 8) + 12);  // :a
        put32(b, raw + 16, static_cast<uint32_t>(b.size() - 4));      // its data at the end
        ktest::writeFile(path("far.hfa"), b);
    }
    int calls = 0;
    Kmet_MeterInfo *meter = kmet_MeterInfoCreate(cancelAfterTwo, &calls, &err);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        khfa_FileCopySetMeter(std::string(c.what) == "cancelled" ? meter : nullptr);
        EXPECT_EQ(khfa_FileCopy(c.source.c_str(), dst.c_str(), nullptr, &err, 0), -1);
        EXPECT_TRUE(ktest::says(err.r, c.message)) << ktest::messages(err.r);
        EXPECT_EQ(ktest::readFile(dst), "old contents");
        EXPECT_EQ(files(), (std::vector<std::string>{"bad.hfa", "dst.hfa", "far.hfa", "src.hfa"}));
    }
    khfa_FileCopySetMeter(nullptr);
    kmet_MeterInfoDelete(meter);
    EXPECT_GT(calls, 2);
    // The destination open in this process.
    Khfa_File *open = khfa_FileOpen(src.c_str(), "r", nullptr, &err);
    EXPECT_EQ(khfa_FileCopy(dst.c_str(), src.c_str(), nullptr, &err, 0), -1);
    EXPECT_EQ(ktest::messages(err.r), "Cannot copy to >" + src + "< when it is already open");
    khfa_FileClose(open, nullptr);
    refused(err, khfa_FileCopyProgressUpdate(5, 0, &err) == -1, "Bad UpdateType");
    // The entry pieces on their own: the root is not written.
    Khfa_File *a = khfa_FileOpen(src.c_str(), "r", nullptr, &err);
    Khfa_File *b = create(path("piece.hfa"));
    EXPECT_EQ(khfa_CopyGenericEntry(a, b, KHFA_WRITE_LAST_CHILD, &err), 0);
    ASSERT_TRUE(seekTo(a, ":a"));
    EXPECT_EQ(khfa_CopyGenericEntry(a, b, KHFA_WRITE_LAST_CHILD, &err), 1);
    EXPECT_EQ(khfa_CopyGenericData(a, b, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(where(b), ":a");
    refused(err, khfa_CopyGenericData(nullptr, b, &err) == -1, "Invalid KHFA file handle");
    khfa_FileClose(a, nullptr);
    close(b);
}

}  // namespace
