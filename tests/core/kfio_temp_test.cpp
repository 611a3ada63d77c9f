#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

// The last n digits of the process id, zero-padded.
std::string pidDigits(size_t n) {
    std::string s = std::to_string(getpid());
    if (s.size() < n) s.insert(0, n - s.size(), '0');
    return s.substr(s.size() - n);
}

std::string makeTemp(const std::string &pathTemplate) {
    std::string buffer = pathTemplate;
    char *r = kfio_MakeTemp(buffer.data());
    if (!r) return "(null)";
    EXPECT_EQ(r, buffer.data());  // modified in place
    return buffer;
}

TEST(KfioMakeTemp, ProcessDigitsThenLettersWithCarry) {
    ktest::TempDir dir;
    const std::string base = dir.file("f");
    const std::string pid6 = pidDigits(6);
    EXPECT_EQ(makeTemp(base + "XXXXXX"), base + pid6);
    EXPECT_EQ(makeTemp(base + "xxXXxx"), base + pid6);
    // Only the trailing run is replaced.
    EXPECT_EQ(makeTemp(base + "X.XX"), base + "X." + pidDigits(2));

    // Collisions advance the first replaced character: digit -> a -> b ...
    ktest::writeFile(base + pid6, "");
    const std::string rest = pid6.substr(1);
    EXPECT_EQ(makeTemp(base + "XXXXXX"), base + "a" + rest);
    mkdir((base + "a" + rest).c_str(), 0755);  // a directory counts too
    EXPECT_EQ(makeTemp(base + "XXXXXX"), base + "b" + rest);

    // Past "z" the first character wraps to "a" and carries into the next.
    const std::string two = base + "2";
    const std::string d2 = pidDigits(2);
    ktest::writeFile(two + d2, "");
    for (char c = 'a'; c <= 'z'; ++c) ktest::writeFile(two + c + d2.substr(1), "");
    EXPECT_EQ(makeTemp(two + "XX"), two + "aa");
    // One replaced character with every name taken: no name.
    const std::string one = base + "1";
    ktest::writeFile(one + pidDigits(1), "");
    for (char c = 'a'; c <= 'z'; ++c) ktest::writeFile(one + c, "");
    EXPECT_EQ(makeTemp(one + "X"), "(null)");

    // No X's: the name itself, or nothing when it exists.
    EXPECT_EQ(makeTemp(base + "plain"), base + "plain");
    EXPECT_EQ(makeTemp(base + pid6), "(null)");
    // The directory part must exist; in the root directory it is "/" itself.
    EXPECT_EQ(makeTemp(dir.file("nodir/fXXXX")), "(null)");
    EXPECT_EQ(makeTemp("/kfio_tmp" + std::string(6, 'X')), "/kfio_tmp" + pid6);
    EXPECT_EQ(kfio_MakeTemp(nullptr), nullptr);
}

TEST(KfioTempName, JoinsDirectoryPrefixAndTemplate) {
    ktest::TempDir dir;
    ktest::Err e;
    const std::string pid6 = pidDigits(6);
    auto name = [&](const char *d, const char *prefix) {
        char *n = kfio_TempName(d, prefix, &e);
        std::string s = n ? n : "(null)";
        kmsc_HeapFree(n);
        return s;
    };
    EXPECT_EQ(name(dir.path().c_str(), "img"), dir.path() + "/img" + pid6);
    EXPECT_EQ(name(dir.path().c_str(), nullptr), dir.path() + "/tmp." + pid6);
    EXPECT_EQ(name(dir.path().c_str(), ""), dir.path() + "/tmp." + pid6);
    EXPECT_EQ(name((dir.path() + "/").c_str(), "p"), dir.path() + "/p" + pid6);
    mkdir(dir.file("sub").c_str(), 0755);
    EXPECT_EQ(name(dir.path().c_str(), "/sub/q"), dir.path() + "/sub/q" + pid6);
    EXPECT_FALSE(e);
    EXPECT_EQ(name(dir.file("missing").c_str(), "p"), "(null)");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_TempName", 4));
}

TEST(KfioTemporaryDirectory, PerThreadAndChecked) {
    ktest::TempDir first, second;
    setenv("ORVEL_TMPDIR", first.path().c_str(), 1);
    ktest::Err e;
    const char *d = kfio_DirectoryGetTemporary(&e);
    ASSERT_NE(d, nullptr) << ktest::messages(e.r);
    EXPECT_EQ(std::string(d), first.path());
    // Remembered for this thread: the environment is read once.
    setenv("ORVEL_TMPDIR", second.path().c_str(), 1);
    EXPECT_EQ(kfio_DirectoryGetTemporary(nullptr), d);
    // Another thread reads it afresh; its setting does not leak back.
    std::string other;
    std::thread([&] {
        const char *t = kfio_DirectoryGetTemporary(nullptr);
        other = t ? t : "(null)";
        EXPECT_EQ(kfio_DirectorySetTemporary(first.path().c_str(), nullptr), 0);
    }).join();
    EXPECT_EQ(other, second.path());
    EXPECT_EQ(std::string(kfio_DirectoryGetTemporary(nullptr)), first.path());

    // Setting checks the directory.
    refused(e, kfio_DirectorySetTemporary(first.file("none").c_str(), &e) == -1,
            first.file("none") + ": no such directory");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_DirectorySetTemporary", 4419));
    e.reset();
    ktest::writeFile(first.file("plain"), "");
    EXPECT_EQ(kfio_DirectorySetTemporary(first.file("plain").c_str(), &e), -1);
    EXPECT_EQ(kfio_DirectorySetTemporary(second.path().c_str(), &e), 0);
    EXPECT_EQ(std::string(kfio_DirectoryGetTemporary(nullptr)), second.path());
    EXPECT_EQ(ktest::take(kfio_TempNameInTmpdir("t", &e)), second.path() + "/t" + pidDigits(6));

    // A thread whose variables name a missing directory gets a report.
    setenv("ORVEL_TMPDIR", first.file("gone").c_str(), 1);
    std::thread([&] {
        ktest::Err te;
        EXPECT_EQ(kfio_DirectoryGetTemporary(&te), nullptr);
        EXPECT_TRUE(ktest::hasCode(te.r, "kfio_DirectoryGetTemporary", 4419));
        EXPECT_EQ(kfio_TmpFile(&te), nullptr);
        EXPECT_TRUE(ktest::hasCode(te.r, "kfio_TmpFile", 1)) << ktest::messages(te.r);
        EXPECT_EQ(kfio_TmpName(&te), nullptr);
        EXPECT_TRUE(ktest::hasCode(te.r, "kfio_TmpName", 1)) << ktest::messages(te.r);
    }).join();
    unsetenv("ORVEL_TMPDIR");
}

TEST(KfioTemporaryFiles, TmpFileVanishesAndTmpNameReserves) {
    ktest::TempDir dir;
    ASSERT_EQ(kfio_DirectorySetTemporary(dir.path().c_str(), nullptr), 0);
    ktest::Err e;
    Kfio_Fd *fd = kfio_TmpFile(&e);
    ASSERT_NE(fd, nullptr) << ktest::messages(e.r);
    EXPECT_STREQ(fd->mode, "rw");
    EXPECT_EQ(std::string(fd->path).rfind(dir.path() + "/tmp", 0), 0u);
    // Already unlinked, yet it holds what is written.
    const std::string text(30000, 'k');
    std::string back(text.size(), '\0');
    EXPECT_EQ((ktest::Ints{fd->writeAccess, kfio_FileExists(fd->path, nullptr),
                           kfio_WriteSeq(fd, text.data(), text.size(), nullptr),
                           kfio_ReadDirect(fd, 0, back.data(), back.size(), nullptr),
                           kfio_Close(fd, nullptr)}),
              (ktest::Ints{1, 0, 30000, 30000, 0}));
    EXPECT_EQ(back, text);

    char *a = kfio_TmpName(&e);
    char *b = kfio_TmpName(&e);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STRNE(a, b);
    EXPECT_TRUE(kfio_FileExists(a, nullptr));
    EXPECT_EQ(std::string(a).rfind(dir.path() + "/tmp", 0), 0u);
    kmsc_HeapFree(a);
    kmsc_HeapFree(b);
}

}  // namespace
