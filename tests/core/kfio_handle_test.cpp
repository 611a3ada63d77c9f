#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <random>
#include <string>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::Ints;

std::string pattern(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto &c : s) c = static_cast<char>(rng());
    return s;
}

struct Counts {
    long seek = kfio_OsCallCount(KFIO_OSCALL_SEEK);
    long read = kfio_OsCallCount(KFIO_OSCALL_READ);
    long write = kfio_OsCallCount(KFIO_OSCALL_WRITE);
    long open = kfio_OsCallCount(KFIO_OSCALL_OPEN);
    long total() const { return seek + read + write + open; }
};

// Closes the handle at the end of a test; ASSERTs can leave early.
struct Handle {
    Kfio_Fd *fd = nullptr;
    explicit Handle(Kfio_Fd *f) : fd(f) {}
    ~Handle() {
        for (int k = 0; k < KFIO_OSCALL_KINDS; ++k) kfio_FaultInject(k, 0, 0);
        if (fd) {
            EXPECT_EQ(kfio_Close(fd, nullptr), 0);
        }
    }
    Kfio_Fd *operator->() const { return fd; }
    operator Kfio_Fd *() const { return fd; }
};

TEST(KfioOpen, ModesCreateKeepAndRefuse) {
    ktest::TempDir dir;
    const std::string path = dir.file("a.bin");
    ktest::Err e;

    // A missing file cannot be opened for reading; the OS error is in the text.
    errno = 99;
    refused(e, kfio_Open(path.c_str(), "r", &e) == nullptr,
            "Error opening file " + path + "\nError 2");
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Open", 1));
    EXPECT_EQ(errno, 0);
    refused(e, kfio_Open(path.c_str(), "r+", &e) == nullptr,
            "Cannot gain write access to file " + path + "\nError 2");
    e.reset();

    // "a" creates an empty file and starts at 0; "A+B" is the same mode.
    Kfio_Fd *fd = kfio_Open(path.c_str(), "A+B", &e);
    ASSERT_NE(fd, nullptr) << ktest::messages(e.r);
    EXPECT_EQ((Ints{fd->writeAccess, fd->bufferCapacity, fd->bufferCursor, fd->bufferPosition}),
              (Ints{1, KFIO_BUFFER_SIZE, -1, -1}));
    EXPECT_STREQ(fd->mode, "A+B");
    EXPECT_STREQ(fd->path, path.c_str());
    EXPECT_EQ(kfio_WriteSeq(fd, "hello", 5, nullptr), 5u);
    EXPECT_EQ(kfio_Close(fd, &e), 0);
    EXPECT_EQ(ktest::readFile(path), "hello");

    // "a" keeps the contents and writes from position 0.
    fd = kfio_Open(path.c_str(), "ab", nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ((Ints{kfio_WriteSeq(fd, "J", 1, nullptr), kfio_Close(fd, nullptr)}), (Ints{1, 0}));
    EXPECT_EQ(ktest::readFile(path), "Jello");

    // "r" gives no write access: a write is refused at once (an empty one is
    // no error) and the handle still reads and closes.
    fd = kfio_Open(path.c_str(), "rb", nullptr);
    ASSERT_NE(fd, nullptr);
    refused(e,
            (Ints{fd->writeAccess, kfio_WriteSeq(fd, "x", 1, &e),
                  kfio_WriteSeq(fd, "", 0, nullptr)}) == (Ints{0, 0, 0}),
            path + " is not open for writing.");
    char five[6] = {};
    EXPECT_EQ(kfio_ReadSeq(fd, five, 5, nullptr), 5u);
    EXPECT_STREQ(five, "Jello");
    EXPECT_EQ(kfio_Close(fd, nullptr), 0);

    // The write probe of "r+" failing with access denied sets errno to 13.
    kfio_FaultInject(KFIO_OSCALL_OPEN, 1, EACCES);
    refused(e, kfio_Open(path.c_str(), "R+", &e) == nullptr,
            "Cannot gain write access to file " + path + "\nError 13");
    EXPECT_EQ(errno, 13);
    e.reset();

    // Directories are not files; NULL arguments are reported.
    refused(e, kfio_Open(dir.path().c_str(), "r", &e) == nullptr,
            "Error opening file " + dir.path() + "\nError 21");
    refused(e, kfio_Open(nullptr, "r", &e) == nullptr);
    EXPECT_EQ(kfio_Close(nullptr, &e), 0);
    EXPECT_FALSE(e);

    // Variables in the path are expanded; "NUL" is the null device.
    ktest::writeFile(dir.file("env.txt"), "abc");
    setenv("KFIO_TEST_DIR", dir.path().c_str(), 1);
    fd = kfio_Open("${KFIO_TEST_DIR}/env.txt", "r", nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(std::string(fd->path), dir.file("env.txt"));
    EXPECT_EQ((Ints{kfio_Fgetc(fd, nullptr), kfio_Close(fd, nullptr)}), (Ints{'a', 0}));

    fd = kfio_Open("NUL", "w", nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_STREQ(fd->path, "/dev/null");
    EXPECT_EQ(kfio_Fprintf(fd, nullptr, "%s %d", "thrown away", 42), 14);
    EXPECT_EQ(kfio_Close(fd, nullptr), 0);
}

TEST(KfioOpen, SurvivesAllocationFailures) {
    ktest::TempDir dir;
    ktest::writeFile(dir.file("f"), "x");
    const std::string path = dir.file("f");
    EXPECT_GT(
        ktest::runMaking([&](Kerr_ErrorReport **err) { return kfio_Open(path.c_str(), "r+", err); },
                         [](Kfio_Fd *fd) { kfio_Close(fd, nullptr); }),
        0);
}

TEST(KfioSeek, InsideTheBufferNoSystemCall) {
    ktest::TempDir dir;
    const std::string data = pattern(100000);
    ktest::writeFile(dir.file("f"), data);
    Handle fd(kfio_Open(dir.file("f").c_str(), "r", nullptr));
    ASSERT_NE(fd.fd, nullptr);

    char got[100];
    ASSERT_EQ(kfio_ReadSeq(fd, got, 100, nullptr), 100u);
    EXPECT_EQ(std::string(got, 100), data.substr(0, 100));
    ASSERT_EQ(fd->bufferFill, KFIO_BUFFER_SIZE);

    const Counts before;
    // Backwards, forwards, relative and to the last buffered byte.
    EXPECT_EQ(kfio_Seek(fd, 10, 0, nullptr), 10u);
    ASSERT_EQ(kfio_ReadSeq(fd, got, 50, nullptr), 50u);
    EXPECT_EQ(std::string(got, 50), data.substr(10, 50));
    EXPECT_EQ(kfio_Seek(fd, 1000, 1, nullptr), 1060u);
    EXPECT_EQ(kfio_Fgetc(fd, nullptr), static_cast<unsigned char>(data[1060]));
    EXPECT_EQ(kfio_Seek64(fd, KFIO_BUFFER_SIZE - 1, 0, nullptr), KFIO_BUFFER_SIZE - 1);
    EXPECT_EQ(kfio_Fgetc(fd, nullptr), static_cast<unsigned char>(data[KFIO_BUFFER_SIZE - 1]));
    EXPECT_EQ(kfio_Seek(fd, -5, 1, nullptr), static_cast<uint32_t>(KFIO_BUFFER_SIZE - 5));
    const Counts after;
    EXPECT_EQ(after.total(), before.total());
    // In-buffer seeks leave the adaptive counters alone.
    EXPECT_EQ(fd->randomSeekCount, 0);

    // The first byte past the buffer needs the file again.
    // The descriptor is already there: no lseek, one read.
    EXPECT_EQ((Ints{kfio_Seek(fd, KFIO_BUFFER_SIZE, 0, nullptr), fd->bufferCursor,
                    kfio_Fgetc(fd, nullptr), kfio_OsCallCount(KFIO_OSCALL_SEEK),
                    kfio_OsCallCount(KFIO_OSCALL_READ)}),
              (Ints{KFIO_BUFFER_SIZE, -1, static_cast<unsigned char>(data[KFIO_BUFFER_SIZE]),
                    after.seek, after.read + 1}));

    // A failing seek before the start.
    ktest::Err e;
    EXPECT_EQ(kfio_Seek(fd, -200000, 1, &e), 0xFFFFFFFFu);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Seek", 7088));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Seek", 6944));
    EXPECT_EQ(e->message, "Unable to perform seek on " + dir.file("f"));
    EXPECT_EQ(std::string(e->next->message)
                  .find("Unable to seek to byte offset -200000 in " + dir.file("f") + "\n"),
              0u);
    refused(e, kfio_Seek(fd, 0, 7, &e) == 0xFFFFFFFFu);
}

TEST(KfioSeek, CapacityHalvesAfterMovingSeeksAndDoublesAfterReads) {
    ktest::TempDir dir;
    const std::string data = pattern(300000);
    ktest::writeFile(dir.file("f"), data);
    Handle fd(kfio_Open(dir.file("f").c_str(), "r", nullptr));
    ASSERT_NE(fd.fd, nullptr);

    // A seek to where we are does not count.
    kfio_Seek(fd, 0, 0, nullptr);
    EXPECT_EQ(fd->randomSeekCount, 0);
    kfio_Seek(fd, 20000, 0, nullptr);
    kfio_Seek(fd, 40000, 0, nullptr);
    const long long once = fd->bufferCapacity;
    kfio_Seek(fd, 60000, 0, nullptr);
    EXPECT_EQ((Ints{once, fd->bufferCapacity, fd->randomSeekCount}), (Ints{16384, 8192, 0}));

    // Small reads refill 8192 bytes at a time now.
    char got[100];
    ASSERT_EQ(kfio_ReadSeq(fd, got, 100, nullptr), 100u);
    EXPECT_EQ(fd->bufferFill, 8192);
    EXPECT_EQ(std::string(got, 100), data.substr(60000, 100));
    // Four reads that go to the file (one refill, three direct) double it.
    std::string big(8192, '\0');
    for (int i = 0; i < 3; ++i) {
        const int64_t at = kfio_Tell64(fd, nullptr);
        ASSERT_EQ(kfio_ReadSeq(fd, big.data(), big.size(), nullptr), big.size());
        EXPECT_EQ(big, data.substr(static_cast<size_t>(at), big.size()));
        EXPECT_EQ(fd->bufferCapacity, i < 2 ? 8192 : 16384) << i;
    }
    // Doubling starts both counts afresh.
    EXPECT_EQ((Ints{fd->sequentialReadCount, fd->randomSeekCount}), (Ints{0, 0}));

    // Halving stops at 2048.
    for (int i = 0; i < 12; ++i) kfio_Seek(fd, (i % 2) ? 1000 : 200000, 0, nullptr);
    EXPECT_EQ(fd->bufferCapacity, KFIO_BUFFER_MIN);
    ASSERT_EQ(kfio_ReadSeq(fd, got, 100, nullptr), 100u);
    EXPECT_EQ(fd->bufferFill, KFIO_BUFFER_MIN);
    EXPECT_EQ(std::string(got, 100), data.substr(1000, 100));
}

TEST(KfioRead, ShortReadSetsEndOfFileAndReportsOnlyWhenAsked) {
    ktest::TempDir dir;
    ktest::writeFile(dir.file("four"), "abcd");
    Handle fd(kfio_Open(dir.file("four").c_str(), "r", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    char got[10];
    ktest::Err e;
    EXPECT_EQ(kfio_ReadSeq(fd, got, 10, &e), 4u);
    EXPECT_EQ(std::string(got, 4), "abcd");
    ASSERT_TRUE(e);
    EXPECT_EQ((Ints{fd->endOfFile, e->code, e->severity}), (Ints{1, 7475, 2}));
    EXPECT_EQ(ktest::messages(e.r),
              "Read 4 bytes from " + dir.file("four") + ", 10 were requested.");
    e.reset();
    // A seek clears the flag; a short direct read of a large piece sets it.
    kfio_Seek(fd, 1, 0, nullptr);
    EXPECT_EQ(fd->endOfFile, 0);
    std::string big(40000, '\0');
    EXPECT_EQ((Ints{kfio_ReadDirect(fd, 2, big.data(), big.size(), nullptr), fd->endOfFile}),
              (Ints{2, 1}));
    EXPECT_EQ(big.substr(0, 2), "cd");
    EXPECT_EQ(kfio_ReadDirect(fd, 0, big.data(), big.size(), &e), 4u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7475));
    EXPECT_EQ(kfio_ReadSeq(fd, got, 0, &e), 0u);
    EXPECT_FALSE(e);
    refused(e, kfio_ReadSeq(fd, nullptr, 3, &e) == 0u);
}

TEST(KfioRead, PushbackIsLastInFirstOutAndLimitedToFour) {
    ktest::TempDir dir;
    ktest::writeFile(dir.file("f"), "0123456789");
    Handle fd(kfio_Open(dir.file("f").c_str(), "r", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    EXPECT_EQ(kfio_Ungetc('x', fd, nullptr), -1);  // nothing before position 0
    char got[8];
    ASSERT_EQ(kfio_ReadSeq(fd, got, 6, nullptr), 6u);
    EXPECT_EQ(kfio_Ungetc(-1, fd, nullptr), -1);
    for (char c : std::string("abcde")) kfio_Ungetc(c, fd, nullptr);
    // Telling keeps them.
    EXPECT_EQ((Ints{fd->pushbackCount, kfio_Tell(fd, nullptr), fd->pushbackCount}),
              (Ints{4, 2, 4}));
    ASSERT_EQ(kfio_ReadSeq(fd, got, 6, nullptr), 6u);
    EXPECT_EQ(std::string(got, 6), "dcba67");
    EXPECT_EQ(kfio_Tell(fd, nullptr), 8u);
    // Ungetc clears the end-of-file flag; a seek drops pushed characters.
    EXPECT_EQ(
        (Ints{kfio_ReadSeq(fd, got, 5, nullptr), fd->endOfFile, kfio_Ungetc(0xFF41, fd, nullptr),
              fd->endOfFile, kfio_Fgetc(fd, nullptr), kfio_Ungetc('Q', fd, nullptr),
              kfio_Seek(fd, 3, 0, nullptr), fd->pushbackCount, kfio_Fgetc(fd, nullptr)}),
        (Ints{2, 1, 0x41, 0, 0x41, 'Q', 3, 0, '3'}));
    // A write after Ungetc goes to the position the caller sees.
    Handle rw(kfio_Open(dir.file("f").c_str(), "r+", nullptr));
    ASSERT_NE(rw.fd, nullptr);
    EXPECT_EQ((Ints{kfio_Fgetc(rw, nullptr), kfio_Fgetc(rw, nullptr), kfio_Ungetc('1', rw, nullptr),
                    kfio_WriteSeq(rw, "Z", 1, nullptr), kfio_Fgetc(rw, nullptr),
                    kfio_Flush(rw, nullptr)}),
              (Ints{'0', '1', '1', 1, '2', 0}));
    EXPECT_EQ(ktest::readFile(dir.file("f")), "0Z23456789");
}

TEST(KfioWrite, FormattedAndItemIo) {
    ktest::TempDir dir;
    Handle fd(kfio_Open(dir.file("o").c_str(), "w+", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    EXPECT_EQ(kfio_Fprintf(fd, nullptr, "%d-%s;", 12, "ab"), 6);
    const std::string longText(3000, 'q');
    EXPECT_EQ(kfio_Fprintf(fd, nullptr, "%s", longText.c_str()), 3000);
    const int32_t words[3] = {1, 2, 3};
    EXPECT_EQ((Ints{kfio_Fwrite(words, sizeof words[0], 3, fd), kfio_Fwrite(nullptr, 1, 3, fd),
                    kfio_Fwrite(words, SIZE_MAX, 2, fd), kfio_Fprintf(nullptr, nullptr, "x")}),
              (Ints{12, 0, 0, -1}));
    kfio_Seek(fd, 0, 0, nullptr);
    char head[7] = {};
    EXPECT_EQ(kfio_Fread(head, 1, 6, fd), 6u);
    EXPECT_STREQ(head, "12-ab;");
    kfio_Seek(fd, 3000, 1, nullptr);
    int32_t back[3] = {};
    EXPECT_EQ((Ints{kfio_Fread(back, sizeof back[0], 3, fd), back[2], kfio_Fread(back, 4, 1, fd),
                    kfio_Fread(nullptr, 4, 1, fd)}),
              (Ints{12, 3, 0, 0}));

    char small[6];
    EXPECT_EQ(kfio_Sprintf(small, sizeof small, nullptr, "%s", "truncated"), 9);
    EXPECT_STREQ(small, "trunc");
    EXPECT_EQ(kfio_Sprintf(nullptr, 0, nullptr, "%d", 1234), 4);

    ktest::Err e;
    refused(e, kfio_WriteSeq(fd, nullptr, 3, &e) == 0u, "Invalid attempt to write NULL buffer.");
    EXPECT_EQ(e->code, 7610);
}

// Character and formatted I/O: each failure leaves a report naming the
// function and the cause; the end of the file leaves none.
TEST(KfioText, FailuresAreReportedAndEndOfFileIsNot) {
    ktest::TempDir dir;
    ktest::writeFile(dir.file("t"), "ab");
    Handle fd(kfio_Open(dir.file("t").c_str(), "r+", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    Kfio_Fd bogus{};  // validity mark and handle disagree with the open flag
    char line[8];
    const std::string big(KFIO_BUFFER_SIZE + 10, 'w');
    ktest::Err e;
    struct Case {
        const char *name;
        std::function<bool()> call;  // true when the call returned its failure value
        const char *function;
        const char *messages;
    };
    const Case cases[] = {
        {"Fgetc bad handle", [&] { return kfio_Fgetc(&bogus, &e) == -1; }, "kfio_Fgetc",
         "Invalid file handle"},
        {"Ungetc bad handle", [&] { return kfio_Ungetc('x', &bogus, &e) == -1; }, "kfio_Ungetc",
         "Invalid file handle"},
        {"Fgets bad handle", [&] { return !kfio_Fgets(line, 8, &bogus, &e); }, "kfio_Fgets",
         "Invalid file handle"},
        {"Fgets no buffer", [&] { return !kfio_Fgets(nullptr, 8, fd, &e); }, "kfio_Fgets",
         "Invalid buffer"},
        {"Fgets size 0", [&] { return !kfio_Fgets(line, 0, fd, &e); }, "kfio_Fgets",
         "Invalid buffer"},
        {"Fprintf bad handle", [&] { return kfio_Fprintf(&bogus, &e, "x") == -1; }, "kfio_Vfprintf",
         "Invalid file handle"},
        {"Fprintf no format", [&] { return kfio_Fprintf(fd, &e, nullptr) == -1; }, "kfio_Vfprintf",
         "Null format"},
        {"Printf no format", [&] { return kfio_Printf(&e, nullptr) == -1; }, "kfio_Printf",
         "Null format"},
        {"Sprintf no format", [&] { return kfio_Sprintf(line, 8, &e, nullptr) == -1; },
         "kfio_Sprintf", "Null format"},
        {"Sprintf no buffer", [&] { return kfio_Sprintf(nullptr, 8, &e, "%d", 1) == -1; },
         "kfio_Sprintf", "Null buffer"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.call());
        ASSERT_TRUE(e);
        EXPECT_STREQ(e->function, c.function);
        EXPECT_EQ(ktest::messages(e.r), c.messages);
    }

    // Failed reads, through the buffer refill, wrap the reader's report.
    kfio_FaultInject(KFIO_OSCALL_READ, 1, EIO);
    EXPECT_EQ(kfio_Fgetc(fd, &e), -1);
    kfio_FaultInject(KFIO_OSCALL_READ, 0, 0);
    ASSERT_TRUE(e);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Fgetc", 2));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7410)) << ktest::messages(e.r);
    kfio_FaultInject(KFIO_OSCALL_READ, 1, EIO);
    EXPECT_EQ(kfio_Fgets(line, 8, fd, &e), nullptr);
    kfio_FaultInject(KFIO_OSCALL_READ, 0, 0);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Fgets", 3));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Fgetc", 2));
    // A write that goes past the buffer fails at the OS.
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, EIO);
    EXPECT_EQ(kfio_Fprintf(fd, &e, "%s", big.c_str()), -1);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Vfprintf", 5));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_FileWriteSequential", 7726)) << ktest::messages(e.r);

    // The end of the file: -1 and NULL without a report; Ungetc refusing a
    // fifth character is no failure either.
    ASSERT_EQ(kfio_Seek(fd, 0, 0, nullptr), 0u);
    auto quiet = [&](long long v) { return e ? -1000 : v; };  // a value, or a report
    EXPECT_EQ(
        (Ints{quiet(kfio_Fgetc(fd, &e)), quiet(kfio_Fgets(line, 8, fd, &e) != nullptr), line[0],
              quiet(kfio_Fgetc(fd, &e)), quiet(kfio_Fgets(line, 8, fd, &e) != nullptr),
              quiet(kfio_Printf(&e, "%s", ""))}),
        (Ints{'a', 1, 'b', -1, 0, 0}));
}

// Random reads, writes, seeks and pushbacks against a string model of the
// file, across buffer boundaries and with every buffer state.
TEST(KfioWrite, RandomOperationsMatchAModel) {
    ktest::TempDir dir;
    const std::string path = dir.file("model");
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        std::string model;
        int64_t pos = 0;
        int eof = 0;  // sticky until a seek or an Ungetc
        Handle fd(kfio_Open(path.c_str(), "w+", nullptr));
        ASSERT_NE(fd.fd, nullptr);
        // Mostly small pieces, some around and above the capacity.
        auto size = [&](int op) -> size_t {
            const unsigned kind = rng() % 4;
            return kind == 0   ? rng() % 16
                   : kind == 1 ? rng() % 3000
                   : kind == 2 ? 2000 + rng() % 15000
                   : op == 0   ? 16000 + rng() % 40000
                               : rng() % 200;
        };
        for (int step = 0; step < 1500; ++step) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
            const unsigned op = rng() % 7;
            if (op <= 1) {
                const std::string bytes = pattern(size(0), rng());
                ASSERT_EQ(kfio_WriteSeq(fd, bytes.data(), bytes.size(), nullptr), bytes.size());
                // An empty write does not extend the file.
                if (!bytes.empty()) {
                    if (model.size() < pos + bytes.size()) model.resize(pos + bytes.size());
                    model.replace(static_cast<size_t>(pos), bytes.size(), bytes);
                }
                pos += static_cast<int64_t>(bytes.size());
            } else if (op <= 3) {
                const size_t n = size(1);
                std::string got(n, '\0');
                const size_t r = kfio_ReadSeq(fd, got.data(), n, nullptr);
                const size_t expect =
                    std::min<size_t>(n, model.size() > static_cast<size_t>(pos)
                                            ? model.size() - static_cast<size_t>(pos)
                                            : 0);
                ASSERT_EQ(r, expect);
                if (r > 0) {
                    ASSERT_EQ(got.substr(0, r), model.substr(static_cast<size_t>(pos), r));
                }
                if (r < n) eof = 1;
                ASSERT_EQ(fd->endOfFile, eof);
                pos += static_cast<int64_t>(r);
            } else if (op == 4) {
                const int origin = static_cast<int>(rng() % 3);
                const int64_t target = static_cast<int64_t>(rng() % (model.size() + 30000));
                const int64_t offset = origin == 0   ? target
                                       : origin == 1 ? target - pos
                                                     : target - static_cast<int64_t>(model.size());
                ASSERT_EQ(kfio_Seek64(fd, offset, origin, nullptr), target);
                pos = target;
                eof = 0;
            } else if (op == 5) {
                // Read one byte and put it back, or put back a different one.
                const int c = kfio_Fgetc(fd, nullptr);
                if (c >= 0) {
                    ASSERT_EQ(c, static_cast<unsigned char>(model[static_cast<size_t>(pos)]));
                    ASSERT_EQ(kfio_Ungetc(c, fd, nullptr), c);
                    eof = 0;
                    ASSERT_EQ(kfio_Fgetc(fd, nullptr), c);
                    ++pos;
                } else {
                    eof = 1;
                }
            } else {
                ASSERT_EQ(kfio_Tell64(fd, nullptr), pos);
                if (rng() % 3 == 0) {
                    ASSERT_EQ(kfio_Flush(fd, nullptr), 0);
                }
                ASSERT_EQ(kfio_FileSizeGetByHandle64(fd, nullptr),
                          static_cast<int64_t>(model.size()));
            }
        }
        ASSERT_EQ(kfio_Close(fd.fd, nullptr), 0);
        fd.fd = nullptr;
        ASSERT_EQ(ktest::readFile(path), model) << "seed " << seed;
    }
}

TEST(KfioWrite, BufferedWritesAndDirectAccess) {
    ktest::TempDir dir;
    const std::string path = dir.file("d");
    Handle fd(kfio_Open(path.c_str(), "w", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    const Counts before;
    // Small writes collect in the buffer: no system call until it is full.
    for (int i = 0; i < 100; ++i) ASSERT_EQ(kfio_WriteSeq(fd, "0123456789", 10, nullptr), 10u);
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_WRITE), before.write);
    EXPECT_EQ(fd->dirty, 1);
    EXPECT_EQ(fd->bufferFill, 1000);
    // Overwrite inside the dirty buffer, then write the buffer out.
    EXPECT_EQ(kfio_Seek(fd, 5, 0, nullptr), 5u);
    EXPECT_EQ(kfio_WriteSeq(fd, "ab", 2, nullptr), 2u);
    EXPECT_EQ(fd->bufferFill, 1000);
    EXPECT_EQ(kfio_BufferFlush(fd, nullptr), 0);
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_WRITE), before.write + 1);
    EXPECT_EQ(fd->physicalPosition, 7);  // positioned at the logical position
    std::string expect;
    for (int i = 0; i < 100; ++i) expect += "0123456789";
    expect.replace(5, 2, "ab");
    EXPECT_EQ(ktest::readFile(path), expect);

    // WriteDirect always writes out.
    EXPECT_EQ(kfio_WriteDirect(fd, 2000, "XYZ", 3, nullptr), 3u);
    EXPECT_EQ(fd->dirty, 0);
    expect.resize(2000, '\0');
    expect += "XYZ";
    EXPECT_EQ(ktest::readFile(path), expect);
    ktest::Err e;
    EXPECT_EQ(kfio_WriteDirect(fd, -4, "X", 1, &e), 0u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_FileWriteDirect", 965));
    EXPECT_EQ(std::string(e->message), "kfio_Seek failed");
    e.reset();
    // A write too large for the buffer goes straight to the file.
    const std::string big = pattern(50000);
    EXPECT_EQ(kfio_FileWriteDirect(fd, 10, big.data(), big.size(), 0, nullptr), big.size());
    EXPECT_EQ(fd->bufferCursor, -1);
    expect.resize(std::max(expect.size(), big.size() + 10));
    expect.replace(10, big.size(), big);
    EXPECT_EQ(ktest::readFile(path), expect);
}

TEST(KfioWrite, PositionsAboveFourGigabytes) {
    ktest::TempDir dir;
    const std::string path = dir.file("sparse");
    Handle fd(kfio_Open(path.c_str(), "w+", nullptr));
    ASSERT_NE(fd.fd, nullptr);
    const int64_t far = (int64_t{5} << 30) + 123;  // 5 GiB and a bit
    ASSERT_EQ(kfio_Seek64(fd, far, 0, nullptr), far);
    ASSERT_EQ(kfio_WriteSeq(fd, "hello", 5, nullptr), 5u);
    EXPECT_EQ(kfio_FileSizeGetByHandle64(fd, nullptr), far + 5);
    EXPECT_EQ(kfio_FileSizeGetByHandle(fd, nullptr), static_cast<uint32_t>(far + 5));
    EXPECT_EQ(kfio_Tell64(fd, nullptr), far + 5);
    EXPECT_EQ(kfio_Tell(fd, nullptr), static_cast<uint32_t>(far + 5));
    char got[5];
    ASSERT_EQ(kfio_ReadDirect(fd, far, got, 5, nullptr), 5u);
    EXPECT_EQ(std::string(got, 5), "hello");
    // The 32-bit seek moves relative to a 64-bit position.
    EXPECT_EQ(kfio_Seek(fd, -3, 1, nullptr), static_cast<uint32_t>(far + 2));
    EXPECT_EQ(kfio_Fgetc(fd, nullptr), 'l');
    EXPECT_EQ(kfio_Seek64(fd, -5, 2, nullptr), far);
    EXPECT_EQ(kfio_Seek64(fd, INT64_MAX, 1, nullptr), -1);
}

}  // namespace
