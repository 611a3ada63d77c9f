#include <gtest/gtest.h>

#include <cerrno>

#include <functional>
#include <string>

#include "support/ktest.hpp"

namespace {

using ktest::Ints;

std::string stderrOf(const std::function<void()> &f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

TEST(KfioStdio, ItemsPositionsAndEndOfFile) {
    ktest::TempDir dir;
    const std::string path = dir.file("s");
    Kfio_Fd *fd = kfio_fopen(path.c_str(), "w+b");
    ASSERT_NE(fd, nullptr);
    const int16_t values[5] = {1, -2, 3, -4, 5};
    EXPECT_EQ((Ints{kfio_fwrite(values, sizeof values[0], 5, fd), kfio_fprintf(fd, "<%03d>", 7),
                    kfio_ftello(fd)}),
              (Ints{5, 5, 15}));

    // Seeks inside the buffered bytes cost no system call.
    const long calls = kfio_OsCallCount(KFIO_OSCALL_SEEK) + kfio_OsCallCount(KFIO_OSCALL_READ) +
                       kfio_OsCallCount(KFIO_OSCALL_WRITE);
    int64_t pos = -1;
    EXPECT_EQ((Ints{kfio_fseeko(fd, 2, 0), kfio_fgetpos(fd, &pos), pos, kfio_fseeko(fd, 4, 1),
                    kfio_ftello(fd),
                    kfio_OsCallCount(KFIO_OSCALL_SEEK) + kfio_OsCallCount(KFIO_OSCALL_READ) +
                        kfio_OsCallCount(KFIO_OSCALL_WRITE)}),
              (Ints{0, 0, 2, 0, 6, calls}));

    // Items: a partial item at the end is not counted.
    int16_t back[8] = {};
    pos = 0;
    EXPECT_EQ((Ints{kfio_fsetpos(fd, &pos), kfio_fread(back, sizeof back[0], 8, fd), back[1],
                    kfio_feof(fd), kfio_fseeko(fd, -5, 2), kfio_feof(fd)}),
              (Ints{0, 7, -2, 1, 0, 0}));  // 15 bytes: 7 items
    char text[6] = {};
    EXPECT_EQ(kfio_fread(text, 1, 5, fd), 5u);
    EXPECT_STREQ(text, "<007>");

    EXPECT_EQ((Ints{kfio_fgetpos(nullptr, &pos), kfio_fgetpos(fd, nullptr),
                    kfio_fsetpos(fd, nullptr), kfio_fread(back, 0, 3, fd), kfio_feof(nullptr)}),
              (Ints{-1, -1, -1, 0, 0}));

    // Errors are printed, not returned.
    std::string printed = stderrOf([&] { EXPECT_EQ(kfio_fseeko(fd, -100, 1), -1); });
    EXPECT_NE(printed.find(" ***ERROR NUMBER 7088 IN FUNCTION kfio_Seek***"), std::string::npos);
    printed = stderrOf([&] { EXPECT_EQ(kfio_CompatibleFseek(fd, -100, 0), -1); });
    EXPECT_NE(printed.find("Unable to seek to byte offset -100"), std::string::npos);
    EXPECT_EQ(
        (Ints{kfio_CompatibleFseek(fd, 3, 0), kfio_ftello(fd), kfio_fflush(fd), kfio_fclose(fd)}),
        (Ints{0, 3, 0, 0}));
    EXPECT_EQ(ktest::readFile(path).substr(10), "<007>");

    printed = stderrOf([&] { EXPECT_EQ(kfio_fopen(dir.file("none").c_str(), "r"), nullptr); });
    EXPECT_NE(printed.find(">>>Error opening file " + dir.file("none") + "\nError 2<<<"),
              std::string::npos);
    EXPECT_EQ(kfio_fclose(nullptr), -1);
}

TEST(KfioStdio, TruncateAndReopen) {
    ktest::TempDir dir;
    const std::string path = dir.file("t");
    ktest::writeFile(path, "0123456789");
    Kfio_Fd *fd = kfio_fopen(path.c_str(), "r+");
    ASSERT_NE(fd, nullptr);
    // Buffered bytes past the new end are written before the cut.
    // The position was past the new end.
    EXPECT_EQ((Ints{kfio_fseeko(fd, 8, 0), kfio_fwrite("AB", 1, 2, fd), kfio_ftruncate(fd, 6),
                    kfio_ftello(fd)}),
              (Ints{0, 2, 0, 6}));
    EXPECT_EQ(ktest::readFile(path), "012345");
    // Growing fills with zeros and keeps the position.
    EXPECT_EQ((Ints{kfio_fseeko(fd, 2, 0), kfio_ftruncate(fd, 20), kfio_ftello(fd)}),
              (Ints{0, 0, 2}));
    EXPECT_EQ(ktest::readFile(path), std::string("012345") + std::string(14, '\0'));
    std::string printed = stderrOf([&] { EXPECT_EQ(kfio_ftruncate(fd, -1), -1); });
    EXPECT_NE(printed.find("kfio_ftruncate"), std::string::npos);

    // freopen flushes and closes the old handle.
    EXPECT_EQ(kfio_fwrite("zz", 1, 2, fd), 2u);
    fd = kfio_freopen(path.c_str(), "rb", fd);
    ASSERT_NE(fd, nullptr);
    char head[4] = {};
    EXPECT_EQ(kfio_fread(head, 1, 4, fd), 4u);
    EXPECT_EQ(std::string(head, 4), "01zz");
    EXPECT_EQ(kfio_fclose(fd), 0);

    // A close whose buffer cannot be written still releases the handle.
    fd = kfio_fopen(path.c_str(), "r+");
    EXPECT_EQ(kfio_fwrite("x", 1, 1, fd), 1u);  // buffered
    const long live = kmsc_HeapLiveBlocks();
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, EIO);
    printed = stderrOf([&] { EXPECT_EQ(kfio_fclose(fd), -1); });
    kfio_FaultInject(KFIO_OSCALL_WRITE, 0, 0);
    EXPECT_NE(printed.find("before closing."), std::string::npos);
    EXPECT_LT(kmsc_HeapLiveBlocks(), live);
}

TEST(KfioUInt64, CarryBorrowCompareAndWords) {
    uint64_t r[5] = {};
    EXPECT_EQ((Ints{kfio_UInt64Add(0xFFFFFFFFu, 1, &r[0]), kfio_UInt64Add(UINT64_MAX, 2, &r[1]),
                    kfio_UInt64Sub(0x100000000u, 1, &r[2]), kfio_UInt64Sub(1, 2, &r[3]),
                    kfio_UInt64Sub(5, 5, &r[4])}),
              (Ints{0, 1, 0, 1, 0}));
    EXPECT_EQ((Ints{r[0], r[1], r[2], r[3], r[4]}),
              (Ints{0x100000000u, 1, 0xFFFFFFFFu, UINT64_MAX, 0}));
    EXPECT_EQ(
        (Ints{kfio_UInt64Compare(1, 2), kfio_UInt64Compare(UINT64_MAX, 2), kfio_UInt64Compare(7, 7),
              kfio_UInt64MultiplyFromUInt32(0xFFFFFFFFu, 0xFFFFFFFFu)}),
        (Ints{-1, 1, 0, 0xFFFFFFFE00000001u}));

    int64_t pos = 0;
    kfio_off_tLODWSet(&pos, 0xDEADBEEFu);
    kfio_off_tHODWSet(&pos, 0x12u);
    EXPECT_EQ((Ints{pos, kfio_off_tHODWGet(pos), kfio_off_tLODWGet(pos)}),
              (Ints{0x12DEADBEEF, 0x12u, 0xDEADBEEFu}));
    kfio_off_tHODWSet(&pos, 0xFFFFFFFFu);
    EXPECT_EQ((Ints{pos, kfio_off_tLODWGet(pos)}), (Ints{0xFFFFFFFFDEADBEEFu, 0xDEADBEEFu}));
}

}  // namespace
