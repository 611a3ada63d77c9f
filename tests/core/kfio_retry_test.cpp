// Reopen-and-retry after network failures, and the error paths of the OS
// calls, driven by the fault injector.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/ktest.hpp"

namespace {

std::vector<std::string> g_log;
void logLine(const char *message) {
    g_log.emplace_back(message);
}

class KfioRetry : public testing::Test {
  protected:
    void SetUp() override {
        data_.resize(100000);
        for (size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<char>(i * 7 + i / 251);
        ktest::writeFile(path(), data_);
        g_log.clear();
        kfio_SetLogFunction(logLine);
    }
    void TearDown() override {
        for (int k = 0; k < KFIO_OSCALL_KINDS; ++k) kfio_FaultInject(k, 0, 0);
        kfio_SetLogFunction(nullptr);
        if (fd_) {
            EXPECT_EQ(kfio_Close(fd_, nullptr), 0);
        }
    }
    std::string path() const { return dir_.file("net.bin"); }
    Kfio_Fd *open(const char *mode) {
        fd_ = kfio_Open(path().c_str(), mode, nullptr);
        return fd_;
    }
    std::string read(size_t n) {
        std::string s(n, '\0');
        s.resize(kfio_ReadSeq(fd_, s.data(), n, nullptr));
        return s;
    }

    ktest::TempDir dir_;
    std::string data_;
    Kfio_Fd *fd_ = nullptr;
};

TEST_F(KfioRetry, SeekReadAndWriteSurviveNetworkErrors) {
    ASSERT_NE(open("r+"), nullptr);
    EXPECT_EQ(read(10), data_.substr(0, 10));

    // Seek: one failing lseek, reopen, retry.
    kfio_FaultInject(KFIO_OSCALL_SEEK, 1, ENETDOWN);
    ktest::Err e;
    EXPECT_EQ(kfio_Seek(fd_, 50000, 0, &e), 50000u);
    EXPECT_FALSE(e) << ktest::messages(e.r);
    EXPECT_EQ(fd_->reopenCount, 1);
    EXPECT_EQ(fd_->validityMark, fd_->osHandle);
    EXPECT_EQ(read(100), data_.substr(50000, 100));

    // Buffer refill and a direct read, each failing twice first.
    kfio_Seek(fd_, 70000, 0, nullptr);
    kfio_FaultInject(KFIO_OSCALL_READ, 2, ENETRESET);
    EXPECT_EQ(read(10), data_.substr(70000, 10));
    EXPECT_EQ(fd_->reopenCount, 3);
    kfio_FaultInject(KFIO_OSCALL_READ, 1, ESTALE);
    EXPECT_EQ(read(20000), data_.substr(70010, 20000));
    EXPECT_EQ(fd_->reopenCount, 4);

    // Writes: the buffer flush and a direct write.
    kfio_Seek(fd_, 5, 0, nullptr);
    EXPECT_EQ(kfio_WriteSeq(fd_, "abc", 3, nullptr), 3u);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, ECONNRESET);
    EXPECT_EQ(kfio_BufferFlush(fd_, &e), 0) << ktest::messages(e.r);
    const std::string big(30000, 'W');
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, ECONNABORTED);
    EXPECT_EQ(kfio_WriteDirect(fd_, 60000, big.data(), big.size(), &e), big.size());
    EXPECT_FALSE(e) << ktest::messages(e.r);
    EXPECT_EQ(fd_->reopenCount, 6);
    std::string expect = data_;
    expect.replace(5, 3, "abc");
    expect.replace(60000, big.size(), big);
    EXPECT_EQ(ktest::readFile(path()), expect);
    ASSERT_EQ(g_log.size(), 6u);
    EXPECT_EQ(g_log[0], "Reopened " + path() + " after a network failure (reopen 1)");
}

TEST_F(KfioRetry, FileCreatedForWritingIsNotTruncatedByTheReopen) {
    ASSERT_NE(open("w"), nullptr);
    const std::string first(20000, 'a');
    ASSERT_EQ(kfio_WriteSeq(fd_, first.data(), first.size(), nullptr), first.size());
    // The reopen goes through "r+", which first probes for write access.
    const long opens = kfio_OsCallCount(KFIO_OSCALL_OPEN);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, ENETUNREACH);
    ASSERT_EQ(kfio_WriteSeq(fd_, "tail", 4, nullptr), 4u);
    ASSERT_EQ(kfio_Flush(fd_, nullptr), 0);
    EXPECT_EQ(fd_->reopenCount, 1);
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_OPEN), opens + 2);
    EXPECT_EQ(ktest::readFile(path()), first + "tail");
}

TEST_F(KfioRetry, FailedReopenIsReportedAndTheOldHandleStays) {
    ASSERT_NE(open("r"), nullptr);
    EXPECT_EQ(read(10), data_.substr(0, 10));
    // The reopen itself cannot open the file.
    kfio_FaultInject(KFIO_OSCALL_SEEK, 1, ESTALE);
    kfio_FaultInject(KFIO_OSCALL_OPEN, 1, EACCES);
    ktest::Err e;
    EXPECT_EQ(kfio_Seek(fd_, 60000, 0, &e), 0xFFFFFFFFu);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Seek", 7088));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Seek", 6928));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Win32Reopen", 7517));
    EXPECT_EQ(ktest::messages(e.r),
              "Unable to perform seek on " + path() +
                  " | Unable to reopen file to retry seek to byte offset 60000 in " + path() +
                  "\n" + strerror(ESTALE) + " | Unable to reopen " + path() +
                  " | Error opening file " + path() + "\nError 13");
    e.reset();
    EXPECT_EQ(fd_->reopenCount, 0);
    // Reopened, but positioning the new descriptor fails.
    kfio_FaultInject(KFIO_OSCALL_SEEK, 2, ENETDOWN);
    EXPECT_EQ(kfio_Seek(fd_, 60000, 0, &e), 0xFFFFFFFFu);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Win32Reopen", 7526));
    EXPECT_NE(
        ktest::messages(e.r).find("Unable to position " + path() + " to 16384 after reopenning."),
        std::string::npos);
    e.reset();
    // The handle still works.
    EXPECT_EQ(kfio_Seek(fd_, 60000, 0, &e), 60000u);
    EXPECT_EQ(read(5), data_.substr(60000, 5));
}

TEST_F(KfioRetry, PersistentFailuresEndAfterTheRetryLimit) {
    ASSERT_NE(open("r"), nullptr);
    kfio_FaultInject(KFIO_OSCALL_READ, 1000, ENETDOWN);
    ktest::Err e;
    char c[10];
    EXPECT_EQ(kfio_ReadSeq(fd_, c, 10, &e), 0u);
    EXPECT_EQ(fd_->reopenCount, 8);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7410));
    EXPECT_EQ(ktest::messages(e.r),
              "Error trying to read 16384 bytes into buffer for " + path() +
                  " | File I/O operation failed: only 0 of 16384 bytes processed.\n Error no. " +
                  std::to_string(ENETDOWN) + ": " + strerror(ENETDOWN));
    e.reset();
    // Any other error fails at once.
    kfio_FaultInject(KFIO_OSCALL_READ, 1, EIO);
    std::string big(20000, '\0');
    EXPECT_EQ(kfio_ReadSeq(fd_, big.data(), big.size(), &e), 0u);
    EXPECT_EQ(fd_->reopenCount, 8);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7384));
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Transfer", 7264));
    EXPECT_EQ(std::string(e->message), "Error trying to read 20000 bytes from " + path() + "\n");
    e.reset();
    EXPECT_EQ(read(10), data_.substr(0, 10));
}

TEST_F(KfioRetry, WriteErrorsKeepTheBufferAndTheFileOpen) {
    ASSERT_NE(open("r+"), nullptr);
    ASSERT_EQ(kfio_WriteSeq(fd_, "XY", 2, nullptr), 2u);
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, ENOSPC);
    ktest::Err e;
    EXPECT_EQ(kfio_Close(fd_, &e), 1);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_Close", 6812));
    EXPECT_EQ(ktest::messages(e.r).find("Could not flush " + path() + " before closing."), 0u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_BufferFlush", 7932));
    e.reset();
    EXPECT_EQ(fd_->dirty, 1);
    // Reading needs the buffer written out first.
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, EIO);
    char c;
    EXPECT_EQ(kfio_ReadSeq(fd_, &c, 1, &e), 0u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7368));
    e.reset();
    // Written out, but the refill cannot position: the descriptor stays
    // behind the written bytes while the caller stands at 1.
    EXPECT_EQ(kfio_Seek(fd_, 1, 0, nullptr), 1u);
    kfio_FaultInject(KFIO_OSCALL_SEEK, 1, EINVAL);
    EXPECT_EQ(kfio_ReadSeq(fd_, &c, 1, &e), 0u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_ReadSeq", 7410));
    e.reset();
    EXPECT_EQ(fd_->dirty, 0);
    // So the next buffer needs positioning before it can be written.
    ASSERT_EQ(kfio_WriteSeq(fd_, "Z", 1, nullptr), 1u);
    kfio_FaultInject(KFIO_OSCALL_SEEK, 1, EINVAL);
    EXPECT_EQ(kfio_Close(fd_, &e), 1);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_BufferFlush", 7925));
    EXPECT_NE(ktest::messages(e.r).find("Unable to position " + path() + " for flush."),
              std::string::npos);
    e.reset();
    // A large write must flush the buffer first.
    const std::string big(40000, 'b');
    kfio_FaultInject(KFIO_OSCALL_WRITE, 1, EIO);
    EXPECT_EQ(kfio_WriteSeq(fd_, big.data(), big.size(), &e), 0u);
    EXPECT_TRUE(ktest::hasCode(e.r, "kfio_FileWriteSequential", 7719));
    e.reset();
    // Now everything reaches the file.
    EXPECT_EQ(kfio_WriteSeq(fd_, big.data(), big.size(), &e), big.size());
    std::string expect = data_;
    expect.replace(0, 2, "XZ");
    expect.replace(2, big.size(), big);
    EXPECT_EQ(kfio_Close(fd_, &e), 0);
    fd_ = nullptr;
    EXPECT_EQ(ktest::readFile(path()), expect);
}

TEST_F(KfioRetry, FlushOfTheSystemBuffers) {
    ASSERT_NE(open("r"), nullptr);
    // Nothing written through a read-only handle: no OS flush at all.
    const long syncs = kfio_OsCallCount(KFIO_OSCALL_SYNC);
    EXPECT_EQ(kfio_FileFlush(fd_, nullptr), 0);
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_SYNC), syncs);
    EXPECT_EQ(kfio_Close(fd_, nullptr), 0);

    ASSERT_NE(open("r+"), nullptr);
    kfio_WriteSeq(fd_, "q", 1, nullptr);
    kfio_FaultInject(KFIO_OSCALL_SYNC, 1, EIO);
    ktest::Err e;
    EXPECT_EQ(kfio_Flush(fd_, &e), 1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 7898);
    EXPECT_EQ(std::string(e->message), "Flush failed on " + path());
    EXPECT_EQ(kfio_Flush(fd_, &e), 0);
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_SYNC), syncs + 2);
    // Synced: closing does not flush again.
    EXPECT_EQ(kfio_Close(fd_, nullptr), 0);
    fd_ = nullptr;
    EXPECT_EQ(kfio_OsCallCount(KFIO_OSCALL_SYNC), syncs + 2);
}

}  // namespace
