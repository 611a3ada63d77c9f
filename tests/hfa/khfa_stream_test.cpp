// Block streams: bytes written across block and index-level boundaries read
// back through the library and through an independent reader of the stored
// layout; slot write-back order; named streams; refusals; hostile files.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hfa/hfa_tree_util.hpp"

using namespace hfatest;

namespace {

// The positions of blockcount blocks reached from the root index block at
// root, read straight from the file bytes (empty on a bad position).
std::vector<uint32_t> diskBlocks(const std::string &b, uint32_t root, uint32_t count,
                                 uint32_t blocksize) {
    const uint32_t n = blocksize / 4;
    std::vector<uint32_t> index{root};
    if (count > n) index = diskBlocks(b, root, (count - 1) / n + 1, blocksize);
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t at = index[i / n] + 4 * (i % n);
        if (index[i / n] == 0 || at + 4 > b.size()) return {};
        out.push_back(le32(b, at));
    }
    return out;
}

// The first length bytes of a stream, read straight from the file bytes.
std::string diskStream(const std::string &b, uint32_t root, uint32_t count, uint32_t blocksize,
                       uint32_t length) {
    std::string out;
    for (uint32_t pos : diskBlocks(b, root, count, blocksize)) {
        if (pos == 0 || pos + blocksize > b.size()) return "<bad block>";
        out += b.substr(pos, blocksize);
    }
    return out.substr(0, length);
}

std::string pattern(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng());
    return s;
}

class HfaStream : public HfaFileTest {
  protected:
    std::string bytes() {
        khfa_FileFlush(f, nullptr);
        return ktest::readFile(path());
    }
    std::string name(const char *node) { return path() + "(" + node + ")"; }
};

// Streams of several geometries written in uneven chunks up to and across
// block and index-level boundaries (a block size of 8 holds 2 positions per
// index block, so a few blocks make several levels); read back from a
// reopened object, from the bytes, and after overwrites in the middle.
TEST_F(HfaStream, BoundariesReadBackIndependently) {
    struct Case {
        int32_t blocksize, slots, length;
    };
    // clang-format off
    const Case cases[] = {
        {8, 1, 0}, {8, 1, 7}, {8, 2, 16}, {8, 2, 17}, {8, 3, 8 * 9 + 1}, {8, 2, 8 * 40},
        {16, 2, 16 * 17}, {1024, 2, 10}, {1024, 2, 1024}, {1024, 2, 1024 * 256},
        {1024, 2, 1024 * 256 + 1}, {1024, 1, 1024 * 300 + 5},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.blocksize << "/" << c.slots << "/" << c.length);
        ktest::Err err;
        Khfa_Cache *s = khfa_CacheNew(f, nullptr, c.blocksize, c.slots, 0, 0, &err);
        ASSERT_NE(s, nullptr) << ktest::messages(err.r);
        const std::string data = pattern(static_cast<size_t>(c.length), c.length);
        for (int32_t at = 0, step = 1; at < c.length; at += step, step = step * 3 % 1000 + 1) {
            const int32_t n = std::min(step, c.length - at);
            ASSERT_EQ(khfa_CacheWrite(s, data.data() + at, n, &err), n) << ktest::messages(err.r);
        }
        ASSERT_EQ(khfa_CacheWrite(s, nullptr, 0, &err), 0);
        EXPECT_EQ(khfa_CacheByteCount(s, &err), c.length + 1);
        EXPECT_EQ(khfa_CacheBlockCount(s, &err),
                  c.length / c.blocksize + (c.length == 0 ? 0 : 1) -
                      (c.length % c.blocksize == 0 && c.length ? 1 : 0));
        // A seek 0 from the end lands on the last byte written + 1.
        ASSERT_NE(khfa_CacheSeek(s, 0, 2, &err), nullptr);
        EXPECT_EQ(khfa_CacheGetCurrPos(s, &err), c.length);
        ASSERT_EQ(khfa_CacheFlush(s, &err), 0) << ktest::messages(err.r);
        const uint32_t root = khfa_CacheRootPtr(s, &err);
        const int32_t blocks = khfa_CacheBlockCount(s, &err);
        EXPECT_EQ(diskStream(bytes(), root, blocks, c.blocksize, c.length), data);
        ASSERT_EQ(khfa_CacheFree(s, &err), 0);

        s = khfa_CacheNew(f, nullptr, c.blocksize, c.slots, blocks, root, &err);
        ASSERT_NE(s, nullptr) << ktest::messages(err.r);
        // A reopened object knows no length: reads stop at once.
        std::string back(data.size() + 5, '\0');
        EXPECT_EQ(khfa_CacheRead(s, back.data(), 5, &err), 0);
        // Overwrite a middle stretch, then read everything back.
        if (c.length > 20) {
            ASSERT_NE(khfa_CacheSeek(s, c.length / 2, 0, &err), nullptr);
            ASSERT_EQ(khfa_CacheWrite(s, "0123456789", 10, &err), 10);
        }
        ASSERT_TRUE(c.length == 0 || khfa_CacheSeek(s, c.length - 1, 0, &err));
        ASSERT_EQ(khfa_CacheWrite(s, nullptr, 0, &err), 0);  // sets the length
        std::string expect = data;
        if (c.length > 20) expect.replace(c.length / 2, 10, "0123456789");
        ASSERT_NE(khfa_CacheSeek(s, 0, 0, &err), nullptr);
        EXPECT_EQ(khfa_CacheRead(s, back.data(), c.length + 5, &err), std::max(c.length, 1));
        EXPECT_EQ(back.substr(0, data.size()), expect);
        EXPECT_EQ(khfa_CacheRead(s, back.data(), 5, &err), 0);  // at the end
        ASSERT_EQ(khfa_CacheFlush(s, &err), 0);
        EXPECT_EQ(khfa_CacheBlockCount(s, &err), blocks);
        EXPECT_EQ(diskStream(bytes(), khfa_CacheRootPtr(s, &err), blocks, c.blocksize, c.length),
                  expect);
        ASSERT_EQ(khfa_CacheFree(s, &err), 0);
    }
}

// Block I/O recorded through the I/O table: with two slots, touching blocks
// 0 (for writing), 1 and 2 writes block 0 back before block 2 is read.
struct Log {
    static std::vector<std::string> &events() {
        static std::vector<std::string> e;
        return e;
    }
    static int read(Khfa_File *f, uint32_t pos, int32_t size, void *buffer, const Kmif_Design *d,
                    Kerr_ErrorReport **err) {
        events().push_back((d ? "ri" : "r") + std::to_string(pos));
        if (fail == 'r')
            return *err = kerr_CreateErrorReport("test", 1, 2, nullptr, "read refused"), -1;
        return khfa_FileMIFDataRead(f, pos, size, buffer, err) < 0 ? -1 : 0;
    }
    static int write(Khfa_File *f, uint32_t pos, int32_t size, const void *buffer,
                     const Kmif_Design *d, Kerr_ErrorReport **err) {
        events().push_back((d ? "wi" : "w") + std::to_string(pos));
        if (fail == 'w')
            return *err = kerr_CreateErrorReport("test", 1, 2, nullptr, "write refused"), -1;
        return khfa_FileMIFDataWrite(f, pos, size, buffer, err) < 0 ? -1 : 0;
    }
    static inline char fail = 0;
};

TEST_F(HfaStream, SlotsWriteBackRoundRobin) {
    const Khfa_CacheIO io{nullptr, nullptr, Log::read, Log::write};
    ktest::Err err;
    Khfa_Cache *s = khfa_CacheNew(f, &io, 64, 2, 0, 0, &err);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(khfa_CacheExtend(s, &err), 0);
    ASSERT_EQ(khfa_CacheFlush(s, &err), 0);
    uint32_t pos[3];
    for (int i = 0; i < 3; ++i) pos[i] = *khfa_CacheGetBlockPtrAddr(s, i, 0, &err);
    const uint32_t root = khfa_CacheRootPtr(s, &err);
    ASSERT_EQ(khfa_CacheFree(s, &err), 0);
    s = khfa_CacheNew(f, &io, 64, 2, 3, root, &err);
    ASSERT_NE(s, nullptr);
    Log::events().clear();
    for (int i = 0; i < 3; ++i) ASSERT_NE(khfa_CacheGetBlock(s, i, i == 0, &err), nullptr);
    const auto p = [](uint32_t v) { return std::to_string(v); };
    EXPECT_EQ(Log::events(), (std::vector<std::string>{"r" + p(pos[0]), "r" + p(pos[1]),
                                                       "w" + p(pos[0]), "r" + p(pos[2])}));
    // Slots now hold blocks 2 and 1.
    // Failures keep the block where it was and report.
    ASSERT_NE(khfa_CacheGetBlock(s, 2, 1, &err), nullptr);
    Log::fail = 'w';
    EXPECT_EQ(khfa_CacheFlush(s, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "error writing cache buffer! | write refused");
    ASSERT_NE(khfa_CacheGetBlock(s, 0, 0, &err), nullptr);  // takes the slot of block 1
    EXPECT_EQ(khfa_CacheGetBlock(s, 1, 0, &err), nullptr);  // dirty block 2 cannot leave
    EXPECT_EQ(ktest::messages(err.r), "error flushing cache! | write refused");
    Log::fail = 'r';
    EXPECT_EQ(khfa_CacheGetBlock(s, 1, 0, &err), nullptr);
    EXPECT_EQ(ktest::messages(err.r), "error reading cache block! | read refused");
    Log::fail = 0;
    EXPECT_NE(khfa_CacheGetBlock(s, 1, 0, &err), nullptr) << ktest::messages(err.r);
    ASSERT_EQ(khfa_CacheClose(s, &err), 0);
}

// Named streams: create, close, reopen by name (the file opened for the
// stream), the node as stored, delete returning every block.
TEST_F(HfaStream, NamedStreamLifecycle) {
    ktest::Err err;
    write(f, KHFA_WRITE_LAST_CHILD, "dir");
    // The node design in the dictionary first, so that only the stream counts.
    ASSERT_NE(kmif_DictionaryAddDesign(khfa_FileDictionary(f), khfa_CacheInit(&err), &err),
              nullptr);
    ASSERT_EQ(khfa_FileFlush(f, &err), 0);
    const int64_t freeBefore = khfa_FileFreeSpaceSize(f, &err);
    const int64_t sizeBefore = khfa_FileSize(f);
    Khfa_Cache *s = khfa_CacheCreate(f, name(":dir:s").c_str(), nullptr, &err);
    ASSERT_NE(s, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(where(f), ":dir");  // the caller's current entry stays
    const std::string data = pattern(1024 * 300 + 77, 3);
    ASSERT_EQ(khfa_CacheWrite(s, data.data(), static_cast<int32_t>(data.size()), &err),
              static_cast<int32_t>(data.size()));
    // The node records the counts only when the stream is closed.
    std::string b = bytes();
    uint32_t node = le32(b, diskEntry(b, ":dir:s") + 16);
    EXPECT_EQ(le32(b, node + 4), 0u);
    ASSERT_EQ(khfa_CacheClose(s, &err), 0) << ktest::messages(err.r);
    b = bytes();
    node = le32(b, diskEntry(b, ":dir:s") + 16);
    EXPECT_EQ(le32(b, node), 1024u);
    EXPECT_EQ(le32(b, node + 4), 301u);
    EXPECT_EQ(le32(b, node + 8), data.size() + 1);
    EXPECT_EQ(diskStream(b, le32(b, node + 12), 301, 1024, static_cast<uint32_t>(data.size())),
              data);
    close(f);
    f = nullptr;

    s = khfa_CacheOpen(nullptr, name(":dir:s").c_str(), nullptr, &err);
    ASSERT_NE(s, nullptr) << ktest::messages(err.r);
    std::string back(data.size() + 10, '\0');
    EXPECT_EQ(khfa_CacheRead(s, back.data(), static_cast<int32_t>(back.size()), &err),
              static_cast<int32_t>(data.size() + 1));
    EXPECT_EQ(back.substr(0, data.size()), data);
    ASSERT_EQ(khfa_CacheClose(s, &err), 0);  // closes the file it opened
    EXPECT_EQ(khfa_FileIsOpen(path().c_str(), nullptr, &err), 0);

    f = khfa_CacheFileOpen(path().c_str(), nullptr, &err);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(khfa_CacheDelete(f, name(":dir:s").c_str(), nullptr, &err), 0)
        << ktest::messages(err.r);
    EXPECT_FALSE(seekTo(f, ":dir:s"));
    // Everything the stream took is free again (the node's entry included).
    EXPECT_EQ(khfa_FileFreeSpaceSize(f, &err) - freeBefore, khfa_FileSize(f) - sizeBefore);
    EXPECT_TRUE(readDiskList(bytes()).ok);
}

// Refusals of the stream operations, with their messages.
TEST_F(HfaStream, Refusals) {
    ktest::Err err;
    Khfa_Cache *s = khfa_CacheCreate(f, name(":s").c_str(), nullptr, &err);
    ASSERT_NE(s, nullptr) << ktest::messages(err.r);
    ASSERT_EQ(khfa_CacheExtend(s, &err), 0);
    struct Case {
        std::function<bool()> call;
        const char *message;
    } cases[] = {
        {[&] { return !khfa_CacheGetBlock(s, 1, 0, &err); }, "Block number (1) not allocated!"},
        {[&] { return !khfa_CacheGetBlock(s, -1, 0, &err); }, "Block number (-1) not allocated!"},
        {[&] { return !khfa_CacheGetBlockPtrAddr(s, 2, 0, &err); },
         "Block number (2) is not allocated!"},
        {[&] { return !khfa_CacheSeek(s, -1, 0, &err); }, "Invalid seek position -1"},
        {[&] { return !khfa_CacheSeek(s, 0, 3, &err); }, "Invalid seek origin 3"},
        {[&] { return khfa_CacheRead(s, nullptr, 4, &err) == -1; }, "Invalid buffer or count 4"},
        {[&] { return khfa_CacheWrite(s, "x", -1, &err) == -1; }, "Invalid buffer or count -1"},
        {[&] { return khfa_CacheRootPtr(nullptr, &err) == 0; }, "error retrieving cache root"},
        {[&] { return khfa_CacheFlush(nullptr, &err) == -1; }, "Invalid cache handle"},
        {[&] { return !khfa_CacheNew(f, nullptr, 4, 2, 0, 0, &err); }, "Invalid block size 4"},
        {[&] { return !khfa_CacheNew(f, nullptr, 64, 0, 0, 0, &err); },
         "Invalid number of buffer slots 0"},
        {[&] { return !khfa_CacheCreate(f, "", nullptr, &err); },
         "Unable to parse file node list."},
        {[&] { return !khfa_CacheCreate(f, path().c_str(), nullptr, &err); },
         "Unable to parse node path."},
        {[&] { return !khfa_CacheCreate(f, name(":s").c_str(), nullptr, &err); },
         "error creating the :s cache | Node :s exists already"},
        {[&] { return !khfa_CacheCreate(f, name(":no:s").c_str(), nullptr, &err); },
         "error writing node to file | khfa_EntrySeek failed"},
        {[&] { return !khfa_CacheOpen(f, name(":t").c_str(), nullptr, &err); },
         "Object :t not found!"},
        {[&] { return khfa_CacheDelete(f, name(":t").c_str(), nullptr, &err) == -1; },
         "error occurred opening cache :t | Object :t not found!"},
        {[&] {
             return khfa_CacheFileOpen(dir.file("no/such.hfa").c_str(), nullptr, &err) == nullptr;
         },
         "error creating "},
    };
    for (const Case &c : cases) {
        EXPECT_TRUE(c.call()) << c.message;
        const std::string m = ktest::messages(err.r);
        EXPECT_EQ(m.substr(0, std::strlen(c.message)), c.message);
    }
    ASSERT_EQ(khfa_CacheClose(s, &err), 0);
}

// Hostile stored streams: index entries pointing anywhere, lying counts and
// sizes, and index blocks shared by several levels; each open, read or
// delete ends in a report or in bytes from inside the file.
TEST_F(HfaStream, HostileStreamsGiveReports) {
    ktest::Err err;
    Khfa_Cache *s = khfa_CacheCreate(f, name(":s").c_str(), nullptr, &err);
    ASSERT_NE(s, nullptr);
    const std::string data = pattern(1024 * 260, 9);  // two index levels
    ASSERT_EQ(khfa_CacheWrite(s, data.data(), static_cast<int32_t>(data.size()), &err),
              static_cast<int32_t>(data.size()));
    ASSERT_EQ(khfa_CacheClose(s, &err), 0);
    close(f);
    f = nullptr;
    const std::string good = ktest::readFile(path());
    const uint32_t node = le32(good, diskEntry(good, ":s") + 16);
    const uint32_t root = le32(good, node + 12);
    const uint32_t level1 = le32(good, root);
    struct Case {
        const char *what;
        uint32_t at, value;
        bool opens, readFails, deleteFails;
    } cases[] = {
        {"block beyond the end", level1 + 8, 0x7FFFFF00u, true, true, true},
        {"block at 0", level1 + 12, 0, true, true, false},
        {"block in the header tag", level1 + 16, 4, true, true, true},
        {"block on the file header", level1 + 16, 70, true, true, true},
        {"index block beyond the end", root + 4, static_cast<uint32_t>(good.size()), true, true,
         true},
        {"index level pointing at the root", root, root, true, true, true},
        {"root beyond the end", node + 12, 0x10000000u, false, true, true},
        {"root at 0", node + 12, 0, false, true, true},
        {"block size 4", node, 4, false, true, true},
        {"block size not a multiple of 4", node, 1022, false, true, true},
        {"huge block count", node + 4, 0x7FFFFFFFu, false, true, true},
        {"negative block count", node + 4, 0xFFFFFFFFu, false, true, true},
        {"length beyond the blocks", node + 8, 1024 * 400, false, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string b = good;
        put32(b, c.at, c.value);
        ktest::writeFile(path(), b);
        s = khfa_CacheOpen(nullptr, name(":s").c_str(), nullptr, &err);
        EXPECT_EQ(s != nullptr, c.opens) << ktest::messages(err.r);
        if (!s) {
            EXPECT_TRUE(err);
            continue;
        }
        std::string back(data.size() + 1, '\0');
        const int32_t n = khfa_CacheRead(s, back.data(), static_cast<int32_t>(back.size()), &err);
        EXPECT_EQ(n == -1 && err, c.readFails) << n;
        ASSERT_EQ(khfa_CacheFree(s, &err), 0);
        EXPECT_EQ(khfa_CacheDelete(nullptr, name(":s").c_str(), nullptr, &err),
                  c.deleteFails ? -1 : 0);
        EXPECT_EQ(bool(err), c.deleteFails) << ktest::messages(err.r);
        EXPECT_EQ(khfa_FileIsOpen(path().c_str(), nullptr, &err), 0);
        // The header tag, the header and the root entry were not given away.
        const std::string after = ktest::readFile(path());
        EXPECT_EQ(after.substr(0, 68), b.substr(0, 68));
        EXPECT_EQ(after.substr(72, 6), b.substr(72, 6));
        EXPECT_EQ(after.substr(82 + 24, 96), b.substr(82 + 24, 96));
    }
}

}  // namespace
