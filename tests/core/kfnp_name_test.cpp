#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::take;

std::string get(const char *name, uint32_t mask, int32_t index) {
    ktest::Err err;
    std::string r = take(kfnp_FileNameGet(name, mask, index, &err));
    EXPECT_FALSE(err) << ktest::messages(err.r);
    EXPECT_EQ(kfnp_FileNameLength(name, mask, index, &err), static_cast<int32_t>(r.size()));
    return r;
}

TEST(FileName, PartsAtBothEndsOfThePath) {
    // The roots: a file name's, a network name's, a node path's.
    EXPECT_EQ(
        std::string(kfnp_FileNameRoot()) + " " + kfnp_FileNameUNCRoot() + " " + kfnp_NodePathRoot(),
        "/ // :");
    struct Row {
        const char *name;
        int32_t index;
        const char *drive, *root, *preceding, *component, *following;
    };
    const Row rows[] = {
        {"C:/a/b/c.img", 0, "C:", "/", "", "a", "/b/c.img"},
        {"C:/a/b/c.img", 1, "C:", "/", "a/", "b", "/c.img"},
        {"C:/a/b/c.img", 2, "C:", "/", "a/b/", "c.img", ""},
        {"C:/a/b/c.img", -1, "C:", "/", "a/b/", "c.img", ""},
        {"C:/a/b/c.img", -3, "C:", "/", "", "a", "/b/c.img"},
        {"C:/a/b/c.img", 3, "C:", "/", "a/b/", "c.img", ""},   // clamped to the last
        {"C:/a/b/c.img", -4, "C:", "/", "", "a", "/b/c.img"},  // clamped to the first
        {"//server/share/f.img", 0, "", "//", "", "server", "/share/f.img"},
        {"//server/share/f.img", -1, "", "//", "server/share/", "f.img", ""},
        {"c:rel/x", 0, "c:", "", "", "rel", "/x"},
        {"rel/dir/", -1, "", "", "rel/", "dir", "/"},
        {"a//b///c", 1, "", "", "a//", "b", "///c"},
        {"///x", 0, "", "///", "", "x", ""},
        {"/", 0, "", "/", "", "", ""},
        {"C:", -1, "C:", "", "", "", ""},
        {"C:/", 0, "C:", "/", "", "", ""},
        {"", 0, "", "", "", "", ""},
        {"f.img", -1, "", "", "", "f.img", ""},
        {"1:/x", 0, "", "", "", "1:", "/x"},  // not a drive
        {"ab:/x", 0, "", "", "", "ab:", "/x"},
        {"a\\b/c", 0, "", "", "", "a\\b", "/c"},  // a backslash is no separator here
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + " @" + std::to_string(r.index));
        EXPECT_EQ(get(r.name, KFNP_FILENAME_DRIVE, r.index), r.drive);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_ROOT, r.index), r.root);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_PRECEDING, r.index), r.preceding);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_COMPONENT, r.index), r.component);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_FOLLOWING, r.index), r.following);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_ALL, r.index), r.name);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_DIRECTORY, r.index),
                  std::string(r.drive) + r.root + r.preceding);
        EXPECT_EQ(get(r.name, KFNP_FILENAME_COMPONENT | KFNP_FILENAME_FOLLOWING, r.index),
                  std::string(r.component) + r.following);
        EXPECT_EQ(
            get(r.name, KFNP_FILENAME_ROOT | KFNP_FILENAME_PRECEDING | KFNP_FILENAME_COMPONENT,
                r.index),
            std::string(r.root) + r.preceding + r.component);
    }
}

TEST(FileName, LengthXGivesOffsetAndComponentCount) {
    ktest::Err err;
    int32_t offset = -1, count = -1;
    // Length, offset and component count.
    auto x = [&](const char *name, uint32_t mask, int32_t index, int32_t *n) {
        const int32_t length = kfnp_FileNameLengthX(name, mask, index, &offset, n, &err);
        return ktest::Ints{length, offset, count};
    };
    EXPECT_EQ(x("C:/a/bb/c.img", KFNP_FILENAME_COMPONENT, 1, &count), (ktest::Ints{2, 5, 3}));
    EXPECT_EQ(x("C:/a/bb/c.img", KFNP_FILENAME_FOLLOWING, -1, nullptr), (ktest::Ints{0, 13, 3}));
    EXPECT_EQ(x("//", KFNP_FILENAME_PRECEDING, 0, &count), (ktest::Ints{0, 2, 0}));
    EXPECT_FALSE(err);
}

TEST(FileName, MasksAreChecked) {
    struct Row {
        uint32_t mask;
        const char *message;
    };
    const Row rows[] = {
        {0, "No options specified in options mask"},
        {KFNP_FILENAME_DRIVE | KFNP_FILENAME_PRECEDING, "Invalid (non-consecutive) options"},
        {KFNP_FILENAME_ROOT | KFNP_FILENAME_FOLLOWING, "Invalid (non-consecutive) options"},
        {0x1B, "Invalid (non-consecutive) options"},
        {0x20, "Invalid options specification"},
        {0x3F, "Invalid options specification"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.mask);
        ktest::Err err;
        refused(err, kfnp_FileNameGet("/a/b", r.mask, 0, &err) == nullptr, r.message);
        EXPECT_TRUE(ktest::hasCode(err.r, "kfnp_FileNameGet", 1));
        refused(err, kfnp_FileNameSet("/a/b", r.mask, 0, "x", &err) == nullptr, r.message);
        refused(err, kfnp_FileNameLength("/a/b", r.mask, 0, &err) == -1,
                std::string("- | ") + r.message);
        EXPECT_NE(ktest::printed(err.r, 0).find(" >>>kfnp_FileNameLengthX failed.<<<\n"),
                  std::string::npos);
    }
    ktest::Err err;
    refused(err, kfnp_FileNameGet(nullptr, KFNP_FILENAME_ALL, 0, &err) == nullptr,
            "FileNameParse failed | Parse error; <FileName> is NULL");
}

TEST(FileName, SetReplacesRanges) {
    // The new name, or "(NULL) " and the report's messages.
    auto set = [](const char *n, uint32_t mask, int32_t index, const char *data) {
        ktest::Err err;
        char *r = kfnp_FileNameSet(n, mask, index, data, &err);
        return r ? take(r) : "(NULL) " + ktest::messages(err.r);
    };
    EXPECT_EQ(set("C:/a/b/c.img", KFNP_FILENAME_COMPONENT, -1, "d.img"), "C:/a/b/d.img");
    EXPECT_EQ(set("C:/a/b/c.img", KFNP_FILENAME_DRIVE, 0, "d:"), "d:/a/b/c.img");
    EXPECT_EQ(set("C:/a/b/c.img", KFNP_FILENAME_DRIVE, 0, ""), "/a/b/c.img");
    EXPECT_EQ(set("/a/b", KFNP_FILENAME_DRIVE, 0, "Z:"), "Z:/a/b");
    EXPECT_EQ(set("C:/a/b/c.img", KFNP_FILENAME_DIRECTORY, -1, "/tmp/"), "/tmp/c.img");
    EXPECT_EQ(set("C:/a/b/c.img", KFNP_FILENAME_FOLLOWING, 0, ""), "C:/a");
    EXPECT_EQ(set("rel", KFNP_FILENAME_ROOT, 0, "//"), "//rel");
    EXPECT_EQ(set("", KFNP_FILENAME_COMPONENT, 0, "x"), "x");
    for (const char *bad : {"1:", "CC", "C", "C:/", ":"})
        EXPECT_EQ(set("/a", KFNP_FILENAME_DRIVE, 0, bad), "(NULL) Bad drive specification") << bad;
    EXPECT_EQ(set("/a", KFNP_FILENAME_COMPONENT, 0, nullptr),
              "(NULL) data must not be the NULL string");
    EXPECT_EQ(set(nullptr, KFNP_FILENAME_COMPONENT, 0, "x"),
              "(NULL) FileNameParse failed | Parse error; <FileName> is NULL");
}

TEST(FileName, ValidCharacters) {
    for (const char *ok : {"", "C:/dir/file name.img", "//server/share/f", "a-b_c.d+e~f",
                           "\xc3\xa9t\xc3\xa9.img", "/a'b[1]{2}=3%4;5"})
        EXPECT_EQ(kfnp_FileNameHasValidCharacters(ok), 1) << ok;
    struct Row {
        const char *name;
        long position;
    };
    const Row bad[] = {{"a?b", 1},   {"/d/x*", 4}, {"a<b", 1},   {"a>b", 1}, {"a|b", 1},
                       {"a\"b", 1},  {"a\\b", 1},  {"C:a:b", 3}, {"1:x", 1}, {"/C:x", 2},
                       {"ab\tc", 2}, {"x\x7f", 1}, {":", 0}};
    for (const Row &r : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(kfnp_FileNameHasValidCharacters(r.name), 0) << r.name;
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed,
                  " ***ERROR NUMBER 1 IN FUNCTION kfnp_FileNameHasValidCharacters***\n"
                  " >>>Parse error: character " +
                      std::to_string(r.position) + " is illegal in filename " + r.name + "<<<\n\n");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(kfnp_FileNameHasValidCharacters(nullptr), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("character 0 is illegal"),
              std::string::npos);
}

TEST(FileName, ExternalAndInternalForms) {
    ktest::Err err;
    EXPECT_EQ(take(kfnp_FileNameInternalToExternal("C:/a b/\xc3\xa9", &err)), "C:/a b/\xc3\xa9");
    EXPECT_EQ(take(kfnp_FileNameExternalToInternal("/x\\y", &err)), "/x\\y");
    refused(err, kfnp_FileNameInternalToExternal("/a\nb", &err) == nullptr,
            "Character 2 is not legal");
    refused(err, kfnp_FileNameExternalToInternal("\x1b", &err) == nullptr,
            "Character 0 is not legal");

    setenv("KFNP_TEST_DIR", "/data/x", 1);
    EXPECT_EQ(take(kfnp_FileNameEvaluateEnv("$KFNP_TEST_DIR/f.img", &err)), "/data/x/f.img");
    EXPECT_EQ(take(kfnp_FileNameEvaluateEnv("${KFNP_TEST_DIR}2", &err)), "/data/x2");
    setenv("KFNP_TEST_DIR", "/bad\tdir", 1);
    refused(err, kfnp_FileNameEvaluateEnv("$KFNP_TEST_DIR/f", &err) == nullptr,
            "- | Character 4 is not legal");
    unsetenv("KFNP_TEST_DIR");
    refused(err, kfnp_FileNameEvaluateEnv(nullptr, &err) == nullptr,
            "kstr_PathExpand failed | Null path");
}

TEST(FileName, AddNameAndPathJoin) {
    ktest::Err err;
    auto add = [&](const char *d, const char *n) { return take(kfnp_FileNameAddName(d, n, &err)); };
    EXPECT_EQ(add("/a/b", "c.img"), "/a/b/c.img");
    EXPECT_EQ(add("/a/b/", "c.img"), "/a/b/c.img");
    EXPECT_EQ(add("/a/b", "//c.img"), "/a/b/c.img");
    EXPECT_EQ(add("/", "c"), "/c");
    EXPECT_EQ(add("//", "server"), "//server");
    EXPECT_EQ(add("C:", "x"), "C:x");
    EXPECT_EQ(add("", "/abs"), "/abs");
    EXPECT_EQ(add(nullptr, "rel"), "rel");
    EXPECT_EQ(add("dir", ""), "dir");
    EXPECT_FALSE(err);
    refused(err, kfnp_FileNameAddName("dir", nullptr, &err) == nullptr, "Null argument");

    const char *parts[] = {"/root", nullptr, "", "sub/", "/leaf.img"};
    EXPECT_EQ(take(kfnp_PathJoin(5, parts, &err)), "/root/sub/leaf.img");
    EXPECT_EQ(take(kfnp_PathJoin(0, nullptr, &err)), "");
    EXPECT_EQ(take(kfnp_PathJoin(2, parts + 1, &err)), "");
    refused(err, kfnp_PathJoin(-1, parts, &err) == nullptr, "Null argument");
}

TEST(FileName, NormaliseCompareEquals) {
    struct Row {
        const char *name;
        const char *normal;
    };
    const Row rows[] = {
        {"", ""},
        {"/", "/"},
        {"a", "a"},
        {"c:/X//y/./z/", "C:/X/y/z"},
        {"/a/b/../c", "/a/c"},
        {"/../a", "/a"},
        {"../a/../../b", "../../b"},
        {"a/..", "."},
        {"./", "."},
        {"//server//share/../other", "//server/other"},
        {"///x//y", "/x/y"},
        {"C:", "C:"},
        {"d:..", "D:.."},
        {"C:/..", "C:/"},
        {"x/../a:b", "./a:b"},  // not the drive a:
        {"./a:b", "./a:b"},
    };
    for (const Row &r : rows) {
        ktest::Err err;
        EXPECT_EQ(take(kfnp_FileNameNormalize(r.name, &err)), r.normal) << r.name;
        EXPECT_TRUE(kfnp_FileNameEquals(r.name, r.normal)) << r.name;
    }
    ktest::Err err;
    refused(err, kfnp_FileNameNormalize(nullptr, &err) == nullptr,
            "FileNameParse failed | Parse error; <FileName> is NULL");

    // Case matters; "//a" is a network name.
    EXPECT_EQ(
        (ktest::Ints{kfnp_FileNameEquals("/data/./f.img", "/data//f.img"),
                     kfnp_FileNameEquals("/data/F.img", "/data/f.img"),
                     kfnp_FileNameEquals("//a/b", "/a/b"), kfnp_FileNameEquals("a", "/a"),
                     kfnp_FileNameEquals(nullptr, nullptr), kfnp_FileNameEquals(nullptr, "")}),
        (ktest::Ints{1, 0, 0, 0, 1, 0}));
    EXPECT_EQ((ktest::Ints{kfnp_FileNameCompare(nullptr, "a"), kfnp_FileNameCompare("a", nullptr),
                           kfnp_FileNameCompare("/a/b", "/a/./c"),
                           kfnp_FileNameCompare("/b", "/a/../a"), kfnp_FileNameCompare("x/", "x")}),
              (ktest::Ints{-1, 1, -1, 1, 0}));
}

TEST(FileName, OutOfMemoryLeavesNothingBehind) {
    EXPECT_EQ(
        ktest::runMaking(
            [](auto err) { return kfnp_FileNameGet("/a/b/c", KFNP_FILENAME_DIRECTORY, -1, err); },
            kmsc_HeapFree),
        1);
    EXPECT_GE(ktest::runMaking([](auto err) { return kfnp_FileNameEvaluateEnv("$HOME/x", err); },
                               kmsc_HeapFree),
              2);
}

}  // namespace
