// Batch mode: a large tree appended without the entry tables, the operations
// refused while it lasts, and the file and tables after it ends.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <string>
#include <vector>

#include "hfa/hfa_tree_util.hpp"

using namespace hfatest;

namespace {

class HfaBatch : public HfaFileTest {
  protected:
    int batch(int on) {
        const intptr_t options[] = {KHFA_FILE_OPTION_CACHE, on ? 0 : 1, 0};
        ktest::Err err;
        const int rc = khfa_FileChange(f, options, &err);
        EXPECT_FALSE(err) << ktest::messages(err.r);
        return rc;
    }
};

// 100,000 entries appended in batch mode (the parents as siblings, each with
// its children) are on disk as written, and the last is found after reopening.
TEST_F(HfaBatch, LargeTreeReadsBackAfterReopening) {
    constexpr int kParents = 500, kChildren = 199;
    std::vector<std::string> expect;
    ASSERT_EQ(batch(1), 0);
    char n[32];
    for (int p = 0; p < kParents; ++p) {
        snprintf(n, sizeof n, "p%d", p);
        write(f, p == 0 ? KHFA_WRITE_FIRST_CHILD : KHFA_WRITE_NEXT, n, "P");
        expect.push_back(std::string(":") + n + " P 0");
        const std::string parent = n;
        for (int c = 0; c < kChildren; ++c) {
            snprintf(n, sizeof n, "c%d", c);
            write(f, c == 0 ? KHFA_WRITE_FIRST_CHILD : KHFA_WRITE_NEXT, n, "C");
            expect.push_back(":" + parent + ":" + n + " C 0");
        }
        ktest::Err err;
        ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
        ASSERT_EQ(where(f), ":" + parent);
    }
    ASSERT_EQ(expect.size(), 100000u);
    // The header is written back when batch mode ends, not on every change.
    EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(f), 1);
    ASSERT_EQ(batch(0), 0);
    EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(f), 0);
    close(f);
    f = nullptr;
    const std::string bytes = ktest::readFile(path());
    EXPECT_EQ(diskTree(bytes), expect);
    EXPECT_TRUE(readDiskList(bytes).ok);
    f = khfa_FileOpen(path().c_str(), "r", nullptr, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(seekTo(f, ":p499:c198"));
}

// Each operation refused in batch mode, with its message; the start entry
// and the tree stay as they were.
TEST_F(HfaBatch, RefusalsAndTheirMessages) {
    write(f, KHFA_WRITE_LAST_CHILD, "s");
    write(f, KHFA_WRITE_LAST_CHILD, "kid");
    ASSERT_TRUE(seekTo(f, ":s"));
    write(f, KHFA_WRITE_NEXT, "t");
    ASSERT_TRUE(seekTo(f, ":s"));
    ASSERT_EQ(batch(1), 0);
    struct Case {
        int mode;
        const char *name;
        const char *message;
    } cases[] = {
        {KHFA_WRITE_FIRST_CHILD, "x", "Cannot write additional offspring to a node in batch mode"},
        {KHFA_WRITE_NEXT, "x", "Cannot write before an existing node in batch mode"},
        {KHFA_WRITE_PREV, "x", "Invalid write position for batch write mode"},
        {KHFA_WRITE_LAST_CHILD, "x", "Invalid write position for batch write mode"},
        {KHFA_WRITE_CURRENT, "renamed",
         "Cannot change the name of the noCache start node in batch mode"},
    };
    for (const Case &c : cases) {
        ktest::Err err;
        EXPECT_EQ(khfa_EntryWrite(f, c.mode, c.name, "t", &err), nullptr) << c.mode;
        EXPECT_EQ(ktest::messages(err.r), c.message) << c.mode;
        EXPECT_EQ(where(f), ":s");
    }
    ktest::Err err;
    // Retyping the start entry is allowed; so is renaming an entry made here.
    ASSERT_NE(khfa_EntryWrite(f, KHFA_WRITE_CURRENT, nullptr, "T2", &err), nullptr);
    EXPECT_EQ(khfa_EntrySeek(f, KHFA_SEEK_CHILD, nullptr, &err), nullptr);
    EXPECT_EQ(ktest::messages(err.r), "Invalid seek method for writing w/o caching");
    EXPECT_EQ(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_FALSE(err) << ktest::messages(err.r);
    EXPECT_EQ(khfa_EntryDelete(f, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Deletion not allowed while cache is not in use");
    EXPECT_EQ(where(f), ":s");
    // At the root every mode but the first child is a last child: refused.
    ASSERT_EQ(batch(0), 0);
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_ROOT, nullptr, &err), nullptr);
    ASSERT_EQ(batch(1), 0);
    for (int mode : {KHFA_WRITE_CURRENT, KHFA_WRITE_NEXT}) {
        EXPECT_EQ(khfa_EntryWrite(f, mode, "x", "t", &err), nullptr);
        EXPECT_EQ(ktest::messages(err.r), "Invalid write position for batch write mode");
    }
    ASSERT_EQ(batch(0), 0);
    khfa_FileFlush(f, &err);
    EXPECT_EQ(diskTree(ktest::readFile(path())),
              (std::vector<std::string>{":s T2 0", ":s:kid t 0", ":t t 0"}));
}

// After batch mode the current entry and its ancestors are known to the
// tables again: seeks up and by path work without warnings, renames of
// entries made in batch mode are seen by path seeks.
TEST_F(HfaBatch, TablesAfterBatchMode) {
    write(f, KHFA_WRITE_LAST_CHILD, "s");
    ASSERT_EQ(batch(1), 0);
    write(f, KHFA_WRITE_FIRST_CHILD, "a");
    write(f, KHFA_WRITE_FIRST_CHILD, "b");
    write(f, KHFA_WRITE_NEXT, "c");
    ktest::Err err;
    ASSERT_NE(khfa_EntryWrite(f, KHFA_WRITE_CURRENT, "d", nullptr, &err), nullptr);
    write(f, KHFA_WRITE_FIRST_CHILD, "e");
    // Up to the start entry, which is as far as batch mode climbs.
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_EQ(where(f), ":s");
    EXPECT_EQ(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_FALSE(err);
    ASSERT_EQ(batch(0), 0);
    ASSERT_TRUE(seekTo(f, ":s:a:d:e"));
    ASSERT_EQ(batch(1), 0);
    write(f, KHFA_WRITE_NEXT, "g");
    ASSERT_EQ(batch(0), 0);
    ktest::PrintedReports printed;
    EXPECT_EQ(where(f), ":s:a:d:g");
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_EQ(where(f), ":s:a:d");
    ASSERT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_EQ(where(f), ":s:a");
    EXPECT_TRUE(printed.entries().empty()) << printed.entries()[0].messages;
    EXPECT_FALSE(seekTo(f, ":s:a:c"));
    ASSERT_TRUE(seekTo(f, ":s:a:d:g"));
    EXPECT_EQ(khfa_EntryDelete(f, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(where(f), ":s:a:d:e");
    // Write-through the caller switched off stays off after batch mode.
    const intptr_t off[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
    ASSERT_EQ(khfa_FileChange(f, off, &err), 0);
    ASSERT_EQ(batch(1), 0);
    ASSERT_EQ(batch(0), 0);
    EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(f), 1);
}

}  // namespace
