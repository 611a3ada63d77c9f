#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::take;

struct Item {
    std::string fileName{};
    bool hasTitle = false;
    std::string title{};
    std::vector<std::string> nodePaths{};
    bool operator==(const Item &) const = default;
};

// Parses and copies the result into plain values; fails the test on error.
std::vector<Item> parse(const char *list) {
    ktest::Err err;
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(list, &err);
    EXPECT_NE(l, nullptr) << list << ": " << ktest::messages(err.r);
    EXPECT_FALSE(err);
    std::vector<Item> items;
    if (!l) return items;
    for (int32_t i = 0; i < l->itemCount; ++i) {
        const Kfnp_FileNodeListItem &s = l->items[i];
        Item it;
        it.fileName = s.fileName;
        it.hasTitle = s.title != nullptr;
        if (s.title) it.title = s.title;
        for (int32_t k = 0; k < s.nodePathCount; ++k) it.nodePaths.push_back(s.nodePaths[k]);
        items.push_back(it);
    }
    kfnp_FreeNodeList(l);
    return items;
}

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string compose(const char *list) {
    ktest::Err err;
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(list, &err);
    if (!l) return "(parse failed)";
    std::string r = take(kfnp_FileNodeListCompose(l, &err));
    kfnp_FreeNodeList(l);
    return r;
}

TEST(FileNodeList, EveryParseErrorWithItsPosition) {
    struct Row {
        const char *list;
        const char *message;
    };
    const Row rows[] = {
        {"(:a)", "Illegal character, (, at position 0"},
        {",a", "Illegal character, ,, at position 0"},
        {"a,,b", "Illegal character, ,, at position 2"},
        {"a(:x),(:y)", "Illegal character, (, at position 6"},
        {"a,", "Parse error; <FileNodeList> terminates with NULL <FileName>"},
        {"a(:x),", "Parse error; <FileNodeList> terminates with NULL <FileName>"},
        {"a\\", "Parse error; <FileNodeList> terminates in <FileName>"},
        {"b,a\\(\\", "Parse error; <FileNodeList> terminates in <FileName>"},
        {"dir/(:a)",
         "Parse error; <FileNodeListItemSpec> at position 4 is preceded by a "
         "<DirectoryName>"},
        {"x,d/sub/(t)",
         "Parse error; <FileNodeListItemSpec> at position 8 is preceded by a "
         "<DirectoryName>"},
        {"f()", "Parse error; NULL <FileNodeListItemSpec> at position 1"},
        {"g(:a),hh()", "Parse error; NULL <FileNodeListItemSpec> at position 8"},
        {"f(", "Parse error; <FileNodeList> terminates in <FileTitle>"},
        {"f(title", "Parse error; <FileNodeList> terminates in <FileTitle>"},
        {"f(title\\", "Parse error; <FileNodeList> terminates in <FileTitle>"},
        {"f(ti\\:tle", "Parse error; <FileNodeList> terminates in <FileTitle>"},
        {"f(:a", "Parse error; <FileNodeList> terminates in <FullNodePath>"},
        {"f(t:a:b", "Parse error; <FileNodeList> terminates in <FullNodePath>"},
        {"f(:a\\)", "Parse error; <FileNodeList> terminates in <FullNodePath>"},
        {"f(:a\\", "Parse error; <FileNodeList> terminates in <FullNodePath>"},
        {"f(:a,", "Parse error; <FileNodeList> terminates in <NodeList>"},
        {"f(:a,b)", "Parse error; Expecting <FullNodePath> in position 5, but found b)"},
        {"f(:a,:b,,:c)", "Parse error; Expecting <FullNodePath> in position 8, but found ,:c)"},
        {"f(:a)x",
         "Parse error; Illegal character, KTXT_LCHAR('x'), at start of "
         "<OptFileNodeSubList> in position 5"},
        {"f(t)(:b)",
         "Parse error; Illegal character, KTXT_LCHAR('('), at start of "
         "<OptFileNodeSubList> in position 4"},
        {"f\tg", "Parse error; character 1 is illegal"},
        {"f(:a\\\x01)", "Parse error; character 5 is illegal"},
        {"a(:b),c\x7f", "Parse error; character 7 is illegal"},
        // Character errors win over syntax errors earlier in the list.
        {"(:a)\n", "Parse error; character 4 is illegal"},
        {nullptr, "Parse error; <FileNodeList> is NULL"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.list ? row.list : "NULL");
        ktest::Err err;
        EXPECT_EQ(kfnp_FileNodeListParse(row.list, &err), nullptr);
        ASSERT_TRUE(err);
        EXPECT_EQ(ktest::messages(err.r), std::string("FileNodeListParse failed | ") + row.message);
        EXPECT_STREQ(err->function, "kfnp_FileNodeListParse");
        ASSERT_NE(err->next, nullptr);
        EXPECT_STREQ(err->next->function, "FileNodeListParse");
        EXPECT_EQ(err->next->severity, 2u);
        EXPECT_EQ(err->next->next, nullptr);
        // Every other list operation refuses the list the same way.
        ktest::Err err2;
        refused(err2, kfnp_FileNodeListGet(row.list, 0, KFNP_FNL_FILENAME, 0, &err2) == nullptr,
                ktest::messages(err.r));
    }
}

TEST(FileNodeList, ProtectedCharacters) {
    // File names and titles lose every protection.
    EXPECT_EQ(parse("a\\(1\\)\\,b\\\\c(:x)"),
              (std::vector<Item>{{"a(1),b\\c", false, "", {":x"}}}));
    EXPECT_EQ(parse("f(A\\:B\\)C\\\\:x)"), (std::vector<Item>{{"f", true, "A:B)C\\", {":x"}}}));
    // Node paths keep the protection that means something inside a node path.
    EXPECT_EQ(parse("f(:a\\,b)"), (std::vector<Item>{{"f", false, "", {":a,b"}}}));
    EXPECT_EQ(parse("f(:a\\)b\\(,:c\\:d,:e\\\\)"),
              (std::vector<Item>{{"f", false, "", {":a)b(", ":c\\:d", ":e\\\\"}}}));
}

TEST(FileNodeList, ParseComposeParseRoundTrips) {
    // Canonical lists come back byte for byte.
    const char *canonical[] = {"",
                               "f.img",
                               "f(:a)",
                               "C:/x/f.img(Title:a:b,:c\\,d),g(:e\\)f),h(T\\:i\\)t)",
                               "a\\(1)\\,b\\\\c(:x\\:y)",
                               "//srv/share/f(:)",
                               "dir\\/(T),a\\\\\\/(:x),d/,e\\\\/",
                               "f)x(a,(b:n(1\\))"};
    for (const char *s : canonical) EXPECT_EQ(compose(s), s);
    // Values that need protection survive compose -> parse.
    char fileName[] = "we(i)rd,na\\me";
    char title[] = "T:i)t,le(\\";
    char path0[] = ":a,b:c)d";
    char path1[] = ":e\\:f";
    char *paths[] = {path0, path1};
    Kfnp_FileNodeListItem items[2] = {{fileName, title, 2, paths}, {fileName, nullptr, 0, nullptr}};
    Kfnp_FileNodeList list{2, items};
    ktest::Err err;
    std::string text = take(kfnp_FileNodeListCompose(&list, &err));
    EXPECT_EQ(text,
              "we\\(i)rd\\,na\\\\me(T\\:i\\)t,le(\\\\:a\\,b:c\\)d,:e\\:f),we\\(i)rd\\,na\\\\me");
    EXPECT_EQ(parse(text.c_str()),
              (std::vector<Item>{{fileName, true, title, {path0, path1}}, {fileName}}));
}

TEST(FileNodeList, ComposeRefusesWhatCannotBeWritten) {
    char empty[] = "";
    char name[] = "f";
    char rel[] = "a:b";
    char bad[] = ":a\\";
    char path[] = ":a";
    char *relPaths[] = {rel};
    char *badPaths[] = {bad};
    char *paths[] = {path};
    struct Case {
        Kfnp_FileNodeListItem item;
        const char *messages;
    };
    const Case cases[] = {
        {{name, nullptr, 1, relPaths}, "<NodePath> is not a <FullNodePath>"},
        {{name, nullptr, 1, badPaths},
         "NodePathParse failed | Parse error; <NodePath> should not end with protection"},
        {{empty, nullptr, 1, paths},
         "FileNodeListParse failed | Illegal character, (, at position 0"},
        {{nullptr, nullptr, 0, nullptr}, "Null argument"},
    };
    for (const Case &c : cases) {
        Kfnp_FileNodeListItem item = c.item;
        Kfnp_FileNodeList list{1, &item};
        ktest::Err err;
        refused(err, kfnp_FileNodeListCompose(&list, &err) == nullptr, c.messages);
    }
    ktest::Err err;
    Kfnp_FileNodeList none{0, nullptr};
    EXPECT_EQ(take(kfnp_FileNodeListCompose(&none, &err)), "");
    EXPECT_EQ(kfnp_FileNodeListCompose(nullptr, &err), nullptr);
}

TEST(FileNodeList, CountsItemsAndNodePaths) {
    ktest::Err err;
    int32_t nodes = -7;
    // Item count, then the node count of item 0, -1 and 1.
    auto count = [&](int32_t item) {
        return kfnp_FileNodeListCount("a(:x,:y),b,c(t:z)", item, &nodes, &err) * 10 + nodes;
    };
    EXPECT_EQ(
        (ktest::Ints{count(0), count(-1), count(1), kfnp_FileNodeListCount("", 5, nullptr, &err)}),
        (ktest::Ints{32, 31, 30, 1}));
    refused(err, kfnp_FileNodeListCount("a,b", 2, &nodes, &err) == -1,
            "<FileNodeListItem> 2 does not exist");
    EXPECT_EQ(kfnp_FileNodeListCount("a,", 0, nullptr, &err), -1);
    EXPECT_TRUE(ktest::hasCode(err.r, "kfnp_FileNodeListCount", 1));
}

TEST(FileNodeList, GetAndLengthOfParts) {
    const char *list = "f\\(1\\).img(T\\:x:a:b,:c\\,d),g";
    struct Row {
        int32_t item;
        uint32_t mask;
        int32_t node;
        const char *want;
    };
    const Row rows[] = {
        {0, KFNP_FNL_FILENAME, 0, "f(1).img"},
        {0, KFNP_FNL_TITLE, 0, "T:x"},
        {0, KFNP_FNL_NODEPATH, 0, ":a:b"},
        {0, KFNP_FNL_NODEPATH, 1, ":c,d"},
        {0, KFNP_FNL_NODEPATH, -1, ":c,d"},
        {0, KFNP_FNL_NODEPATH, -2, ":a:b"},
        {0, KFNP_FNL_NODEPATH, 2, ""},
        {0, KFNP_FNL_NODEPATH, -3, ""},
        {-1, KFNP_FNL_FILENAME, 0, "g"},
        {1, KFNP_FNL_TITLE, 0, ""},
        {1, KFNP_FNL_NODEPATH, 0, ""},
        // Several parts: the written form with the protection they need.
        {0, KFNP_FNL_ITEM, 0, "f\\(1).img(T\\:x:a:b,:c\\,d)"},
        {0, KFNP_FNL_FILENAME | KFNP_FNL_TITLE, 0, "f\\(1).img(T\\:x)"},
        {0, KFNP_FNL_TITLE | KFNP_FNL_NODEPATH, 0, "T\\:x:a:b,:c\\,d"},
        {1, KFNP_FNL_ITEM, 0, "g"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::to_string(r.item) + "/" + std::to_string(r.mask) + "/" +
                     std::to_string(r.node));
        ktest::Err err;
        EXPECT_EQ(take(kfnp_FileNodeListGet(list, r.item, r.mask, r.node, &err)), r.want);
        EXPECT_EQ(kfnp_FileNodeListLength(list, r.item, r.mask, r.node, &err),
                  static_cast<int32_t>(strlen(r.want)));
        EXPECT_FALSE(err);
    }
    for (int32_t item : {2, -3, 100}) {
        ktest::Err err;
        refused(err, kfnp_FileNodeListGet(list, item, KFNP_FNL_FILENAME, 0, &err) == nullptr,
                "<FileNodeListItem> " + std::to_string(item) + " does not exist");
        EXPECT_EQ(kfnp_FileNodeListLength(list, item, KFNP_FNL_FILENAME, 0, &err), -1);
    }
    for (uint32_t mask : {0u, 5u, 8u, 0x80000000u}) {
        ktest::Err err;
        refused(err, kfnp_FileNodeListGet(list, 0, mask, 0, &err) == nullptr,
                "Invalid options specification");
        EXPECT_EQ(kfnp_FileNodeListLength(list, 0, mask, 0, &err), -1);
        refused(err, kfnp_FileNodeListSet(list, 0, mask, 0, "x", &err) == nullptr,
                "Invalid options specification");
    }
    ktest::Err err;
    refused(err, kfnp_FileNodeListSet(list, 0, KFNP_FNL_ITEM, 0, "x", &err) == nullptr,
            "Invalid options specification");
}

// The new list, or "(NULL) " and the report's messages.
std::string set(const char *list, int32_t item, uint32_t mask, int32_t node, const char *data) {
    ktest::Err err;
    char *r = kfnp_FileNodeListSet(list, item, mask, node, data, &err);
    EXPECT_EQ(r == nullptr, static_cast<bool>(err));
    return r ? take(r) : "(NULL) " + ktest::messages(err.r);
}

TEST(FileNodeList, SetFileNames) {
    EXPECT_EQ(set("", 0, KFNP_FNL_FILENAME, 0, "f.img"), "f.img");
    EXPECT_EQ(set("a(t:x),b,c", 1, KFNP_FNL_FILENAME, 0, "n(1),2"), "a(t:x),n\\(1)\\,2,c");
    EXPECT_EQ(set("a(t:x),b", 0, KFNP_FNL_FILENAME, 0, "z"), "z(t:x),b");
    EXPECT_EQ(set("a,b", -1, KFNP_FNL_FILENAME, 0, "z"), "a,z");
    // Past the end appends; NULL removes the item with one comma.
    EXPECT_EQ(set("a,b", 2, KFNP_FNL_FILENAME, 0, "c"), "a,b,c");
    EXPECT_EQ(set("a,b", 9, KFNP_FNL_FILENAME, 0, "c"), "a,b,c");
    EXPECT_EQ(set("a(:x),b,c", 0, KFNP_FNL_FILENAME, 0, nullptr), "b,c");
    EXPECT_EQ(set("a,b(:x),c", 1, KFNP_FNL_FILENAME, 0, nullptr), "a,c");
    EXPECT_EQ(set("a,b,c(:x)", 2, KFNP_FNL_FILENAME, 0, nullptr), "a,b");
    EXPECT_EQ(set("a(:x)", 0, KFNP_FNL_FILENAME, 0, nullptr), "");
    EXPECT_EQ(set("a", 3, KFNP_FNL_FILENAME, 0, nullptr), "a");
    EXPECT_EQ(set("a,b", -3, KFNP_FNL_FILENAME, 0, "c"),
              "(NULL) <FileNodeListItem> -3 does not exist");
    // Results that would not parse are refused.
    EXPECT_EQ(set("a,b", 0, KFNP_FNL_FILENAME, 0, ""),
              "(NULL) FileNodeListParse failed | Illegal character, ,, at position 0");
    // A "/" in front of the "(" gets protected.
    EXPECT_EQ(set("a(:x)", 0, KFNP_FNL_FILENAME, 0, "dir/"), "dir\\/(:x)");
    EXPECT_EQ(set("a\\\\/", 0, KFNP_FNL_TITLE, 0, "T"), "a\\\\\\/(T)");
    EXPECT_EQ(set("a\\/", 0, KFNP_FNL_NODEPATH, 0, ":n"), "a\\/(:n)");
    EXPECT_EQ(set("a", 0, KFNP_FNL_FILENAME, 0, "tab\there"),
              "(NULL) FileNodeListParse failed | Parse error; character 3 is illegal");
}

TEST(FileNodeList, SetTitlesAndNodePaths) {
    EXPECT_EQ(set("f", 0, KFNP_FNL_TITLE, 0, "My:Title)"), "f(My\\:Title\\))");
    EXPECT_EQ(set("f(Old:a),g", 0, KFNP_FNL_TITLE, 0, "New"), "f(New:a),g");
    EXPECT_EQ(set("f(Old:a)", 0, KFNP_FNL_TITLE, 0, nullptr), "f(:a)");
    EXPECT_EQ(set("f(Old)", 0, KFNP_FNL_TITLE, 0, ""), "f");

    EXPECT_EQ(set("f", 0, KFNP_FNL_NODEPATH, 0, ":a,b:c)"), "f(:a\\,b:c\\))");
    EXPECT_EQ(set("f(T:a,:b)", 0, KFNP_FNL_NODEPATH, 1, ":x"), "f(T:a,:x)");
    EXPECT_EQ(set("f(T:a,:b)", 0, KFNP_FNL_NODEPATH, -2, ":x"), "f(T:x,:b)");
    EXPECT_EQ(set("f(T:a,:b)", 0, KFNP_FNL_NODEPATH, 2, ":x"), "f(T:a,:b,:x)");
    EXPECT_EQ(set("f(T:a,:b)", 0, KFNP_FNL_NODEPATH, -3, ":x"), "f(T:x,:a,:b)");
    EXPECT_EQ(set("f(T:a,:b)", 0, KFNP_FNL_NODEPATH, 0, nullptr), "f(T:b)");
    EXPECT_EQ(set("f(:a)", 0, KFNP_FNL_NODEPATH, 0, nullptr), "f");
    EXPECT_EQ(set("f(:a)", 0, KFNP_FNL_NODEPATH, 5, nullptr), "f(:a)");
    // Node paths keep their own protection; list separators get one.
    EXPECT_EQ(set("f", 0, KFNP_FNL_NODEPATH, 0, ":a\\:b\\,c"), "f(:a\\:b\\,c)");

    EXPECT_EQ(set("f", 1, KFNP_FNL_TITLE, 0, "T"),
              "(NULL) Cannot modify title of non-existent <FileNodeListItem>");
    EXPECT_EQ(set("f", -2, KFNP_FNL_NODEPATH, 0, ":a"),
              "(NULL) Cannot modify a <NodePath> of a non-existent <FileNodeListItem>");
    EXPECT_EQ(set("f", 0, KFNP_FNL_NODEPATH, 0, "a:b"),
              "(NULL) <NodePath> is not a <FullNodePath>");
    EXPECT_EQ(set("f", 0, KFNP_FNL_NODEPATH, 0, ""), "(NULL) <NodePath> is not a <FullNodePath>");
    EXPECT_EQ(
        set("f", 0, KFNP_FNL_NODEPATH, 0, ":a\\"),
        "(NULL) NodePathParse failed | Parse error; <NodePath> should not end with protection");
    EXPECT_EQ(set("", 0, KFNP_FNL_TITLE, 0, "T"),
              "(NULL) FileNodeListParse failed | Illegal character, (, at position 0");
}

TEST(FileNodeList, CreateFileNodeNames) {
    ktest::Err err;
    EXPECT_EQ(take(kfnp_FileNodeCreate("/d/f.img", nullptr, ":Layer_1", &err)),
              "/d/f.img(:Layer_1)");
    EXPECT_EQ(take(kfnp_FileNodeCreate("f.img", "My Title", ":a:b", &err)), "f.img(My Title:a:b)");
    EXPECT_EQ(take(kfnp_FileNodeCreate("f.img", "", "", &err)), "f.img");
    EXPECT_EQ(take(kfnp_FileNodeCreate("a,b(c)", "t:u", ":n,1", &err)), "a\\,b\\(c)(t\\:u:n\\,1)");
    EXPECT_FALSE(err);
    // Create -> parse gives the parts back.
    EXPECT_EQ(parse("a\\,b\\(c)(t\\:u:n\\,1)"),
              (std::vector<Item>{{"a,b(c)", true, "t:u", {":n,1"}}}));

    refused(err, kfnp_FileNodeCreate("f.img", nullptr, "Layer_1", &err) == nullptr,
            "Unable to set node for file node | <NodePath> is not a <FullNodePath>");
    EXPECT_EQ(take(kfnp_FileNodeCreate("dir/", nullptr, ":a", &err)), "dir\\/(:a)");
    EXPECT_EQ(parse("dir\\/(:a)"), (std::vector<Item>{{"dir/", false, "", {":a"}}}));
    EXPECT_EQ(kfnp_FileNodeCreate("f", nullptr, ":a\\", &err), nullptr);
    EXPECT_TRUE(startsWith(ktest::messages(err.r),
                           "Unable to set node for file node | NodePathParse failed | "));
    EXPECT_EQ(kfnp_FileNodeCreate("", "T", nullptr, &err), nullptr);
    EXPECT_TRUE(
        startsWith(ktest::messages(err.r),
                   "Unable to compose file name for file node | FileNodeListParse failed | "));
    refused(err, kfnp_FileNodeCreate(nullptr, nullptr, ":a", &err) == nullptr,
            "Unable to compose file name for file node");
}

TEST(FileNodeList, OutOfMemoryLeavesNothingBehind) {
    const char *list = "f\\(1\\)(T\\:x:a\\,b,:c),g(:d)";
    EXPECT_GT(ktest::runMaking([&](auto err) { return kfnp_FileNodeListParse(list, err); },
                               kfnp_FreeNodeList),
              5);
    Kfnp_FileNodeList *l = kfnp_FileNodeListParse(list, nullptr);
    ASSERT_NE(l, nullptr);
    EXPECT_GT(
        ktest::runMaking([&](auto err) { return kfnp_FileNodeListCompose(l, err); }, kmsc_HeapFree),
        3);
    kfnp_FreeNodeList(l);
    EXPECT_GT(ktest::runMaking(
                  [&](auto err) { return kfnp_FileNodeListGet(list, 0, KFNP_FNL_ITEM, 0, err); },
                  kmsc_HeapFree),
              2);
    EXPECT_GT(ktest::runMaking([&](auto err) { return kfnp_FileNodeCreate("f", "t", ":a,b", err); },
                               kmsc_HeapFree),
              3);
}

TEST(FileNodeList, ParsesConcurrently) {
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &ok] {
            for (int i = 0; i < 500; ++i) {
                std::string name = "f" + std::to_string(t * 1000 + i);
                char *s = kfnp_FileNodeCreate(name.c_str(), "t", ":a:b", nullptr);
                char *back =
                    s ? kfnp_FileNodeListGet(s, 0, KFNP_FNL_FILENAME, 0, nullptr) : nullptr;
                if (back && name == back) ++ok[t];
                kmsc_HeapFree(back);
                kmsc_HeapFree(s);
            }
        });
    for (auto &th : threads) th.join();
    for (int n : ok) EXPECT_EQ(n, 500);
}

}  // namespace
