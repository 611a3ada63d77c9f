// HFA files: the bytes of a new file, opening and recognising files, shared
// handles and reference counts, options, the change protocol and corrupt
// files.
#include <gtest/gtest.h>

#include <kraster/kraster.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "hfa/hfa_test_util.hpp"
#include "hfa/khfa_internal.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

constexpr size_t kModTime = 82 + 120;  // modTime of the root entry in a new file

std::string golden() {
    return ktest::readFile(std::string(KRASTER_TEST_DATA_DIR) + "/hfa/new_file.hfa");
}

TEST_F(HfaTest, NewFileHasTheFixedLayoutAndReadsBack) {
    const double before =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    Khfa_File *f = create(path());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ((ktest::Ints{khfa_FileReferenceCount(f), khfa_FileIsReadOnly(f), khfa_FileSize(f)}),
              (ktest::Ints{1, 0, 508}));
    close(f);

    // modTime is the creation time; the rest is fixed (ConcurrentCreatesOfOneName
    // compares it with the reference file).
    double modTime = 0;
    std::memcpy(&modTime, ktest::readFile(path()).data() + kModTime, 8);
    EXPECT_GE(modTime, before - 1);
    EXPECT_LE(modTime, before + 60);
    EXPECT_EQ(khfa_IsHFAFile(path().c_str(), nullptr), 1);

    ktest::Err err;
    f = khfa_FileOpen(path().c_str(), "r", nullptr, &err);
    ASSERT_NE(f, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(
        (ktest::Ints{khfa_FileIsReadOnly(f), khfa_FileSize(f), khfa_FileFreeSpaceSize(f, &err)}),
        (ktest::Ints{1, 508, 0}));
    const Kmif_Dictionary *d = khfa_FileDictionary(f);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->modifiedFlag, 0);
    // Flushing a read-only file writes nothing.
    EXPECT_EQ(khfa_FileFlush(f, &err), 0);
    close(f);
    EXPECT_EQ(ktest::readFile(path()).size(), 508u);

    // The file header may sit anywhere headerPtr says; the version is reported.
    std::string bytes = golden();
    bytes.replace(20, 18, bytes.substr(64, 18));
    std::memset(bytes.data() + 64, 0xEE, 18);
    put32(bytes, 16, 20);
    put32(bytes, 20, 7);  // version 7
    ktest::writeFile(path(), bytes);
    EXPECT_EQ(khfa_IsHFAFile(path().c_str(), nullptr), 7);
    f = khfa_FileOpen(path().c_str(), "r+", nullptr, &err);
    ASSERT_NE(f, nullptr) << ktest::messages(err.r);
    // While open, the name answers 1 without reading the file.
    EXPECT_EQ(khfa_IsHFAFile(path().c_str(), nullptr), 1);
    // Allocations rewrite the header where it is.
    uint32_t pos = khfa_NextFreePos(f, 100, &err);
    EXPECT_EQ(pos, 508u);
    EXPECT_EQ(khfa_FreeSpace(f, pos, 100, &err), 0);
    close(f);
    bytes = ktest::readFile(path());
    EXPECT_EQ(le32(bytes, 24), 508u);  // freeList of the header at 20
    EXPECT_EQ(static_cast<unsigned char>(bytes[64]), 0xEE);
}

TEST_F(HfaTest, WhatIsNotAnHfaFile) {
    const std::string good = golden();
    ktest::writeFile(path("short"), good.substr(0, 37));
    EXPECT_EQ(khfa_IsHFAFile(path("short").c_str(), nullptr), 0);
    ktest::Err err;
    EXPECT_EQ(khfa_FileOpen(path("short").c_str(), "r", nullptr, &err), nullptr);
    EXPECT_EQ(ktest::messages(err.r), "File " + path("short") + " is not an KHFA file");

    // Any byte of the label, its NUL included.
    for (size_t i = 0; i < 16; ++i) {
        std::string bad = good;
        bad[i] ^= 0x20;
        ktest::writeFile(path("label"), bad);
        EXPECT_EQ(khfa_IsHFAFile(path("label").c_str(), nullptr), 0) << i;
        EXPECT_EQ(khfa_FileOpen(path("label").c_str(), "r", nullptr, &err), nullptr);
        EXPECT_NE(err.r, nullptr);
    }
    // KHFA_FILE_OPTION_REPORT_NOT_HFA 0: NULL without a report.
    const intptr_t quiet[] = {KHFA_FILE_OPTION_REPORT_NOT_HFA, 0, 0};
    EXPECT_EQ(khfa_FileOpenWithOptions(path("label").c_str(), "r", nullptr, &err, quiet), nullptr);
    EXPECT_EQ(err.r, nullptr);
    EXPECT_EQ(khfa_FileOpenWithOptions(path("short").c_str(), "r", nullptr, &err, quiet), nullptr);
    EXPECT_EQ(err.r, nullptr);

    // A file without a dictionary.
    std::string noDictionary = good;
    put32(noDictionary, 64 + 14, 0);
    ktest::writeFile(path("nodict"), noDictionary);
    EXPECT_EQ(khfa_IsHFAFile(path("nodict").c_str(), nullptr), 0);
    EXPECT_EQ(khfa_FileOpen(path("nodict").c_str(), "r", nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "File does not contain an KMIF dictionary"));

    // A missing file.
    EXPECT_EQ(khfa_FileOpen(path("missing").c_str(), "r", nullptr, &err), nullptr);
    EXPECT_TRUE(ktest::says(err.r, "Error on opening file \"" + path("missing") + "\""));
    EXPECT_EQ(khfa_IsHFAFile(path("missing").c_str(), nullptr), 0);
}

TEST_F(HfaTest, SharedHandlesAreCountedAndBecomeWritableForAllHolders) {
    close(create(path()));
    ktest::Err err;
    Khfa_File *reader = khfa_FileOpen(path().c_str(), "r", nullptr, &err);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(khfa_FileIsOpen(path().c_str(), nullptr, &err), 1);
    // Names are compared as whole strings.
    EXPECT_EQ(khfa_FileIsOpen((path() + "x").c_str(), nullptr, &err), 0);
    // A second reader shares the handle and leaves it read-only.
    Khfa_File *second = khfa_FileOpen(path().c_str(), "r", nullptr, &err);
    EXPECT_EQ(second, reader);
    EXPECT_EQ((ktest::Ints{khfa_FileIsReadOnly(reader), khfa_NextFreePos(reader, 10, &err)}),
              (ktest::Ints{1, 0u}));
    EXPECT_TRUE(ktest::says(err.r, "open for reading only"));
    // A writer whose reopen fails is refused; the handle stays as it was.
    kfio_FaultInject(KFIO_OSCALL_OPEN, 1, EACCES);
    EXPECT_EQ(khfa_FileOpen(path().c_str(), "r+", nullptr, &err), nullptr);
    kfio_FaultInject(KFIO_OSCALL_OPEN, 0, 0);
    EXPECT_TRUE(ktest::says(err.r, "Error on opening file \"" + path() + "\""));
    EXPECT_EQ((ktest::Ints{khfa_FileReferenceCount(reader), khfa_FileIsReadOnly(reader)}),
              (ktest::Ints{2, 1}));
    // A writer makes every holder a writer.
    Khfa_File *writer = khfa_FileOpen(path().c_str(), "r+", nullptr, &err);
    ASSERT_EQ(writer, reader);
    EXPECT_EQ((ktest::Ints{khfa_FileIsReadOnly(reader), khfa_NextFreePos(reader, 10, &err)}),
              (ktest::Ints{0, 508u}));
    // A read-only open of a writable handle keeps it writable.
    Khfa_File *third = khfa_FileOpen(path().c_str(), "rb", nullptr, &err);
    EXPECT_EQ((ktest::Ints{khfa_FileIsReadOnly(third), khfa_FileReferenceCount(reader)}),
              (ktest::Ints{0, 4}));
    for (Khfa_File *h : {third, writer, second}) close(h);
    EXPECT_EQ((ktest::Ints{khfa_FileIsOpen(path().c_str(), nullptr, &err),
                           khfa_FileReferenceCount(reader)}),
              (ktest::Ints{1, 1}));
    close(reader);
    EXPECT_EQ(khfa_FileIsOpen(path().c_str(), nullptr, &err), 0);
    EXPECT_EQ(ktest::readFile(path()).size(), 518u);
    EXPECT_EQ(khfa_FileClose(nullptr, &err), 0);
}

TEST_F(HfaTest, ConcurrentOpensShareOneHandle) {
    close(create(path()));
    constexpr int kThreads = 8;
    constexpr int kRounds = 20;
    std::vector<Khfa_File *> got(kThreads * kRounds, nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                Kerr_ErrorReport *err = nullptr;
                // Readers and writers mixed: the handle ends up writable.
                Khfa_File *f =
                    khfa_FileOpen(path().c_str(), (t + r) % 3 ? "r" : "r+", nullptr, &err);
                if (!f) ++failures;
                kerr_DeleteErrorReport(err);
                got[static_cast<size_t>(t * kRounds + r)] = f;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<Khfa_File *> distinct(got.begin(), got.end());
    ASSERT_EQ(distinct.size(), 1u);
    Khfa_File *f = *distinct.begin();
    EXPECT_EQ((ktest::Ints{khfa_FileReferenceCount(f), khfa_FileIsReadOnly(f)}),
              (ktest::Ints{kThreads * kRounds, 0}));
    // Closing from threads too.
    threads.clear();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) EXPECT_EQ(khfa_FileClose(f, nullptr), 0);
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(khfa_FileIsOpen(path().c_str(), nullptr, nullptr), 0);
}

TEST_F(HfaTest, ConcurrentCreatesOfOneName) {
    constexpr int kThreads = 6;
    std::vector<Khfa_File *> got(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            got[static_cast<size_t>(t)] = khfa_FileCreate(path().c_str(), nullptr, nullptr);
        });
    for (auto &t : threads) t.join();
    std::set<Khfa_File *> distinct(got.begin(), got.end());
    ASSERT_EQ(distinct.size(), 1u);
    ASSERT_NE(*distinct.begin(), nullptr);
    for (Khfa_File *f : got) close(f);
    std::string bytes = ktest::readFile(path());
    std::memset(bytes.data() + kModTime, 0, 8);
    EXPECT_EQ(bytes, golden());
}

TEST_F(HfaTest, PackageStateAndDisable) {
    ktest::Err err;
    EXPECT_EQ(khfa_FileOpen(nullptr, "r", nullptr, &err), nullptr);
    EXPECT_NE(err.r, nullptr);
    // Disabling is for the rest of the process: it runs in a child of its own,
    // which reports each failed check on stderr and exits 1.
    auto disabled = [&] {
        std::string failed;
        auto check = [&](bool ok, const char *what) {
            if (!ok) failed += std::string(what) + "\n";
        };
        Kerr_ErrorReport *e = nullptr;
        Khfa_File *f = create(path());
        check(f != nullptr, "create");
        khfa_Disable();
        check(!khfa_FileCreate(path("other").c_str(), nullptr, &e), "create while disabled");
        check(ktest::messages(e) == "Khfa package is disabled", "create message");
        kerr_DeleteErrorReportEx(&e);
        // A failed create leaves no file.
        check(!std::filesystem::exists(path("other")), "no file left");
        // A name that is open still answers with its handle.
        check(khfa_FileOpen(path().c_str(), "r", nullptr, &e) == f, "open of an open name");
        kerr_DeleteErrorReportEx(&e);
        khfa_FileClose(f, nullptr);
        khfa_FileClose(f, nullptr);
        check(!khfa_FileOpen(path().c_str(), "r", nullptr, &e), "open while disabled");
        check(ktest::messages(e) == "Khfa package is disabled", "open message");
        kerr_DeleteErrorReport(e);
        fputs(failed.c_str(), stderr);
        std::_Exit(failed.empty() ? 0 : 1);
    };
    EXPECT_EXIT(disabled(), testing::ExitedWithCode(0), "");
}

TEST(HfaPackage, WithoutToolkit) {
    if (kint_GetInit()) GTEST_SKIP() << "needs a process of its own";
    ktest::Err err;
    EXPECT_EQ(khfa_FileCreate("/tmp/never-created.hfa", nullptr, &err), nullptr);
    EXPECT_EQ(ktest::messages(err.r), "Kfha package has not been initialized");
    EXPECT_EQ(khfa_FileIsOpen("x", nullptr, &err), -1);
    EXPECT_EQ(ktest::messages(err.r), "Kfha package has not been initialized");
    EXPECT_EQ(
        (ktest::Ints{khfa_FileReinitialize("x", &err), khfa_IsHFAFile("/no/such/file", &err)}),
        (ktest::Ints{-1, 0}));
}

TEST_F(HfaTest, InvalidHandles) {
    ktest::Err err;
    refused(err, khfa_NextFreePos(nullptr, 8, &err) == 0u, "Invalid KHFA file handle");
    refused(err, khfa_FileFlush(nullptr, &err) == -1, "Invalid file handle!");
    EXPECT_EQ(
        (ktest::Ints{khfa_FileFreeSpaceSize(nullptr, &err),
                     khfa_FileMIFDataRead(nullptr, 0, 1, nullptr, &err),
                     khfa_FileChange(nullptr, nullptr, &err), khfa_FileIsNotFlushedOnWrite(nullptr),
                     khfa_FileSize(nullptr), khfa_FileReferenceCount(nullptr)}),
        (ktest::Ints{-1, -1, -1, 0, -1, 0}));
}

TEST_F(HfaTest, IllegalOptionsMappingAndRename) {
    const intptr_t options[] = {KHFA_FILE_OPTION_SEEK_BY_POSITION, 1, 99, 5, 0};
    testing::internal::CaptureStderr();
    ktest::Err err;
    Khfa_File *f = khfa_FileCreateWithOptions(path().c_str(), nullptr, &err, options);
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err.r, nullptr);
    EXPECT_TRUE(ktest::contains(printed, "WARNING NUMBER") &&
                ktest::contains(printed, ">>>Illegal option 99<<<"))
        << printed;
    // khfa_FileChange fails on it.
    refusedWith(err, khfa_FileChange(f, options, &err) == -1, "Illegal option 99");
    // A rename without a name is a warning.
    const intptr_t rename[] = {KHFA_FILE_OPTION_RENAME, 0, 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(khfa_FileChange(f, rename, &err), 0);
    EXPECT_TRUE(ktest::contains(testing::internal::GetCapturedStderr(),
                                "Destination file name not specified for file rename"));
    // Mapping stays off (the file layer maps nothing) and reads keep working.
    const intptr_t map[] = {
        KHFA_FILE_OPTION_MMAP, 1, 0, KHFA_FILE_OPTION_MMAP_EXTENT, 0, 0, 1, 4096, 0, 0};
    EXPECT_EQ(khfa_FileChange(f, map, &err), 0);
    EXPECT_EQ((ktest::Ints{f->mapOn, f->localFileSystem}), (ktest::Ints{1, 1}));
    char label[16];
    EXPECT_EQ(khfa_FileMIFDataRead(f, 0, 16, label, &err), 16);
    EXPECT_STREQ(label, "KHFA_HEADER_TAG");
    // A rename keeps the handle.
    const uint32_t pos = khfa_NextFreePos(f, 16, &err);
    ASSERT_EQ(khfa_FileMIFDataWrite(f, pos, 16, "renamed content", &err), 16);
    const std::string to = path("moved.hfa");
    const intptr_t moveTo[] = {KHFA_FILE_OPTION_RENAME, reinterpret_cast<intptr_t>(to.c_str()), 0};
    ASSERT_EQ(khfa_FileChange(f, moveTo, &err), 0) << ktest::messages(err.r);
    EXPECT_STREQ(khfa_FileName(f), to.c_str());
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_EQ((ktest::Ints{khfa_FileIsOpen(to.c_str(), nullptr, &err),
                           khfa_FileIsOpen(path().c_str(), nullptr, &err)}),
              (ktest::Ints{1, 0}));
    char text[16];
    EXPECT_EQ(khfa_FileMIFDataRead(f, pos, 16, text, &err), 16);
    EXPECT_STREQ(text, "renamed content");
    // Onto a name that is open: refused, nothing moves.
    Khfa_File *other = create(path("other.hfa"));
    const std::string busy = path("other.hfa");
    const intptr_t clash[] = {KHFA_FILE_OPTION_RENAME, reinterpret_cast<intptr_t>(busy.c_str()), 0};
    EXPECT_EQ(khfa_FileChange(f, clash, &err), -1);
    EXPECT_STREQ(khfa_FileName(f), to.c_str());
    close(other);
    close(f);
    EXPECT_EQ(khfa_IsHFAFile(to.c_str(), nullptr), 1);
}

// The change protocol: the callback sees modifications of the outermost
// operation; a stale handle re-reads the file.
std::atomic<int> g_changes{0};
Khfa_File *g_changed = nullptr;
void onChange(Khfa_File *f) {
    ++g_changes;
    g_changed = f;
}

TEST_F(HfaTest, ChangeCallbackAndStates) {
    for (int outside : {0, 1}) {
        khfa_SetFileChangedCallback(onChange, outside);
        g_changes = 0;
        const std::string name = path(outside ? "b.hfa" : "a.hfa");
        Khfa_File *f = create(name);
        ASSERT_NE(f, nullptr);
        // the new file counts as modified
        EXPECT_EQ(g_changed, f);
        EXPECT_EQ((ktest::Ints{g_changes.load(), khfa_FileChangeState(f)}),
                  (ktest::Ints{1, KHFA_CHANGE_IDLE}));
        ktest::Err err;
        // Growing the file is a modification; reusing space is not.
        const uint32_t a = khfa_NextFreePos(f, 64, &err);
        EXPECT_EQ((ktest::Ints{g_changes.load(), khfa_FreeSpace(f, a, 64, &err),
                               khfa_NextFreePos(f, 64, &err), g_changes.load()}),
                  (ktest::Ints{2, 0, a, 2}));
        char buffer[8] = {};
        EXPECT_EQ((ktest::Ints{khfa_FileMIFDataRead(f, 0, 8, buffer, &err), g_changes.load(),
                               khfa_FileFlush(f, &err), g_changes.load(), khfa_FileChangeState(f)}),
                  (ktest::Ints{8, 2, 0, 3, KHFA_CHANGE_IDLE}));
        close(f);
    }
    khfa_SetFileChangedCallback(nullptr, 0);
}

TEST_F(HfaTest, StaleHandleRereadsTheFile) {
    Khfa_File *f = create(path());
    ASSERT_NE(f, nullptr);
    ktest::Err err;
    ASSERT_EQ(khfa_FileFlush(f, &err), 0);
    // Another program grows the file and frees a block at its end.
    std::string bytes = ktest::readFile(path());
    ASSERT_EQ(bytes.size(), 508u);
    bytes.resize(608, '\0');
    put32(bytes, 64 + 4, 508);  // freeList
    put32(bytes, 508, 0);
    put32(bytes, 512, 100);
    ktest::writeFile(path(), bytes);
    EXPECT_EQ(khfa_FileFreeSpaceSize(f, &err), 0);  // not yet told
    ASSERT_EQ(khfa_FileReinitialize(path().c_str(), &err), 0);
    EXPECT_EQ(
        (ktest::Ints{khfa_FileChangeState(f), khfa_FileFreeSpaceSize(f, &err), khfa_FileSize(f),
                     khfa_FileChangeState(f), khfa_NextFreePos(f, 100, &err)}),
        (ktest::Ints{KHFA_CHANGE_STALE, 100, 608, KHFA_CHANGE_IDLE, 508u}));
    EXPECT_EQ(khfa_FileReinitialize(path("not-open").c_str(), &err), 0);
    close(f);
}

TEST_F(HfaTest, DictionaryIsRewrittenInPlaceOrMoved) {
    Khfa_File *f = create(path());
    ASSERT_NE(f, nullptr);
    ktest::Err err;
    Kmif_Dictionary *d = khfa_FileDictionary(f);
    // A design added grows the dictionary: it moves to the end, and its old
    // space becomes free.
    ASSERT_NE(kmif_DesignCreate(d, "Grow", KMIF_TYPE_S32, "value", 0, &err), nullptr);
    ASSERT_EQ(khfa_FileFlush(f, &err), 0) << ktest::messages(err.r);
    std::string bytes = ktest::readFile(path());
    const uint32_t moved = le32(bytes, 64 + 14);
    EXPECT_EQ(moved, 508u);
    const int32_t grown = kmif_DictionaryEncodedLength(d, nullptr);
    EXPECT_EQ(bytes.size(), 508u + static_cast<size_t>(grown));
    DiskList list = readDiskList(bytes);
    ASSERT_TRUE(list.ok);
    EXPECT_EQ(list.blocks, (std::map<uint32_t, int32_t>{{210, 298}}));
    char *text = kmif_DictionaryEncodeToString(d, nullptr);
    EXPECT_EQ(bytes.substr(moved), text);
    kmsc_HeapFree(text);
    close(f);

    // Reopened, the dictionary holds the added design; a shorter dictionary
    // (at least 8 bytes shorter) stays in place and frees its tail.
    f = khfa_FileOpen(path().c_str(), "r+", nullptr, &err);
    ASSERT_NE(f, nullptr) << ktest::messages(err.r);
    d = khfa_FileDictionary(f);
    ASSERT_NE(kmif_DictionarySearchByName(d, "Grow", nullptr), nullptr);
    Kmif_Design *last = d->lastDesign;
    ASSERT_STREQ(last->name, "Grow");
    d->lastDesign = last->previous;
    kmif_DesignDestroy(last, nullptr);
    d->modifiedFlag = 1;
    ASSERT_EQ(khfa_FileFlush(f, &err), 0) << ktest::messages(err.r);
    close(f);
    bytes = ktest::readFile(path());
    EXPECT_EQ(le32(bytes, 64 + 14), 508u);
    EXPECT_EQ(bytes.substr(508, 298), golden().substr(210));
    list = readDiskList(bytes);
    // The freed tail is the end of the file and merges with nothing before it.
    EXPECT_EQ(list.blocks, (std::map<uint32_t, int32_t>{{210, 298}, {806, grown - 298}}));
}

TEST_F(HfaTest, CreateAndOpenFailuresLeaveNothing) {
    close(create(path("warm")));  // module designs are made once per process
    int runs = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            Khfa_File *f = khfa_FileCreate(path().c_str(), nullptr, err);
            if (!f) {
                EXPECT_FALSE(std::filesystem::exists(path()));
            }
            if (f) khfa_FileClose(f, nullptr);
            return f != nullptr;
        },
        [&] { std::filesystem::remove(path()); });
    EXPECT_GT(runs, 3);
    // Failing writes: the file is removed and nothing leaks.
    for (long n = 0; n < 4; ++n) {
        const long before = kmsc_HeapLiveBlocks();
        kfio_FaultInject(KFIO_OSCALL_WRITE, n == 0 ? 1 : n, EIO);
        ktest::Err err;
        Khfa_File *f = khfa_FileCreate(path().c_str(), nullptr, &err);
        kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
        EXPECT_EQ(f, nullptr);
        EXPECT_NE(err.r, nullptr);
        err.reset();
        EXPECT_FALSE(std::filesystem::exists(path()));
        EXPECT_EQ(kmsc_HeapLiveBlocks(), before);
    }
    // Opening: the dictionary decoder keeps a name buffer for the process.
    close(create(path()));
    close(khfa_FileOpen(path().c_str(), "r", nullptr, nullptr));
    runs = ktest::runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) {
            Khfa_File *f = khfa_FileOpen(path().c_str(), "r+", nullptr, err);
            if (f) khfa_FileClose(f, nullptr);
            return f != nullptr;
        },
        [] {});
    EXPECT_GT(runs, 3);
}

}  // namespace
