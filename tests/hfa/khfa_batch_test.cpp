// Batch mode: the operations refused while it lasts and the tree after it.
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

}  // namespace
