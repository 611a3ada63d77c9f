#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::take;

std::string get(const char *path, uint32_t mask, int32_t index) {
    ktest::Err err;
    std::string r = take(kfnp_NodePathGet(path, mask, index, &err));
    EXPECT_FALSE(err) << ktest::messages(err.r);
    EXPECT_EQ(kfnp_NodePathLength(path, mask, index, &err), static_cast<int32_t>(r.size()));
    return r;
}

std::vector<std::string> names(const char *path, int32_t *isFull = nullptr) {
    ktest::Err err;
    Kfnp_NodeNameList *l = kfnp_NodeNameParse(path, &err);
    EXPECT_NE(l, nullptr) << ktest::messages(err.r);
    std::vector<std::string> r;
    if (!l) return r;
    for (int32_t i = 0; i < l->count; ++i) r.push_back(l->names[i]);
    if (isFull) *isFull = l->isFullPath;
    kfnp_FreeNodeName(l);
    return r;
}

TEST(NodePath, ParseErrors) {
    struct Row {
        const char *path;
        const char *message;
    };
    const Row rows[] = {
        {nullptr, "Parse error; <NodePath> is NULL"},
        {":a\\", "Parse error; <NodePath> should not end with protection"},
        {"\\", "Parse error; <NodePath> should not end with protection"},
        {":a\\\\\\", "Parse error; <NodePath> should not end with protection"},
        {":a\x01", "Parse error; character 2 is illegal"},
        {":ab\\\t", "Parse error; character 4 is illegal"},
        {"\x7f", "Parse error; character 0 is illegal"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.path ? r.path : "NULL");
        ktest::Err err;
        refused(err, kfnp_NodeNameParse(r.path, &err) == nullptr,
                std::string("NodePathParse failed | ") + r.message);
        ASSERT_NE(err->next, nullptr);
        EXPECT_STREQ(err->next->function, "NodePathParse");
        refused(err, kfnp_NodePathGet(r.path, KFNP_NODEPATH_ALL, 0, &err) == nullptr,
                std::string("NodePathParse failed | ") + r.message);
        EXPECT_EQ(kfnp_NodePathLength(r.path, KFNP_NODEPATH_NAME, 0, &err), -1);
        EXPECT_EQ(kfnp_NodePathPath(r.path, KFNP_NODEPATH_NAME, 0, &err), nullptr);
        EXPECT_EQ(kfnp_NodePathSet(r.path, KFNP_NODEPATH_NAME, 0, "x", &err), nullptr);
    }
}

TEST(NodePath, NamesLoseTheirProtection) {
    int32_t full[3] = {-1, -1, -1};
    EXPECT_EQ(names(":a:b:c", &full[0]), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(names("a:b", &full[1]), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(names(":", &full[2]), std::vector<std::string>{});
    EXPECT_EQ((ktest::Ints{full[0], full[1], full[2]}), (ktest::Ints{1, 0, 1}));
    EXPECT_EQ(names(""), std::vector<std::string>{});
    EXPECT_EQ(names("::a:::b:"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(names(":x\\:y:a\\,b\\):c\\\\:\\:"),
              (std::vector<std::string>{"x:y", "a,b)", "c\\", ":"}));
    EXPECT_EQ(names(": a b :c"), (std::vector<std::string>{" a b ", "c"}));
}

TEST(NodePath, PartsAtBothEnds) {
    struct Row {
        const char *path;
        int32_t index;
        const char *root, *preceding, *name, *following;
    };
    const Row rows[] = {
        {":a:b:c", 0, ":", "", "a", ":b:c"},
        {":a:b:c", 1, ":", "a:", "b", ":c"},
        {":a:b:c", 2, ":", "a:b:", "c", ""},
        {":a:b:c", -1, ":", "a:b:", "c", ""},
        {":a:b:c", -3, ":", "", "a", ":b:c"},
        {":a:b:c", 7, ":", "a:b:", "c", ""},   // clamped to the last
        {":a:b:c", -9, ":", "", "a", ":b:c"},  // clamped to the first
        {"a:b", 0, "", "", "a", ":b"},         // relative
        {":", 0, ":", "", "", ""},             // the root
        {"", -1, "", "", "", ""},
        {"::a::b::", 1, "::", "a::", "b", "::"},  // runs of separators
        {":a\\:b:c", 0, ":", "", "a\\:b", ":c"},  // protected separator
        {":a:b\\\\:c", -2, ":", "a:", "b\\\\", ":c"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.path) + " @" + std::to_string(r.index));
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_ROOT, r.index), r.root);
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_PRECEDING, r.index), r.preceding);
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_NAME, r.index), r.name);
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_FOLLOWING, r.index), r.following);
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_ALL, r.index), r.path);
        // Ranges of several parts are the concatenation of their parts.
        EXPECT_EQ(get(r.path, KFNP_NODEPATH_ROOT | KFNP_NODEPATH_PRECEDING, r.index),
                  std::string(r.root) + r.preceding);
        EXPECT_EQ(
            get(r.path, KFNP_NODEPATH_PRECEDING | KFNP_NODEPATH_NAME | KFNP_NODEPATH_FOLLOWING,
                r.index),
            std::string(r.preceding) + r.name + r.following);
    }
}

TEST(NodePath, MasksAreChecked) {
    struct Row {
        uint32_t mask;
        const char *message;
    };
    const Row rows[] = {
        {0, "No options specified in options mask"},
        {KFNP_NODEPATH_ROOT | KFNP_NODEPATH_NAME, "Invalid (non-consecutive) options"},
        {KFNP_NODEPATH_ROOT | KFNP_NODEPATH_FOLLOWING, "Invalid (non-consecutive) options"},
        {0x10, "Invalid options specification"},
        {0x1F, "Invalid options specification"}};
    for (const Row &r : rows) {
        ktest::Err err;
        refused(err, kfnp_NodePathGet(":a", r.mask, 0, &err) == nullptr, r.message);
        EXPECT_TRUE(ktest::hasCode(err.r, "kfnp_NodePathGet", 1));
        refused(err, kfnp_NodePathSet(":a", r.mask, 0, "x", &err) == nullptr, r.message);
        EXPECT_EQ(kfnp_NodePathPath(":a", r.mask, 0, &err), nullptr);
        refused(err, kfnp_NodePathLength(":a", r.mask, 0, &err) == -1, r.message);
    }
}

TEST(NodePath, PathsOfRanges) {
    ktest::Err err;
    auto path = [&](const char *p, uint32_t mask, int32_t index) {
        return take(kfnp_NodePathPath(p, mask, index, &err));
    };
    const uint32_t parent = KFNP_NODEPATH_ROOT | KFNP_NODEPATH_PRECEDING;
    EXPECT_EQ(path(":a:b:c", parent, -1), ":a:b");
    EXPECT_EQ(path(":a", parent, -1), ":");
    EXPECT_EQ(path(":", parent, -1), ":");
    EXPECT_EQ(path(":a:b\\:", parent, -1), ":a");
    EXPECT_EQ(path(":a\\::b", parent, -1), ":a\\:");  // a protected colon stays
    EXPECT_EQ(path(":a:b:c", KFNP_NODEPATH_NAME, 1), ":b");
    EXPECT_EQ(path(":a:b:c", KFNP_NODEPATH_FOLLOWING, 0), ":b:c");
    EXPECT_EQ(path(":a:b:c", KFNP_NODEPATH_PRECEDING, 2), ":a:b");
    EXPECT_EQ(path("a:b", KFNP_NODEPATH_ALL, 0), ":a:b");
    EXPECT_EQ(path("::a::", KFNP_NODEPATH_ALL, 0), "::a");
    EXPECT_EQ(path("", KFNP_NODEPATH_ALL, 0), ":");
    EXPECT_FALSE(err);
    // Every consecutive range gives a full node path that parses, whose names
    // are those the range covers.
    for (const char *p : {":a\\\\:b", ":x:y\\:z:", "q\\,r:s", ":"}) {
        for (uint32_t mask : {1u, 2u, 3u, 4u, 6u, 7u, 8u, 12u, 14u, 15u}) {
            for (int32_t index : {-1, 0, 1, 5}) {
                std::string full = path(p, mask, index);
                ASSERT_EQ(full[0], ':');
                std::string text = take(kfnp_NodePathGet(p, mask, index, &err));
                int32_t isFull = 0;
                EXPECT_EQ(names(full.c_str(), &isFull), names(text.c_str()));
                EXPECT_EQ(isFull, 1);
            }
        }
    }
}

TEST(NodePath, SetReplacesRanges) {
    // The new path, or "(NULL) " and the report's messages.
    auto set = [](const char *p, uint32_t mask, int32_t index, const char *data) {
        ktest::Err err;
        char *r = kfnp_NodePathSet(p, mask, index, data, &err);
        return r ? take(r) : "(NULL) " + ktest::messages(err.r);
    };
    EXPECT_EQ(set(":a:b:c", KFNP_NODEPATH_NAME, 1, "x"), ":a:x:c");
    EXPECT_EQ(set(":a:b:c", KFNP_NODEPATH_NAME, -1, "x\\:y"), ":a:b:x\\:y");
    EXPECT_EQ(set(":a:b:c", KFNP_NODEPATH_FOLLOWING, 0, ""), ":a");
    EXPECT_EQ(set(":a:b:c", KFNP_NODEPATH_ROOT | KFNP_NODEPATH_PRECEDING, 2, ""), "c");
    EXPECT_EQ(set(":", KFNP_NODEPATH_NAME, 0, "first"), ":first");
    EXPECT_EQ(set(":a", KFNP_NODEPATH_FOLLOWING, -1, ":b"), ":a:b");
    EXPECT_EQ(set("a", KFNP_NODEPATH_ROOT, 0, ":"), ":a");
    EXPECT_EQ(set(":a", KFNP_NODEPATH_NAME, 0, nullptr), "(NULL) data must not be the NULL string");
    EXPECT_EQ(
        set(":a:b", KFNP_NODEPATH_PRECEDING | KFNP_NODEPATH_NAME, 1, "x\\"),
        "(NULL) NodePathParse failed | Parse error; <NodePath> should not end with protection");
    EXPECT_EQ(set(":a:b", KFNP_NODEPATH_NAME, 0, "\t"),
              "(NULL) NodePathParse failed | Parse error; character 1 is illegal");
}

TEST(NodePath, OutOfMemoryLeavesNothingBehind) {
    EXPECT_GT(ktest::runMaking([](auto err) { return kfnp_NodeNameParse(":a:b\\:c:d", err); },
                               kfnp_FreeNodeName),
              4);
    EXPECT_EQ(
        ktest::runMaking(
            [](auto err) { return kfnp_NodePathSet(":a:b", KFNP_NODEPATH_NAME, 0, "x", err); },
            kmsc_HeapFree),
        1);
}

}  // namespace
