// Entry tree: paths, seeks, write modes, delete, move and saved positions.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "hfa/hfa_tree_util.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

class HfaTree : public HfaFileTest {
  protected:
    // :a{b,c{d}}, :e
    void buildSample() {
        write(f, KHFA_WRITE_LAST_CHILD, "a");
        write(f, KHFA_WRITE_LAST_CHILD, "b");
        write(f, KHFA_WRITE_NEXT, "c");
        write(f, KHFA_WRITE_LAST_CHILD, "d");
        ASSERT_TRUE(seekTo(f, ":a"));
        write(f, KHFA_WRITE_NEXT, "e");
    }
    std::vector<std::string> tree() { return diskTree(ktest::readFile(path())); }
};

TEST_F(HfaTree, PathsAndSeekMethodsResolveFromTheCurrentEntry) {
    EXPECT_EQ(where(f), ":");
    buildSample();
    struct Case {
        const char *from, *seek, *expect;
    } cases[] = {
        {":", "a", ":a"},          {":", ":a:c:d", ":a:c:d"}, {":a:b", "c", ":a:c"},
        {":a:b", ":e", ":e"},      {":a:b", "c:d", ":a:c:d"}, {":a:c:d", "d", ":a:c:d"},
        {":a", "e", ":e"},         {":a:c", "b", ":a:b"},     {":e", "a:b", ":a:b"},
        {":a:b", ":a::c", ":a:c"}, {":", ":", ":"},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(seekTo(f, c.from)) << c.from;
        EXPECT_TRUE(seekTo(f, c.seek)) << c.from << " -> " << c.seek;
        EXPECT_EQ(where(f), c.expect) << c.from << " -> " << c.seek;
    }
    // Missing names: null without a report; the current entry is where the
    // seek stopped, never outside the tree.
    const char *missing[] = {":a:x", "x", ":a:c:d:e", ":zz:y"};
    for (const char *m : missing) {
        ASSERT_TRUE(seekTo(f, ":a:b"));
        EXPECT_FALSE(seekTo(f, m)) << m;
    }

    // A walk of seeks from :a:b; a failed seek stays where it was (the last
    // sibling has no next, a sibling by name looks only forward, and at the
    // root it looks among the root's children).
    ASSERT_TRUE(seekTo(f, ":a:b"));
    struct Step {
        int method;
        const char *name;
        const char *expect;  // path after the seek; NULL: nothing found
    };
    const char *no = nullptr;
    // clang-format off
    const Step steps[] = {
        {KHFA_SEEK_NEXT, no, ":a:c"}, {KHFA_SEEK_NEXT, no, no}, {KHFA_SEEK_CHILD, no, ":a:c:d"},
        {KHFA_SEEK_CHILD, no, no}, {KHFA_SEEK_PARENT, no, ":a:c"}, {KHFA_SEEK_PREV, no, ":a:b"},
        {KHFA_SEEK_PREV, no, no}, {KHFA_SEEK_LAST_SIBLING, no, ":a:c"},
        {KHFA_SEEK_FIRST_SIBLING, no, ":a:b"}, {KHFA_SEEK_SIBLING_BY_NAME, "c", ":a:c"},
        {KHFA_SEEK_SIBLING_BY_NAME, "b", no}, {KHFA_SEEK_ROOT, no, ":"},
        {KHFA_SEEK_SIBLING_BY_NAME, "e", ":e"}, {KHFA_SEEK_ROOT, no, ":"},
        {KHFA_SEEK_NEXT_IN_TREE, no, ":a"}, {KHFA_SEEK_NEXT_IN_TREE, no, ":a:b"},
        {KHFA_SEEK_NEXT_NAME_IN_TREE, "d", ":a:c:d"}, {KHFA_SEEK_NEXT_IN_TREE, no, ":e"},
        {KHFA_SEEK_NEXT_IN_TREE, no, no}, {KHFA_SEEK_PATH, ":a", ":a"},
        {KHFA_SEEK_CHILD_BY_NAME, "c", ":a:c"}, {KHFA_SEEK_SIBLING_NAME_HASHED, "b", ":a:b"},
        {KHFA_SEEK_PARENT, no, ":a"}, {KHFA_SEEK_CHILD_BY_TYPE, "t", ":a:b"},
        {KHFA_SEEK_FIRST_SIBLING_BY_TYPE, "t", ":a:b"}, {KHFA_SEEK_SIBLING_BY_TYPE, "none", no},
        {KHFA_SEEK_POSITION_BY_PATH, ":a:c:d:", ":a:c:d"},
        {KHFA_SEEK_POSITION_BY_PATH, no, ":a:c:d"}, {KHFA_SEEK_ROOT, no, ":"},
        {KHFA_SEEK_PARENT, no, no}, {KHFA_SEEK_NEXT_TYPE_IN_TREE, "t", ":a"},
    };
    // clang-format on
    for (const Step &s : steps) {
        const std::string before = where(f);
        ktest::Err err;
        Khfa_Entry *e = khfa_EntrySeek(f, s.method, s.name, &err);
        EXPECT_FALSE(err) << s.method << ": " << ktest::messages(err.r);
        EXPECT_EQ(e != nullptr, s.expect != nullptr) << "method " << s.method << " from " << before;
        EXPECT_EQ(s.expect ? where(f) : "", s.expect ? s.expect : "")
            << "method " << s.method << " from " << before;
    }
    ASSERT_TRUE(seekTo(f, ":a:c"));
    ktest::Err err;
    EXPECT_EQ((ktest::Ints{khfa_EntryCurrentHasNext(f, &err), khfa_EntryCurrentHasPrev(f, &err),
                           khfa_EntryCurrentHasChild(f, &err)}),
              (ktest::Ints{0, 1, 1}));
    // A peek finds without moving.
    Khfa_Entry *peek = khfa_EntryPeek(f, KHFA_SEEK_CHILD, nullptr, &err);
    ASSERT_NE(peek, nullptr);
    EXPECT_STREQ(peek->name, "d");
    EXPECT_EQ(where(f), ":a:c");

    // Saved positions.
    ASSERT_TRUE(seekTo(f, ":a:c:d"));
    Khfa_EntryPosition *pos = khfa_EntryPositionGet(f, &err);
    ASSERT_NE(pos, nullptr);
    EXPECT_STREQ(pos->path, ":a:c:d:");
    // By path, then by position.
    for (const intptr_t byPos : {0, 1}) {
        const intptr_t option[] = {KHFA_FILE_OPTION_SEEK_BY_POSITION, byPos, 0};
        ASSERT_EQ(khfa_FileChange(f, option, &err), 0);
        ASSERT_TRUE(seekTo(f, ":e"));
        ASSERT_EQ(khfa_EntryPositionSet(f, pos, &err), 0) << ktest::messages(err.r);
        EXPECT_EQ(where(f), ":a:c:d") << byPos;
    }
    ASSERT_TRUE(seekTo(f, ":a:c"));
    ASSERT_EQ(khfa_EntryDelete(f, &err), 0);
    refusedWith(err, khfa_EntryPositionSet(f, pos, &err) == -1, "Cannot find entry position");
    refusedWith(err, khfa_EntryPositionSet(f, nullptr, &err) == -1, "Null position parameter");
    khfa_EntryPositionFree(&pos, &err);
    EXPECT_EQ(pos, nullptr);

    // Arguments a seek refuses.
    struct Refused {
        int method;
        const char *name;
        const char *message;  // NULL: no error
    } refused[] = {
        {KHFA_SEEK_PATH, nullptr, "Name parameter must not be null for requested seek type"},
        {KHFA_SEEK_CHILD_BY_TYPE, "", "Name parameter must not be null string"},
        {KHFA_SEEK_POSITION_BY_PATH, "", "Name parameter must not be null string"},
        {19, nullptr, "Invalid seek method"},
        {-1, nullptr, "Invalid seek method"},
        {KHFA_SEEK_ROOT, "ignored", nullptr},  // a warning only
    };
    for (const Refused &c : refused) {
        ktest::Err err;
        khfa_EntrySeek(f, c.method, c.name, &err);
        if (c.message)
            EXPECT_TRUE(ktest::says(err.r, c.message)) << c.method;
        else
            EXPECT_FALSE(err) << ktest::messages(err.r);
    }
    err.reset();
    EXPECT_EQ(khfa_EntrySeek(nullptr, 0, nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "Invalid KHFA file handle"));
}

// Children and siblings below the root are also written by the random edits
// of the object tests; here the root's own rules and the current-entry mode.
TEST_F(HfaTree, WriteModesAtTheRootAndBelow) {
    struct Case {
        const char *at;  // where the write happens (after :a{x,y} exists)
        int mode;
        std::vector<std::string> expect;  // paths in pre-order afterwards
    } cases[] = {
        {":", KHFA_WRITE_CURRENT, {":a", ":a:x", ":a:y", ":n"}},
        {":", KHFA_WRITE_NEXT, {":a", ":a:x", ":a:y", ":n"}},
        {":", KHFA_WRITE_PREV, {":a", ":a:x", ":a:y", ":n"}},
        {":a:x", KHFA_WRITE_CURRENT, {":a", ":a:n", ":a:y"}},
        {":a:x", KHFA_WRITE_PREV, {":a", ":a:n", ":a:x", ":a:y"}},
        {":a:y", KHFA_WRITE_NEXT, {":a", ":a:x", ":a:y", ":a:n"}},
        {":a:x", KHFA_WRITE_LAST_CHILD, {":a", ":a:x", ":a:x:n", ":a:y"}},
    };
    int i = 0;
    for (const Case &c : cases) {
        close(f);
        const std::string name = "w" + std::to_string(i++) + ".hfa";
        f = create(path(name));
        write(f, KHFA_WRITE_LAST_CHILD, "a");
        write(f, KHFA_WRITE_LAST_CHILD, "x");
        write(f, KHFA_WRITE_NEXT, "y");
        ASSERT_TRUE(seekTo(f, c.at));
        write(f, c.mode, "n", "newtype");
        const std::string now = where(f);
        EXPECT_EQ(now.substr(now.rfind(':')), ":n") << c.at << " mode " << c.mode;
        ASSERT_EQ(khfa_FileFlush(f, nullptr), 0);
        std::vector<std::string> paths;
        for (const std::string &line : diskTree(ktest::readFile(path(name))))
            paths.push_back(line.substr(0, line.find(' ')));
        EXPECT_EQ(paths, c.expect) << c.at << " mode " << c.mode;
    }
    // Name length limit; the root keeps its name.
    ktest::Err err;
    ASSERT_TRUE(seekTo(f, ":a"));
    const std::string n63(63, 'q'), n64(64, 'q');
    EXPECT_NE(khfa_EntryWrite(f, KHFA_WRITE_NEXT, n63.c_str(), "t", &err), nullptr);
    EXPECT_EQ(where(f), ":" + n63);
    EXPECT_EQ(khfa_EntryWrite(f, KHFA_WRITE_NEXT, n64.c_str(), "t", &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "exceeds the 63 character maximum"));
    EXPECT_EQ(khfa_EntryWrite(f, KHFA_WRITE_NEXT, nullptr, "t", &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "Push of null name invalid"));
    // Renaming keeps the subtree reachable under the new path only.
    ASSERT_TRUE(seekTo(f, ":a"));
    write(f, KHFA_WRITE_CURRENT, "renamed", nullptr);
    EXPECT_TRUE(seekTo(f, ":renamed:x"));
    EXPECT_FALSE(seekTo(f, ":a:x"));
    ASSERT_TRUE(seekTo(f, ":renamed"));
    EXPECT_STREQ(f ? khfa_EntrySeek(f, KHFA_SEEK_PATH, ":renamed", nullptr)->type : "", "t");
}

TEST_F(HfaTree, MoveRefusalsAndSubtrees) {
    buildSample();
    ASSERT_EQ(khfa_FileFlush(f, nullptr), 0);
    const std::vector<std::string> before = tree();
    const std::string longName = ":" + std::string(64, 'n');
    struct Bad {
        const char *from, *to, *message;
    } bad[] = {
        {":a:b", ":a:c", "|Node already exists"},
        {":a", ":a:c:x", "own subtree"},
        {":a", ":a:x", "own subtree"},
        {":a:zz", ":y", "|Node not found"},
        {":a:b", ":nope:b", "|Node not found"},
        {":a:b", longName.c_str(), "Name too long"},
    };
    ASSERT_TRUE(seekTo(f, ":a:c:d"));
    for (const Bad &b : bad) {
        ktest::Err err;
        EXPECT_EQ(khfa_EntryMove(f, b.from, b.to, &err), -1) << b.from << " -> " << b.to;
        EXPECT_TRUE(ktest::says(err.r, b.message)) << ktest::messages(err.r);
        EXPECT_EQ(where(f), ":a:c:d");
    }
    khfa_FileFlush(f, nullptr);
    EXPECT_EQ(tree(), before);
    // A subtree moves with its children; the current entry inside it follows.
    ktest::Err err;
    ASSERT_EQ(khfa_EntryMove(f, ":a:c", ":e:moved", &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(where(f), ":e:moved:d");
    EXPECT_FALSE(seekTo(f, ":a:c:d"));
    EXPECT_TRUE(seekTo(f, ":e:moved:d"));
    // Relative paths are below the current entry.
    ASSERT_TRUE(seekTo(f, ":a"));
    ASSERT_EQ(khfa_EntryMove(f, "b", ":e:b2", &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(where(f), ":a");
    EXPECT_EQ(khfa_EntryCurrentHasChild(f, &err), 0);
    close(f);
    f = nullptr;
    EXPECT_EQ(tree(), (std::vector<std::string>{":a t 0", ":e t 0", ":e:moved t 0",
                                                ":e:moved:d t 0", ":e:b2 t 0"}));
}

// Entries appended in batch mode are found once the cache is back on, and
// no record copied before batch mode is served stale.
TEST_F(HfaTree, BatchModeAppendsStayConsistent) {
    write(f, KHFA_WRITE_LAST_CHILD, "p");
    ASSERT_TRUE(seekTo(f, ":p"));
    const intptr_t off[] = {KHFA_FILE_OPTION_CACHE, 0, 0}, on[] = {KHFA_FILE_OPTION_CACHE, 1, 0};
    ktest::Err err;
    ASSERT_EQ(khfa_FileChange(f, off, &err), 0);
    write(f, KHFA_WRITE_FIRST_CHILD, "c1");
    write(f, KHFA_WRITE_NEXT, "c2");
    EXPECT_NE(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);
    EXPECT_EQ(khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, &err), nullptr);  // the start entry
    ASSERT_EQ(khfa_FileChange(f, on, &err), 0);
    EXPECT_TRUE(seekTo(f, ":p:c2"));
    EXPECT_EQ(khfa_EntryCurrentHasPrev(f, &err), 1);
    ASSERT_TRUE(seekTo(f, ":p"));
    EXPECT_EQ(khfa_EntryCurrentHasChild(f, &err), 1);
    ASSERT_EQ(khfa_EntryDelete(f, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(khfa_EntryCurrentHasChild(f, &err), 0);
}

// Memory running out at any allocation of a session of tree edits ends in a
// report, leaves nothing allocated behind and the file still readable.
TEST_F(HfaTree, AllocationFailures) {
    close(f);
    f = nullptr;
    const std::string name = path("alloc.hfa");
    const auto session = [&](Kerr_ErrorReport **err) {
        Khfa_File *g = khfa_FileCreate(name.c_str(), nullptr, err);
        if (!g) return false;
        bool ok = khfa_EntryWrite(g, KHFA_WRITE_LAST_CHILD, "a", "t", err) &&
                  khfa_EntryWrite(g, KHFA_WRITE_LAST_CHILD, "b", "t", err) &&
                  khfa_ObjectDataWrite(g, ":a", "c", "raw", KHFA_WRITE_NEXT, "xyz", 3, err) == 0 &&
                  khfa_EntryMove(g, ":c", ":d", err) == 0 &&
                  khfa_EntrySeek(g, KHFA_SEEK_PATH, ":a", err) && khfa_EntryDelete(g, err) == 0;
        if (ok) {
            Kstr_StringList *list = khfa_ObjectList(g, ":", nullptr, nullptr, err);
            ok = list && list->count == 1;
            kstr_StringListFree(list);
        }
        khfa_FileClose(g, nullptr);
        return ok;
    };
    const auto remove = [&] { std::remove(name.c_str()); };
    EXPECT_GT(ktest::runWithAllocationFailures(session, remove), 40);
    // Each allocation failing alone, the later ones intact.
    EXPECT_GT(ktest::runWithEachAllocationFailing(session, remove), 40);
}

}  // namespace
