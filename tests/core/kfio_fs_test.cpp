#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::Ints;

std::vector<std::string> strings(Kstr_StringList *list) {
    std::vector<std::string> v;
    if (!list) return v;
    for (int32_t i = 0; i < list->count; ++i) v.emplace_back(list->strings[i]);
    kstr_StringListFree(list);
    return v;
}

TEST(KfioFileSystem, ExistenceStatusAndPermissions) {
    ktest::TempDir dir;
    const std::string f = dir.file("f.txt"), link = dir.file("link"), no = dir.file("no");
    ktest::Err e;
    EXPECT_EQ(kfio_Create(f.c_str(), 0640, &e), 0);
    // Existence as file (2) or directory (1) of f, dir, a missing name and a
    // name below a file; then the two predicates. Missing is an answer, not
    // a failure: no report.
    auto exist = [&](const std::string &n) { return kfio_FileNameExistAsFileOrDir(n.c_str(), &e); };
    EXPECT_EQ((Ints{exist(f), exist(dir.path()), exist(no), exist(f + "/below")}),
              (Ints{2, 1, 0, 0}));
    EXPECT_FALSE(e);
    EXPECT_EQ((Ints{kfio_FileExists(f.c_str(), nullptr), kfio_FileExists(dir.path().c_str(), &e),
                    kfio_IsDirectory(dir.path().c_str(), &e), kfio_IsDirectory(f.c_str(), &e),
                    kfio_FileExists(no.c_str(), &e)}),
              (Ints{1, 0, 1, 0, 0}));
    EXPECT_FALSE(e);
    // Names that cannot be tested answer 0 with a report.
    const std::string tooLong = dir.file(std::string(300, 'n'));
    for (auto *predicate : {kfio_FileExists, kfio_IsDirectory}) {
        refused(e, !predicate(nullptr, &e), "Null path");
        refusedWith(e, !predicate(tooLong.c_str(), &e), "Unable to get the status of");
    }

    Kfio_StatInfo info{};
    EXPECT_EQ(kfio_Stat(f.c_str(), &info, &e), 0);
    EXPECT_EQ((Ints{info.mode & 07777, S_ISREG(info.mode), info.size}), (Ints{0640, 1, 0}));
    refused(e, kfio_Stat(no.c_str(), &info, &e) == -1);
    e.reset();
    ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
    EXPECT_EQ(kfio_StatIfPresent(link.c_str(), &info, &e), 1);
    EXPECT_TRUE(S_ISREG(info.mode));
    EXPECT_EQ(kfio_LstatIfPresent(link.c_str(), &info, &e), 1);
    EXPECT_TRUE(S_ISLNK(info.mode));
    EXPECT_EQ(kfio_StatIfPresent(no.c_str(), &info, &e), 0);
    EXPECT_FALSE(e);

    EXPECT_EQ((Ints{kfio_Chmod(f.c_str(), 0600, &e), kfio_Access(f.c_str(), 6, &e),
                    kfio_Access(f.c_str(), 0, &e), kfio_IsFileReadOnly(f.c_str(), &e)}),
              (Ints{0, 0, 0, 0}));
    refused(e, kfio_Access(no.c_str(), 4, &e) == -1,
            "Cannot access " + no + "\n" + strerror(ENOENT));
    refused(e, kfio_IsFileReadOnly(no.c_str(), &e) == -1);
    refused(e, kfio_Access(nullptr, 0, &e) == -1, "Null path");
    refused(e, kfio_Create(nullptr, 0640, &e) == -1, "Null path");

    EXPECT_EQ((Ints{kfio_SetModTime(f.c_str(), 1000000000, &e), kfio_Stat(f.c_str(), &info, &e),
                    info.modifyTime}),
              (Ints{0, 0, 1000000000}));
    EXPECT_EQ(kfio_SetModTime(no.c_str(), 1, &e), -1);
    e.reset();

    ktest::writeFile(f, "12345");
    EXPECT_EQ((Ints{kfio_FileSizeGet(f.c_str(), &e), kfio_FileSizeExtendedGet(f.c_str(), &e)}),
              (Ints{5, 5}));
    refused(e, kfio_FileSizeGet(no.c_str(), &e) == 0xFFFFFFFFu);
    EXPECT_GT(kfio_BytesAvailable(f.c_str(), &e), 0);
    // A name still to be created asks its directory.
    const int64_t bytes = kfio_BytesAvailable(dir.file("new.img").c_str(), &e);
    EXPECT_GT(bytes, 0);
    EXPECT_EQ(kfio_BlocksAvailable(dir.path().c_str(), 4096, &e) >= bytes / 4096 - 1024, true);
    EXPECT_EQ(kfio_BlocksAvailable(dir.path().c_str(), 0, &e), -1);
    EXPECT_EQ(kfio_CheckBytesAvailable(dir.path().c_str(), 1, &e), 1);
    EXPECT_EQ(kfio_CheckBytesAvailable(dir.path().c_str(), INT64_MAX, &e), 0);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_CheckBytesAvailable", 2));
    refused(e, kfio_BytesAvailable(dir.file("no/such/dir/x").c_str(), &e) == -1);
}

TEST(KfioFileSystem, NamesAndDirectories) {
    ktest::TempDir dir;
    ktest::Err e;
    const struct {
        const char *path, *up;
    } ups[] = {{"/a/b/c", "/a/b"}, {"/a/b/", "/a"}, {"/a", "/"},   {"/", "/"},
               {"a", "."},         {"a/b", "a"},    {"a//b", "a"}, {"//a", "/"}};
    for (const auto &u : ups) EXPECT_EQ(ktest::take(kfio_UpDir(u.path, &e)), u.up) << u.path;

    setenv("KFIO_ABS", "/abs", 1);
    EXPECT_EQ((Ints{kfio_PathNameIsRelative("a/b", nullptr), kfio_PathNameIsRelative("/a", &e),
                    kfio_PathNameIsRelative("$KFIO_ABS/x", &e),
                    kfio_FileNameIsPortable("Scan_01-b.img", &e),
                    kfio_FileNameIsPortable("scan 01.img", &e),
                    kfio_FileNameIsPortable("dir/scan.img", &e), kfio_FileNameIsPortable("", &e)}),
              (Ints{1, 0, 0, 1, 0, 0, 0}));
    EXPECT_FALSE(e);
    refused(e, !kfio_FileNameIsPortable(nullptr, &e), "Null name");
    refused(e, !kfio_PathNameIsRelative(nullptr, &e), "Null path");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_PathNameIsRelative", 90));

    // Next free numbered name.
    const std::string scan = dir.file("scan.img");
    EXPECT_EQ(ktest::take(kfio_NextFilename(scan.c_str(), &e)), dir.file("scan1.img"));
    ktest::writeFile(dir.file("scan1.img"), "");
    EXPECT_EQ(ktest::take(kfio_NextFilename(scan.c_str(), &e)), dir.file("scan2.img"));
    EXPECT_EQ(ktest::take(kfio_NextFilename(dir.file("s9.img").c_str(), &e)), dir.file("s10.img"));
    EXPECT_EQ(ktest::take(kfio_NextFilename(dir.file("t007.tif").c_str(), &e)),
              dir.file("t008.tif"));
    EXPECT_EQ(ktest::take(kfio_NextFilename(dir.file("noext").c_str(), &e)), dir.file("noext1"));
    mkdir(dir.file("v.d").c_str(), 0755);
    EXPECT_EQ(ktest::take(kfio_NextFilename(dir.file("v.d/name").c_str(), &e)),
              dir.file("v.d/name1"));

    // Make, change, current directory.
    char *old = kfio_CurrentDirName(&e);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(kfio_MakeDir(dir.file("m").c_str(), &e), 0);
    EXPECT_EQ(kfio_MakeDir(dir.file("m").c_str(), &e), -1);
    EXPECT_EQ(kfio_ChangeDir(dir.file("m").c_str(), &e), 0);
    char realDir[PATH_MAX];
    ASSERT_NE(realpath(dir.file("m").c_str(), realDir), nullptr);
    EXPECT_EQ(ktest::take(kfio_CurrentDirName(&e)), realDir);
    EXPECT_EQ(kfio_ChangeDir(old, &e), 0);
    kmsc_HeapFree(old);
    EXPECT_EQ(kfio_ChangeDir(dir.file("none").c_str(), &e), -1);
    EXPECT_EQ(kfio_DirectoryRemove(dir.file("m").c_str(), &e), 0);
    EXPECT_EQ(kfio_DirectoryRemove(dir.file("m").c_str(), &e), -1);
    e.reset();

    // A listing with a pattern, sorted.
    for (const char *n : {"b.img", "a.img", "c.txt"}) ktest::writeFile(dir.file(n), "");
    EXPECT_EQ(strings(kfio_FindFilesInPath(dir.path().c_str(), "*.img", &e)),
              (std::vector<std::string>{"a.img", "b.img", "scan1.img"}));
    EXPECT_EQ(strings(kfio_FindFilesInPath(dir.path().c_str(), nullptr, &e)).size(), 5u);
    refused(e, kfio_FindFilesInPath(dir.file("none").c_str(), "*", &e) == nullptr);
}

TEST(KfioFileSystem, CopyRenameAndRemoveTrees) {
    ktest::TempDir dir;
    ktest::Err e;
    const std::string src = dir.file("src");
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0700);
    mkdir((src + "/sub/Recycled").c_str(), 0755);
    const std::string big(3 << 20, 'z');
    ktest::writeFile(src + "/big.bin", big);
    ktest::writeFile(src + "/sub/small.txt", "small");
    ASSERT_EQ(chmod((src + "/sub/small.txt").c_str(), 0604), 0);
    ASSERT_EQ(symlink("small.txt", (src + "/sub/ln").c_str()), 0);

    const std::string dst = dir.file("dst");
    ASSERT_EQ(kfio_DirectoryCopy(src.c_str(), dst.c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_EQ(ktest::readFile(dst + "/big.bin"), big);
    EXPECT_EQ(ktest::readFile(dst + "/sub/small.txt"), "small");
    EXPECT_EQ(ktest::readFile(dst + "/sub/ln"), "small");
    struct stat st;
    ASSERT_EQ(lstat((dst + "/sub/ln").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat((dst + "/sub/small.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_TRUE(kfio_IsDirectory((dst + "/sub/Recycled").c_str(), nullptr));
    EXPECT_EQ(kfio_DirectoryCopy(dir.file("none").c_str(), dst.c_str(), &e), -1);
    e.reset();

    // File copy replaces the target; never onto itself.
    ktest::writeFile(dir.file("t.txt"), "a much longer old text");
    EXPECT_EQ(kfio_FileCopy((src + "/sub/small.txt").c_str(), dir.file("t.txt").c_str(), &e), 0);
    EXPECT_EQ(ktest::readFile(dir.file("t.txt")), "small");
    refused(e, kfio_FileCopy(dir.file("t.txt").c_str(), dir.file("t.txt").c_str(), &e) == -1,
            "Cannot copy " + dir.file("t.txt") + " onto itself");
    EXPECT_EQ(ktest::readFile(dir.file("t.txt")), "small");
    EXPECT_EQ(kfio_FileCopy(dir.file("none").c_str(), dir.file("x").c_str(), &e), -1);
    e.reset();

    // Rename replaces an existing target.
    ktest::writeFile(dir.file("r1"), "one");
    ktest::writeFile(dir.file("r2"), "two");
    EXPECT_EQ(kfio_FileNameChange(dir.file("r1").c_str(), dir.file("r2").c_str(), &e), 0);
    EXPECT_EQ(ktest::readFile(dir.file("r2")), "one");
    EXPECT_FALSE(kfio_FileExists(dir.file("r1").c_str(), nullptr));
    EXPECT_EQ(kfio_FileNameChange(dir.file("r1").c_str(), dir.file("r3").c_str(), &e), -1);
    e.reset();

    // Recursive removal keeps "RECYCLED" and the directories above it.
    EXPECT_EQ(kfio_DirectoryRemoveRecursive(dst.c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_TRUE(kfio_IsDirectory((dst + "/sub/Recycled").c_str(), nullptr));
    EXPECT_FALSE(kfio_FileExists((dst + "/big.bin").c_str(), nullptr));
    EXPECT_FALSE(kfio_FileExists((dst + "/sub/small.txt").c_str(), nullptr));
    rmdir((dst + "/sub/Recycled").c_str());
    EXPECT_EQ(kfio_DirectoryRemoveRecursive(dst.c_str(), &e), 0);
    EXPECT_FALSE(kfio_IsDirectory(dst.c_str(), nullptr));
    // The link's target survives the removal of the link.
    EXPECT_TRUE(kfio_FileExists((src + "/sub/small.txt").c_str(), nullptr));
    EXPECT_EQ(kfio_DirectoryRemoveRecursive(dst.c_str(), &e), -1);
}

TEST(KfioFileSystem, AsciiVersionMmapAndFixedAnswers) {
    ktest::TempDir dir;
    ktest::Err e;
    ktest::writeFile(dir.file("t"), "text\twith\r\nlines\f");
    ktest::writeFile(dir.file("b"), std::string("bin\0ary", 7));
    ktest::writeFile(dir.file("late"), std::string(5000, 'a') + '\x80');
    // Only the head of "late" counts.
    auto ascii = [&](const char *n) { return kfio_IsFileAscii(dir.file(n).c_str(), &e); };
    EXPECT_EQ((Ints{ascii("t"), ascii("b"), ascii("late"), ascii("none")}), (Ints{1, 0, 1, -1}));
    refused(e, kfio_GetFileVersionInfoField(dir.file("t").c_str(), "FileVersion", &e) == nullptr,
            "No version information \\StringFileInfo\\040904B0\\FileVersion in " + dir.file("t"));
    e.reset();
    EXPECT_EQ(kfio_FileSystemIsLocal(dir.path().c_str()), 1);
    EXPECT_EQ(kfio_CountOpenFiles(), 0);

    Kfio_Fd *fd = kfio_Open(dir.file("t").c_str(), "r", nullptr);
    EXPECT_TRUE(!kfio_MmapCreate(fd, 0, &e) && !kfio_Mmap(fd, 0, 4, 0, &e) &&
                !kfio_MmapMapExtent(nullptr, 0, 4, &e) && !kfio_MmapAddressGet(nullptr));
    EXPECT_FALSE(e);
    kfio_Close(fd, nullptr);
}

int g_queries = 0;
std::string g_question;
int g_buttons = 0;
std::string g_retryRemoves;
int retryOnce(const char *message, int buttons) {
    ++g_queries;
    g_question = message;
    g_buttons = buttons;
    if (g_queries > 1) return KFIO_ANSWER_CANCEL;
    rmdir(g_retryRemoves.c_str());  // the user fixes the problem
    return KFIO_ANSWER_RETRY;
}

TEST(KfioFileUnlink, AsksAndRetries) {
    ktest::TempDir dir;
    ktest::Err e;
    ktest::writeFile(dir.file("f"), "x");
    EXPECT_EQ(kfio_FileUnlink(dir.file("f").c_str(), &e), 0);
    EXPECT_FALSE(kfio_FileExists(dir.file("f").c_str(), nullptr));
    EXPECT_EQ(kfio_FileUnlink(dir.file("f").c_str(), &e), 0);  // missing is fine
    EXPECT_FALSE(e);

    // A directory cannot be unlinked: without a query function the answer
    // is "cancel".
    const std::string d = dir.file("d");
    mkdir(d.c_str(), 0755);
    EXPECT_EQ(kfio_FileUnlink(d.c_str(), &e), -1);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_FileUnlink", 3363));
    EXPECT_EQ(ktest::messages(e.r), "Unable to delete the file " + d + "\n" + strerror(EISDIR));
    e.reset();

    g_retryRemoves = d;
    EXPECT_EQ(kfio_SetQueryFunction(retryOnce), nullptr);
    EXPECT_EQ(kfio_FileUnlink(d.c_str(), &e), 0);
    EXPECT_EQ((Ints{g_queries, g_buttons}), (Ints{1, 37}));
    EXPECT_EQ(g_question, "File " + d +
                              " cannot be deleted.\nThe file is open, is displayed on a viewer, or "
                              "is in read-only mode\nYou may close the file, clear the viewer, or "
                              "change the read-only atribute\nand retry the operation.\n");
    // Cancel after the first answer.
    mkdir(d.c_str(), 0755);
    mkdir((d + "/keep").c_str(), 0755);
    g_retryRemoves = d + "/not-this";
    g_queries = 1;
    EXPECT_EQ(kfio_FileUnlink(d.c_str(), &e), -1);
    EXPECT_EQ(g_queries, 2);
    EXPECT_EQ(kfio_SetQueryFunction(nullptr), retryOnce);
}

TEST(KfioStatCache, OptionsAreDeterminedOnceAndChecked) {
    ktest::TempDir dir;
    const std::string f = dir.file("s.txt");
    ktest::writeFile(f, "hello");
    ASSERT_EQ(chmod(f.c_str(), 0644), 0);
    ktest::Err e;
    Kfio_StatCache *cache = nullptr;
    refused(e, kfio_StatCacheCreate(nullptr, &cache, &e) == -1,
            "Null parameter passed to kfio_StatCacheCreate.");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_StatCacheCreate", 339));
    ASSERT_EQ(kfio_StatCacheCreate(f.c_str(), &cache, &e), 0);

    const char *name = nullptr;
    int32_t readable = -1, writable = -1, local = -1, size = -1, exists = -1, isDir = -1,
            isReg = -1, isLink = -1, perms = -1, readOnly = -1, ascii = -1, exec = -1;
    int64_t size64 = -1, mtime = -1, inode = -1, links = -1, blocks = -1, avail = -1, fsType = -1,
            owner = -1, group = -1, device = -1, atime = -1, ctime = -1, blksize = -1;
    ASSERT_EQ(
        kfio_StatCacheGet(
            cache, &e, KFIO_STAT_FILE_NAME, &name, KFIO_STAT_READ_ACCESS, &readable,
            KFIO_STAT_WRITE_ACCESS, &writable, KFIO_STAT_EXECUTE_ACCESS, &exec, KFIO_STAT_IS_LOCAL,
            &local, KFIO_STAT_SIZE, &size, KFIO_STAT_SIZE64, &size64, KFIO_STAT_EXISTS, &exists,
            KFIO_STAT_IS_DIRECTORY, &isDir, KFIO_STAT_IS_REGULAR, &isReg, KFIO_STAT_IS_SYMLINK,
            &isLink, KFIO_STAT_ACCESS_TIME, &atime, KFIO_STAT_MODIFY_TIME, &mtime,
            KFIO_STAT_CHANGE_TIME, &ctime, KFIO_STAT_PERMISSIONS, &perms, KFIO_STAT_OWNER, &owner,
            KFIO_STAT_GROUP, &group, KFIO_STAT_LINK_COUNT, &links, KFIO_STAT_DEVICE, &device,
            KFIO_STAT_INODE, &inode, KFIO_STAT_BLOCK_SIZE, &blksize, KFIO_STAT_BLOCKS, &blocks,
            KFIO_STAT_READ_ONLY, &readOnly, KFIO_STAT_BYTES_AVAILABLE, &avail, KFIO_STAT_FS_TYPE,
            &fsType, KFIO_STAT_IS_ASCII, &ascii, 0),
        0)
        << ktest::messages(e.r);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(std::string(name), f);
    EXPECT_EQ((Ints{readable, writable, exec, local, size, size64, exists, isDir, isReg, isLink,
                    mtime, perms, owner, links, inode, readOnly, ascii, avail > 0, fsType != -1}),
              (Ints{1, 1, access(f.c_str(), X_OK) == 0, 1, 5, 5, 1, 0, 1, 0, st.st_mtime, 0644,
                    st.st_uid, 1, static_cast<long long>(st.st_ino), 0, 1, 1, 1}));

    // Remembered: the file changing does not change the answer until the
    // cache is reset.
    ktest::writeFile(f, "longer now");
    EXPECT_EQ(kfio_StatCacheGet(cache, &e, KFIO_STAT_SIZE64, &size64, 0), 0);
    EXPECT_EQ(size64, 5);
    ASSERT_EQ(kfio_StatCacheCreate(f.c_str(), &cache, &e), 0);
    EXPECT_EQ(kfio_StatCacheGet(cache, &e, KFIO_STAT_SIZE64, &size64, 0), 0);
    EXPECT_EQ(size64, 10);

    // Set overrides; sizes above 2G are reported as 2G with a warning.
    int64_t huge = int64_t{3} << 30;
    EXPECT_EQ(kfio_StatCacheSet(cache, &e, KFIO_STAT_SIZE64, &huge, 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kfio_StatCacheGet(cache, &e, KFIO_STAT_SIZE, &size, 0), 0);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(size, INT32_MAX);
    EXPECT_NE(printed.find(" ***WARNING NUMBER"), std::string::npos);
    EXPECT_NE(printed.find(">>>File is larger than 2G.  Size will be reported as 2G.<<<"),
              std::string::npos);

    // An unknown option stops the list; later pairs are not read.
    readable = -7;
    refused(e, kfio_StatCacheGet(cache, &e, 27, &size, KFIO_STAT_READ_ACCESS, &readable, 0) == -1,
            "Unknown option 27 to kfio_StatCacheGet");
    EXPECT_EQ(e->code, 802);
    EXPECT_EQ(readable, -7);
    e.reset();

    // A missing file: existence is known, the rest cannot be determined.
    const char *missing = "/nonexistent/kfio/file";
    EXPECT_EQ(kfio_StatCacheSet(cache, &e, KFIO_STAT_FILE_NAME, &missing, 0), 0);
    EXPECT_EQ(kfio_StatCacheGet(cache, &e, KFIO_STAT_EXISTS, &exists, KFIO_STAT_SIZE64, &size64,
                                KFIO_STAT_READ_ACCESS, &readable, 0),
              -1);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(ktest::messages(e.r),
              "Option 2 can not be determined for this file. | Option 7 can not be "
              "determined for this file.");
    EXPECT_EQ(kfio_StatCacheGet(nullptr, &e, 0), -1);
    kfio_StatCacheFree(cache);
    kfio_StatCacheFree(nullptr);
}

}  // namespace
