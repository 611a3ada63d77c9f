#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/ktest.hpp"

namespace {

std::vector<std::string> directories(const Kfio_SearchList *list) {
    std::vector<std::string> v;
    for (; list; list = list->next) v.emplace_back(list->directory);
    return v;
}

// Restores the working directory at the end of a test.
struct CwdGuard {
    std::string old;
    CwdGuard() {
        char *d = kfio_CurrentDirName(nullptr);
        old = d ? d : "/";
        kmsc_HeapFree(d);
    }
    ~CwdGuard() { EXPECT_EQ(chdir(old.c_str()), 0); }
};

TEST(KfioSearchList, BuildCopyRemove) {
    setenv("KFIO_SL_ROOT", "/opt/k", 1);
    unsetenv("KFIO_SL_UNSET");
    ktest::Err e;
    Kfio_SearchList *list =
        kfio_CreateSLFromString(nullptr, "$KFIO_SL_ROOT/a;;${KFIO_SL_ROOT}/b/;/;rel//", &e);
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(e);
    EXPECT_EQ(directories(list), (std::vector<std::string>{"/opt/k/a", "/opt/k/b", "/", "rel"}));
    // Appends to the end; the variable's default when it is not set.
    list = kfio_CreateSLFromEnv(list, "KFIO_SL_UNSET", "/d1;/d2", &e);
    list = kfio_CreateSLFromEnv(list, "KFIO_SL_ROOT", "/never", &e);
    EXPECT_EQ(directories(list), (std::vector<std::string>{"/opt/k/a", "/opt/k/b", "/", "rel",
                                                           "/d1", "/d2", "/opt/k"}));
    EXPECT_EQ(kfio_CreateSLFromString(nullptr, ";;", &e), nullptr);
    EXPECT_FALSE(e);

    Kfio_SearchList *copy = kfio_CreateSLFromSL(list, &e);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(directories(copy), directories(list));
    EXPECT_NE(copy->directory, list->directory);
    copy = kfio_SLRemovePath(copy, "$KFIO_SL_ROOT/a/");
    copy = kfio_SLRemovePath(copy, "/d2");
    copy = kfio_SLRemovePath(copy, "/not-there");
    EXPECT_EQ(directories(copy),
              (std::vector<std::string>{"/opt/k/b", "/", "rel", "/d1", "/opt/k"}));
    kfio_FreeSL(copy);
    kfio_FreeSL(list);
    kfio_FreeSL(nullptr);

    // Out of memory part way leaves the caller's list alone.
    Kfio_SearchList *base = kfio_CreateSLFromString(nullptr, "/keep", nullptr);
    ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            Kfio_SearchList *r = kfio_CreateSLFromString(base, "/x;/y;/z", err);
            if (!r) {
                EXPECT_EQ(directories(base), std::vector<std::string>{"/keep"});
                return false;
            }
            EXPECT_EQ(directories(r), (std::vector<std::string>{"/keep", "/x", "/y", "/z"}));
            return true;
        },
        [&] {
            kfio_FreeSL(base->next);
            base->next = nullptr;
        });
    kfio_FreeSL(base);
}

TEST(KfioWhich, FilesFirstThenTheListInOrder) {
    ktest::TempDir dir;
    CwdGuard cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    mkdir("one", 0755);
    mkdir("two", 0755);
    mkdir("two/data", 0755);
    mkdir("data", 0755);  // a directory in the current directory
    ktest::writeFile("local.txt", "x");
    ktest::writeFile("one/local.txt", "x");
    ktest::writeFile("two/file.txt", "x");
    ktest::writeFile("one/file.txt", "x");

    const std::string one = dir.file("one"), two = dir.file("two");
    Kfio_SearchList *list = kfio_CreateSLFromString(nullptr, (one + ";" + two).c_str(), nullptr);
    ktest::Err e;
    auto which = [&](const char *name) {
        char *found = kfio_Which(list, name, &e);
        std::string s = found ? found : "(none)";
        kmsc_HeapFree(found);
        return s;
    };
    // An existing plain file is taken as it is.
    EXPECT_EQ(which("local.txt"), "local.txt");
    // The first directory of the list that has it.
    EXPECT_EQ(which("file.txt"), one + "/file.txt");
    // A directory by that name here is not returned directly; in the list
    // directories count.
    EXPECT_EQ(which("data"), two + "/data");
    EXPECT_EQ(which("missing"), "(none)");
    EXPECT_FALSE(e);
    setenv("KFIO_WHICH_NAME", "file", 1);
    EXPECT_EQ(which("${KFIO_WHICH_NAME}.txt"), one + "/file.txt");
    EXPECT_EQ(which(""), "(none)");
    EXPECT_EQ(kfio_Which(nullptr, "file.txt", &e), nullptr);

    // A name that cannot be tested stops the search.
    ASSERT_EQ(symlink("loop", "loop"), 0);
    EXPECT_EQ(which("loop/x"), "(none)");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Which", 1453));
    EXPECT_EQ(std::string(e->message), "kfio_FileNameExistAsFileOrDir failed!");
    e.reset();

    // Relative to a directory: the name, then relative list entries under it.
    Kfio_SearchList *rel = kfio_CreateSLFromString(nullptr, "two;/nowhere", nullptr);
    EXPECT_EQ(ktest::take(kfio_WhichRelative(dir.path().c_str(), rel, "file.txt", &e)),
              dir.path() + "/two/file.txt");
    EXPECT_EQ(ktest::take(kfio_WhichRelative(one.c_str(), rel, "local.txt", &e)),
              one + "/local.txt");
    kfio_FreeSL(rel);

    // Find and open.
    char *name = nullptr;
    Kfio_Fd *fd = kfio_SearchListOpen(list, "file.txt", "r", &name, &e);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(std::string(name), one + "/file.txt");
    EXPECT_EQ(kfio_Fgetc(fd, nullptr), 'x');
    kfio_Close(fd, nullptr);
    kmsc_HeapFree(name);
    EXPECT_EQ(kfio_SearchListOpen(list, "missing", "r", &name, &e), nullptr);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(ktest::messages(e.r), "Cannot find missing in the search list");
    e.reset();
    // Found, but a directory cannot be opened.
    EXPECT_EQ(kfio_SearchListOpen(list, "data", "r", nullptr, &e), nullptr);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Open", 1));
    kfio_FreeSL(list);
}

}  // namespace
