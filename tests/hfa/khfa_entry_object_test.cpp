// Objects stored in entries, corrupt trees, and random tree edits checked
// against an in-memory model.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hfa/hfa_tree_util.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

struct Rec {
    int32_t a;
    double v[3];
    int32_t count;
    char *text;
};

class HfaObject : public HfaTest {
  protected:
    void SetUp() override {
        HfaTest::SetUp();
        f = create(path());
        ASSERT_NE(f, nullptr);
        ktest::Err err;
        design = kmif_DesignCreate(khfa_FileDictionary(f), "Tst_Rec", KMIF_TYPE_S32, "a",
                                   KMIF_TYPE_F64 | KMIF_FLAG_COUNT, "v", 3,
                                   KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER, "text", 0, &err);
        ASSERT_NE(design, nullptr) << ktest::messages(err.r);
        ASSERT_EQ(design->hostSize, static_cast<int32_t>(sizeof(Rec)));
    }
    void TearDown() override {
        if (f) close(f);
    }
    // Position of the current entry's data.
    uint32_t dataPos(const char *p) {
        Khfa_Entry *e = khfa_EntrySeek(f, KHFA_SEEK_PATH, p, nullptr);
        return e ? e->data : 0;
    }
    Khfa_File *f = nullptr;
    Kmif_Design *design = nullptr;
};

TEST_F(HfaObject, WriteReadRewriteDeleteCopyList) {
    ktest::Err err;
    std::string text(200, 'x');
    Rec r{7, {1.5, -2, 3}, static_cast<int32_t>(text.size() + 1), text.data()};
    ASSERT_EQ(khfa_ObjectWrite(f, ":", "obj", "Tst_Rec", KHFA_WRITE_LAST_CHILD, &r, design, &err),
              0)
        << ktest::messages(err.r);
    const uint32_t first = dataPos(":obj");
    ASSERT_NE(first, 0u);
    // Smaller keeps the block, larger moves the object.
    std::string small = "short", big(500, 'y');
    for (Rec rewrite : {Rec{8, {0, 0, 0}, 6, small.data()}, Rec{9, {4, 5, 6}, 501, big.data()}}) {
        ASSERT_EQ(khfa_ObjectWrite(f, ":obj", nullptr, nullptr, KHFA_WRITE_CURRENT, &rewrite,
                                   design, &err),
                  0)
            << ktest::messages(err.r);
        EXPECT_EQ(dataPos(":obj") == first, rewrite.a == 8);
    }
    close(f);
    f = khfa_FileOpen(path().c_str(), "r+", nullptr, &err);
    ASSERT_NE(f, nullptr) << ktest::messages(err.r);
    const Kmif_Design *d = kmif_FindDesignByName(khfa_FileDictionary(f), "Tst_Rec", &err);
    ASSERT_NE(d, nullptr);
    void *back = nullptr;
    ASSERT_EQ(khfa_ObjectRead(f, nullptr, ":obj", KHFA_SEEK_PATH, &back, d, &err), 0)
        << ktest::messages(err.r);
    const Rec *got = static_cast<const Rec *>(back);
    EXPECT_EQ((ktest::Reals{1.0 * got->a, got->v[2]}), (ktest::Reals{9, 6}));
    EXPECT_EQ(std::string(got->text), big);
    kmif_ObjectFree(&back, d, nullptr);
    // Missing entries.
    EXPECT_EQ(khfa_ObjectRead(f, ":", "nope", KHFA_SEEK_CHILD_BY_NAME, &back, d, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "Object read failure!"));
    EXPECT_EQ(khfa_ObjectReadIfPresent(f, ":nope", nullptr, 0, &back, d, &err), 0);
    EXPECT_FALSE(err);
    EXPECT_EQ(khfa_ObjectReadIfPresent(f, ":obj", nullptr, 0, nullptr, d, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "NULL kmifobjectin parameter"));
    void *raw = nullptr;
    int32_t size = 0;
    ASSERT_EQ(khfa_ObjectDataReadIfPresent(f, ":obj", nullptr, 0, &raw, &size, &err), 1);
    EXPECT_EQ(size, 4 + 24 + 8 + 501);
    kmsc_HeapFree(raw);
    // Copy within the file and list by type.
    ASSERT_EQ(khfa_ObjectCopy(f, ":obj", f, ":", "copy", KHFA_WRITE_LAST_CHILD, nullptr, &err), 0)
        << ktest::messages(err.r);
    ASSERT_EQ(khfa_ObjectRead(f, ":copy", nullptr, 0, &back, d, &err), 0);
    EXPECT_EQ(std::string(static_cast<Rec *>(back)->text), big);
    kmif_ObjectFree(&back, d, nullptr);
    const intptr_t opts[] = {9, 0};
    EXPECT_EQ(khfa_ObjectCopy(f, ":obj", f, ":", "c2", 4, opts, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "does not yet support options"));
    for (bool badSource : {true, false}) {
        err.reset();
        refused(err, khfa_ObjectCopy(badSource ? nullptr : f, ":obj", badSource ? f : nullptr, ":",
                                     "c3", KHFA_WRITE_LAST_CHILD, nullptr, &err) == -1);
    }
    ASSERT_EQ(
        khfa_ObjectDataWrite(f, ":copy", "inner", "Other", KHFA_WRITE_LAST_CHILD, "ab", 2, &err),
        0);
    EXPECT_EQ(listed(khfa_ObjectList(f, ":", nullptr, "Tst_Rec", &err)),
              (std::vector<std::string>{":obj", ":copy"}));
    EXPECT_EQ(listed(khfa_ObjectList(f, ":copy", nullptr, nullptr, &err)),
              (std::vector<std::string>{":copy:inner"}));
    EXPECT_EQ(khfa_ObjectList(f, ":zz", nullptr, nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "Could not find starting node \":zz\""));
    // The listing shows every value.
    const std::string listing =
        ktest::printed([&](FILE *out) { return khfa_ListFile(f, nullptr, out, &err); });
    ASSERT_FALSE(listing.empty()) << ktest::messages(err.r);
    // Children of the root are indented by two spaces.
    for (const char *part : {"\n  obj (last modified ", "(Tst_Rec Object)", "a[0] = 9\n",
                             "v[2] = 6.000000\n", "text[0] = \"yyy"})
        EXPECT_TRUE(ktest::contains(listing, part));
    EXPECT_EQ(khfa_ListFile(f, ":zz", nullptr, &err), -1);
    EXPECT_TRUE(ktest::says(err.r, "Could not find starting node \":zz\""));
    refused(err, khfa_ListFile(nullptr, nullptr, nullptr, &err) == -1);
    // Delete through the object interface.
    ASSERT_EQ(khfa_ObjectDelete(f, ":copy", nullptr, 0, &err), 0) << ktest::messages(err.r);
    refusedWith(err, khfa_ObjectDelete(f, ":copy", nullptr, 0, &err) == -1, "ObjectSeek failure!");
}

// Corrupt links end walks with warnings, never loop.
TEST_F(HfaObject, CorruptTreesAreWalkedSafely) {
    for (const char *n : {"a", "b", "c"}) write(f, KHFA_WRITE_LAST_CHILD, n);
    // :a:b:c, plus siblings :a:b2 and :a:b3.
    ASSERT_TRUE(seekTo(f, ":a:b"));
    write(f, KHFA_WRITE_NEXT, "b2");
    write(f, KHFA_WRITE_NEXT, "b3");
    const uint32_t root = 82;
    close(f);
    f = nullptr;
    const std::string good = ktest::readFile(path());
    const uint32_t a = le32(good, root + 12), b = le32(good, a + 12);
    const uint32_t b2 = le32(good, b), b3 = le32(good, b2), c = le32(good, b + 12);
    struct Case {
        const char *what;
        std::function<void(std::string &)> patch;
        const char *warning;
    } cases[] = {
        {"sibling loop", [&](std::string &s) { put32(s, b3, b); }, "Corrupt sibling entry (b)"},
        {"sibling loop to self", [&](std::string &s) { put32(s, b2, b2); },
         "Corrupt sibling entry (b2)"},
        {"child loop", [&](std::string &s) { put32(s, c + 12, a); }, "Corrupt child entry (a)"},
        {"parent mismatch", [&](std::string &s) { put32(s, b + 8, root); },
         "Corrupt child entry (b)"},
        {"root below its own grandchild",
         [&](std::string &s) {
             put32(s, c + 12, root);
             put32(s, root + 8, c);
         },
         "Corrupt child entry (root)"},
        {"root as a sibling",
         [&](std::string &s) {
             put32(s, b3, root);
             put32(s, root + 4, b3);
             put32(s, root + 8, a);
         },
         "Corrupt sibling entry (root)"},
        {"name without NUL", [&](std::string &s) { s.replace(c + 24, 64, std::string(64, 'z')); },
         nullptr},
        {"link past the end", [&](std::string &s) { put32(s, b3, 0x7FFFFF00); }, nullptr},
    };
    for (const Case &k : cases) {
        std::string bytes = good;
        k.patch(bytes);
        const std::string name = path("corrupt.hfa");
        ktest::writeFile(name, bytes);
        ktest::Err err;
        Khfa_File *g = khfa_FileOpen(name.c_str(), "r", nullptr, &err);
        ASSERT_NE(g, nullptr) << k.what << ktest::messages(err.r);
        testing::internal::CaptureStderr();
        int steps = 0;
        khfa_EntrySeek(g, KHFA_SEEK_ROOT, nullptr, &err);
        while (steps < 1000 && khfa_EntrySeek(g, KHFA_SEEK_NEXT_IN_TREE, nullptr, &err)) ++steps;
        FILE *out = tmpfile();
        khfa_ListFile(g, nullptr, out, &err);
        fclose(out);
        kstr_StringListFree(khfa_ObjectList(g, ":", nullptr, nullptr, &err));
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_LT(steps, 10) << k.what;
        EXPECT_TRUE(!k.warning || ktest::contains(printed, k.warning)) << k.what << printed;
        khfa_FileClose(g, nullptr);
    }
    // A root that cannot be read ends the open.
    std::string bytes = good;
    put32(bytes, 64 + 8, 0x7FFFFF00);
    ktest::writeFile(path("noroot.hfa"), bytes);
    ktest::Err err;
    EXPECT_EQ(khfa_FileOpen(path("noroot.hfa").c_str(), "r", nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "Corrupt root entry detected...cannot continue"))
        << ktest::messages(err.r);
}

// Random edits against a model; the file is reopened and compared whole.
struct Node {
    std::string name, type, data;
    std::vector<Node> kids;
};

void flatten(const Node &n, const std::string &p, std::vector<std::string> &out) {
    for (const Node &k : n.kids) {
        const std::string kp = p + ":" + k.name;
        out.push_back(kp + " " + k.type + " " + std::to_string(k.data.size()));
        flatten(k, kp, out);
    }
}

void collect(Node &n, const std::string &p, std::vector<std::pair<std::string, Node *>> &out) {
    out.emplace_back(p.empty() ? ":" : p, &n);
    for (Node &k : n.kids) collect(k, p + ":" + k.name, out);
}

TEST_F(HfaObject, RandomEditsMatchTheModel) {
    std::mt19937 rng(12345);
    Node model;
    int counter = 0;
    ktest::Err err;
    for (int round = 0; round < 400; ++round) {
        std::vector<std::pair<std::string, Node *>> all;
        collect(model, "", all);
        auto &[p, node] = all[rng() % all.size()];
        const std::string target = p;
        const std::string name = "n" + std::to_string(counter++);
        const int op = static_cast<int>(rng() % 10);
        if (op < 4 || node == &model) {  // new child, first or last
            const int mode = op % 2 ? KHFA_WRITE_FIRST_CHILD : KHFA_WRITE_LAST_CHILD;
            ASSERT_TRUE(seekTo(f, target.c_str())) << target;
            write(f, mode, name.c_str(), "t");
            Node k{name, "t", "", {}};
            if (mode == KHFA_WRITE_FIRST_CHILD)
                node->kids.insert(node->kids.begin(), k);
            else
                node->kids.push_back(k);
            continue;
        }
        // Parent of node in the model.
        const std::string parentPath = target.substr(0, target.rfind(':'));
        Node *parent = &model;
        for (auto &[q, n] : all)
            if (q == (parentPath.empty() ? ":" : parentPath)) parent = n;
        size_t idx = 0;
        while (&parent->kids[idx] != node) ++idx;
        if (op < 6) {  // sibling before or after
            const int mode = op == 4 ? KHFA_WRITE_NEXT : KHFA_WRITE_PREV;
            ASSERT_TRUE(seekTo(f, target.c_str()));
            write(f, mode, name.c_str(), "s");
            parent->kids.insert(parent->kids.begin() + static_cast<long>(idx + (op == 4)),
                                Node{name, "s", "", {}});
        } else if (op == 6) {  // data of random length
            const std::string data(rng() % 300, static_cast<char>('a' + rng() % 26));
            ASSERT_EQ(khfa_ObjectDataWrite(f, target.c_str(), nullptr, "d", KHFA_WRITE_CURRENT,
                                           data.data(), static_cast<int32_t>(data.size()), &err),
                      0)
                << ktest::messages(err.r);
            node->type = "d";
            node->data = data;
        } else if (op == 7) {  // delete
            ASSERT_TRUE(seekTo(f, target.c_str()));
            ASSERT_EQ(khfa_EntryDelete(f, &err), 0) << ktest::messages(err.r);
            parent->kids.erase(parent->kids.begin() + static_cast<long>(idx));
        } else {  // move below a random entry outside the subtree
            const auto &[dst, dnode] = all[rng() % all.size()];
            const bool inside = (dst + ":").rfind(target + ":", 0) == 0;
            const std::string to = (dst == ":" ? "" : dst) + ":" + name;
            const int rc = khfa_EntryMove(f, target.c_str(), to.c_str(), &err);
            ASSERT_EQ(rc, inside ? -1 : 0) << target << " -> " << to << ktest::messages(err.r);
            if (inside) continue;
            Node moved = *node;
            moved.name = name;
            Node *d = dnode;
            parent->kids.erase(parent->kids.begin() + static_cast<long>(idx));
            // The destination pointer may have moved with the erase: find it again.
            std::vector<std::pair<std::string, Node *>> again;
            collect(model, "", again);
            for (auto &[q, n] : again)
                if (q == dst) d = n;
            d->kids.push_back(moved);
        }
    }
    std::vector<std::string> expect;
    flatten(model, "", expect);
    ASSERT_GT(expect.size(), 20u);
    // The library's own view, then the bytes of the reopened file.
    std::vector<std::string> paths;
    for (const std::string &e : expect) paths.push_back(e.substr(0, e.find(' ')));
    EXPECT_EQ(listed(khfa_ObjectList(f, ":", nullptr, nullptr, &err)), paths);
    close(f);
    f = khfa_FileOpen(path().c_str(), "r", nullptr, &err);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(diskTree(ktest::readFile(path())), expect);
    std::vector<std::pair<std::string, Node *>> all;
    collect(model, "", all);
    for (auto &[p, n] : all) {
        if (n->data.empty()) continue;
        void *raw = nullptr;
        int32_t size = 0;
        ASSERT_EQ(khfa_ObjectDataReadIfPresent(f, p.c_str(), nullptr, 0, &raw, &size, &err), 1);
        EXPECT_EQ(std::string(static_cast<char *>(raw), static_cast<size_t>(size)), n->data) << p;
        kmsc_HeapFree(raw);
    }
}

}  // namespace
