// Space in HFA files: allocation, freeing and merging checked against an
// independent model of the free list, the growth rules at the end of the
// file, the size limit, write-through off and on, and corrupt lists.
#include <gtest/gtest.h>

#include <kraster/kraster.h>

#include <array>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "hfa/hfa_test_util.hpp"
#include "hfa/khfa_internal.hpp"
#include "support/ktest_checks.hpp"

using namespace hfatest;

namespace {

constexpr int64_t kNewFileEnd = 508;
const intptr_t off[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
const intptr_t on[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 1, 0};

// The free list as a map from position to size, with the allocation policy
// written out plainly: first fit, a split keeps a rest of at least 8 bytes,
// otherwise growth at the end from the tail block; a tail block larger than
// the request by less than 8 bytes leaves exactly 8 bytes free behind it.
struct Model {
    std::map<uint32_t, int32_t> free;
    int64_t end = kNewFileEnd;

    uint32_t allocate(int32_t size) {
        if (size < 8) size = 8;
        for (auto it = free.begin(); it != free.end(); ++it) {
            if (it->second == size || it->second >= size + 8) {
                const uint32_t pos = it->first;
                const int32_t rest = it->second - size;
                free.erase(it);
                if (rest > 0) free[pos + static_cast<uint32_t>(size)] = rest;
                return pos;
            }
        }
        int64_t start = end, available = 0;
        if (!free.empty()) {
            auto last = std::prev(free.end());
            if (last->first + int64_t{last->second} == end) {
                start = last->first;
                available = last->second;
                free.erase(last);
            }
        }
        const int64_t length = size < available ? size + 8 : size;
        end = std::max(end, start + length);
        if (length > size)
            release(static_cast<uint32_t>(start + size), static_cast<int32_t>(length - size));
        return static_cast<uint32_t>(start);
    }

    void release(uint32_t pos, int32_t size) {
        if (size < 8) return;
        int64_t start = pos, stop = int64_t{pos} + size;
        auto next = free.lower_bound(pos);
        if (next != free.end() && next->first == stop) {
            stop += next->second;
            next = free.erase(next);
        }
        if (next != free.begin()) {
            auto prev = std::prev(next);
            if (prev->first + int64_t{prev->second} == start) {
                start = prev->first;
                free.erase(prev);
            }
        }
        free[static_cast<uint32_t>(start)] = static_cast<int32_t>(stop - start);
    }

    int64_t total() const {
        int64_t sum = 0;
        for (auto &b : free) sum += b.second;
        return sum;
    }
};

std::map<uint32_t, int32_t> diskBlocks(const std::string &file) {
    DiskList list = readDiskList(ktest::readFile(file));
    EXPECT_TRUE(list.ok);
    return list.blocks;
}

class HfaFreeList : public HfaFileTest {
  protected:
    uint32_t allocate(int32_t size) {
        ktest::Err err;
        uint32_t pos = khfa_NextFreePos(file, size, &err);
        EXPECT_NE(pos, 0u) << ktest::messages(err.r);
        return pos;
    }
    void release(uint32_t pos, int32_t size) {
        ktest::Err err;
        EXPECT_EQ(khfa_FreeSpace(file, pos, size, &err), 0) << ktest::messages(err.r);
    }
    // The free list on disk after writing out what the handle buffers.
    std::map<uint32_t, int32_t> onDisk() {
        ktest::Err err;
        EXPECT_EQ(khfa_FileFlush(file, &err), 0) << ktest::messages(err.r);
        return diskBlocks(path());
    }
    Khfa_File *&file = f;
};

using Blocks = std::map<uint32_t, int32_t>;

TEST_F(HfaFreeList, SmallRequestsAndFrees) {
    for (int32_t size = 1; size <= 7; ++size) {
        const uint32_t pos = allocate(size);
        EXPECT_EQ(pos, kNewFileEnd + 8 * (size - 1));
    }
    EXPECT_EQ(khfa_FileSize(file), kNewFileEnd + 56);
    // Blocks too small for a node are not tracked.
    for (int32_t size = 0; size <= 7; ++size) release(kNewFileEnd, size);
    EXPECT_EQ(onDisk(), Blocks{});
    // Space handed out reads as zeros until its user writes it.
    EXPECT_EQ(ktest::readFile(path()).substr(kNewFileEnd), std::string(56, '\0'));
    ktest::Err err;
    EXPECT_EQ(khfa_NextFreePos(file, 0, &err), 0u);
    EXPECT_EQ(ktest::messages(err.r), "Zero or negative size; long integer overflow?");
    refused(err, khfa_NextFreePos(file, -5, &err) == 0u);
    EXPECT_EQ(khfa_FileSize(file), kNewFileEnd + 56);
}

// The growth rules are the model's (random sequences below); here the bytes
// on disk follow the size: a tail block larger than the request by less than
// a node leaves one node's worth free behind it, and the file grows.
TEST_F(HfaFreeList, GrowthFromTheTailBlockReachesTheDisk) {
    const uint32_t a = allocate(150);
    release(a, 150);
    EXPECT_EQ(allocate(146), a);
    EXPECT_EQ(khfa_FileSize(file), kNewFileEnd + 154);
    EXPECT_EQ(onDisk(), (Blocks{{a + 146, 8}}));
    EXPECT_EQ(ktest::readFile(path()).size(), static_cast<size_t>(kNewFileEnd + 154));
}

TEST_F(HfaFreeList, SizeLimit) {
    const int64_t room = KHFA_MAX_END - kNewFileEnd;
    ktest::Err err;
    const std::string before = ktest::readFile(path());
    EXPECT_EQ(khfa_NextFreePos(file, static_cast<int32_t>(room + 1), &err), 0u);
    EXPECT_EQ(ktest::messages(err.r),
              "Cannot allocate free block; resulting file would exceed the OS or KHFA limit");
    EXPECT_EQ(khfa_FileSize(file), kNewFileEnd);
    EXPECT_EQ(ktest::readFile(path()), before);
    // Exactly up to the limit is allowed (the file is sparse); then nothing more.
    EXPECT_EQ(khfa_NextFreePos(file, static_cast<int32_t>(room), &err), kNewFileEnd);
    EXPECT_EQ(khfa_FileSize(file), KHFA_MAX_END);
    refused(err, khfa_NextFreePos(file, 1, &err) == 0u);
    close(file);
    file = nullptr;
    std::filesystem::remove(path());
}

TEST_F(HfaFreeList, RefusesBadFrees) {
    const uint32_t a = allocate(64);
    allocate(64);
    release(a, 64);
    ktest::Err err;
    EXPECT_EQ(khfa_FreeSpace(file, a, 64, &err), -1);  // twice
    EXPECT_EQ(ktest::messages(err.r),
              "Attempting to insert an item that is already in the free list");
    EXPECT_EQ(khfa_FreeSpace(file, a + 8, 16, &err), -1);  // inside a free block
    EXPECT_TRUE(ktest::says(err.r, "overlaps free space"));
    refused(err, khfa_FreeSpace(file, a - 8, 16, &err) == -1);  // reaching into one
    for (uint32_t bad : {0u, 4u, 60u, 70u, static_cast<uint32_t>(kNewFileEnd + 128 - 8)}) {
        EXPECT_EQ(khfa_FreeSpace(file, bad, 16, &err), -1) << bad;  // tag, header, past the end
        EXPECT_TRUE(ktest::says(err.r, "lies outside the free space"));
    }
    EXPECT_EQ(onDisk(), (Blocks{{a, 64}}));
}

TEST_F(HfaFreeList, ShowFreeSpacePrintsEachBlock) {
    const uint32_t a = allocate(16);
    allocate(8);
    const uint32_t b = allocate(24);
    allocate(8);
    release(a, 16);
    release(b, 24);
    testing::internal::CaptureStderr();
    ktest::Err err;
    EXPECT_EQ(khfa_ShowFreeSpace(file, &err), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Pointer 508 is 16 bytes...next @532\nPointer 532 is 24 bytes...next @0\n");
}

// Random sequences of allocations and frees (whole blocks and pieces of
// them), with write-through switched off and on along the way; after every
// phase the list on disk must equal the model's.
TEST_F(HfaFreeList, RandomSequencesMatchTheModel) {
    std::mt19937 rng(20240611);
    Model model;
    std::vector<std::pair<uint32_t, int32_t>> used;  // allocated, not freed
    ktest::Err err;
    for (int phase = 0; phase < 12; ++phase) {
        const bool cached = phase % 3 == 1;
        ASSERT_EQ(cached ? khfa_FileChange(file, off, &err) : 0, 0) << ktest::messages(err.r);
        EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(file), cached ? 1 : 0);
        for (int op = 0; op < 600; ++op) {
            const int kind = static_cast<int>(rng() % 10);
            if (kind < 5 || used.empty()) {
                int32_t size = static_cast<int32_t>(rng() % 300) + 1;
                if (rng() % 20 == 0) size = static_cast<int32_t>(rng() % 5000) + 1;
                const uint32_t expect = model.allocate(size);
                const uint32_t got = khfa_NextFreePos(file, size, &err);
                ASSERT_EQ(got, expect) << "phase " << phase << " op " << op << " size " << size
                                       << " " << ktest::messages(err.r);
                used.emplace_back(got, std::max(size, 8));
            } else {
                const size_t i = rng() % used.size();
                auto [pos, size] = used[i];
                used.erase(used.begin() + static_cast<long>(i));
                if (kind == 9 && size > 24) {
                    // Free a piece from the middle; keep both ends in use.
                    const int32_t from =
                        static_cast<int32_t>(rng() % static_cast<uint32_t>(size / 2)) + 1;
                    const int32_t length =
                        static_cast<int32_t>(rng() % static_cast<uint32_t>(size - from - 1)) + 1;
                    used.emplace_back(pos, from);
                    used.emplace_back(pos + static_cast<uint32_t>(from + length),
                                      size - from - length);
                    pos += static_cast<uint32_t>(from);
                    size = length;
                }
                model.release(pos, size);
                ASSERT_EQ(khfa_FreeSpace(file, pos, size, &err), 0) << ktest::messages(err.r);
            }
            ASSERT_EQ(khfa_FileSize(file), model.end);
        }
        ASSERT_EQ(khfa_FileFreeSpaceSize(file, &err), model.total());
        if (cached) {
            // While cached, the nodes on disk are not kept up to date.
            ASSERT_EQ(khfa_FileChange(file, on, &err), 0) << ktest::messages(err.r);
        }
        ASSERT_EQ(onDisk(), model.free) << "phase " << phase;
    }
    for (auto [pos, size] : used) {
        model.release(pos, size);
        release(pos, size);
    }
    EXPECT_EQ(onDisk(), model.free);
}

TEST_F(HfaFreeList, WriteThroughOffDefersHeaderAndNodesUntilOnOrClose) {
    const uint32_t a = allocate(64);
    allocate(8);
    const uint32_t b = allocate(64);
    allocate(8);
    release(a, 64);
    EXPECT_EQ(onDisk(), (Blocks{{a, 64}}));
    ktest::Err err;
    ASSERT_EQ(khfa_FileChange(file, off, &err), 0);
    EXPECT_EQ(khfa_FileChange(file, off, &err), 0);  // already off
    release(b, 64);
    EXPECT_EQ(allocate(64), a);  // from the cache
    // The disk still shows the list as it was when write-through went off.
    EXPECT_EQ(diskBlocks(path()), (Blocks{{a, 64}}));
    const uint32_t c = allocate(1000);
    EXPECT_EQ(khfa_FileSize(file), c + 1000);
    // A header that disagrees with the cache keeps write-through off.
    const uint32_t head = file->header.freeList;
    file->header.freeList = head + 8;
    EXPECT_EQ(khfa_FileChange(file, on, &err), -1);
    EXPECT_TRUE(ktest::says(
        err.r, "Inconsistency detected - position of first cached node not same as free list"));
    EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(file), 1);
    file->header.freeList = head;
    ASSERT_EQ(khfa_FileChange(file, on, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(khfa_FileIsNotFlushedOnWrite(file), 0);
    EXPECT_EQ(onDisk(), (Blocks{{b, 64}}));
    // Closing with write-through off writes the cached list back.
    ASSERT_EQ(khfa_FileChange(file, off, &err), 0);
    release(a, 64);
    close(file);
    file = nullptr;
    EXPECT_EQ(diskBlocks(path()), (Blocks{{a, 64}, {b, 64}}));
}

// Threads sharing one handle allocate and free at once: the blocks they
// hold never overlap, and what is neither held nor free is exactly what the
// file held at the start.
TEST_F(HfaFreeList, ThreadsShareAHandle) {
    constexpr int kThreads = 4;
    std::vector<std::vector<std::pair<uint32_t, int32_t>>> held(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) + 1);
            auto &mine = held[static_cast<size_t>(t)];
            for (int i = 0; i < 400; ++i) {
                if (mine.empty() || rng() % 3) {
                    const int32_t size = 8 + static_cast<int32_t>(rng() % 120);
                    const uint32_t pos = khfa_NextFreePos(file, size, nullptr);
                    ASSERT_NE(pos, 0u);
                    mine.emplace_back(pos, size);
                } else {
                    const size_t k = rng() % mine.size();
                    ASSERT_EQ(khfa_FreeSpace(file, mine[k].first, mine[k].second, nullptr), 0);
                    mine.erase(mine.begin() + static_cast<long>(k));
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    Blocks all = onDisk();
    int64_t covered = 0;
    for (auto &b : all) covered += b.second;
    for (auto &mine : held)
        for (auto [pos, size] : mine) {
            all[pos] = size;
            covered += size;
        }
    int64_t end = kNewFileEnd;
    for (auto &b : all) {
        EXPECT_EQ(b.first, end) << "gap or overlap";
        end = b.first + int64_t{b.second};
    }
    EXPECT_EQ(end, khfa_FileSize(file));
    EXPECT_EQ(covered, khfa_FileSize(file) - kNewFileEnd);
}

// A file whose free list was written by someone else.
class HfaCorruptList : public HfaTest {
  protected:
    // A new file, grown by 400 bytes, with the given free blocks written
    // in: {position, next, size}.
    Khfa_File *make(const std::vector<std::array<uint32_t, 3>> &nodes, uint32_t first) {
        close(create(path()));
        std::string bytes = ktest::readFile(path());
        bytes.resize(kNewFileEnd + 400, '\0');
        put32(bytes, 64 + 4, first);
        for (auto &n : nodes) {
            put32(bytes, n[0], n[1]);
            put32(bytes, n[0] + 4, n[2]);
        }
        ktest::writeFile(path(), bytes);
        ktest::Err err;
        Khfa_File *f = khfa_FileOpen(path().c_str(), "r+", nullptr, &err);
        EXPECT_NE(f, nullptr) << ktest::messages(err.r);
        return f;
    }
};

TEST_F(HfaCorruptList, LoopsAndBadLinksEndTheWalk) {
    const uint32_t p = kNewFileEnd, q = kNewFileEnd + 100;
    struct Case {
        const char *what;
        std::vector<std::array<uint32_t, 3>> nodes;
        uint32_t first;
        int64_t sum;  // of the blocks before the bad link
    };
    const Case cases[] = {
        {"self loop", {{p, p, 40}}, p, 40},
        {"backward", {{p, q, 40}, {q, p, 40}}, p, 80},
        {"overlap", {{p, p + 20, 40}, {p + 20, 0, 40}}, p, 40},
        {"beyond end", {{p, 0x7FFFFF00u, 40}}, p, 40},
        {"header beyond end", {}, 0xFFFFFFF0u, 0},
        {"into the tag", {}, 8, 0},
        {"into the header", {}, 60, 0},
        {"negative size", {{p, q, 40}, {q, 0, 0xFFFFFFF0u}}, p, 40},
        {"size beyond end", {{p, q, 40}, {q, 0, 0x7FFFFFF0}}, p, 40},
        {"small size", {{p, 0, 4}}, p, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Khfa_File *f = make(c.nodes, c.first);
        ASSERT_NE(f, nullptr);
        ktest::Err err;
        EXPECT_EQ(khfa_FileFreeSpaceSize(f, &err), c.sum);
        EXPECT_EQ(ktest::messages(err.r), "Corrupt free list");
        testing::internal::CaptureStderr();
        EXPECT_EQ(khfa_ShowFreeSpace(f, &err), 0);
        const std::string shown = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(ktest::contains(shown, "Corrupt file!\n")) << shown;
        // Allocation treats the bad link as the end of the list and warns.
        testing::internal::CaptureStderr();
        err.reset();
        const uint32_t pos = khfa_NextFreePos(f, 500, &err);
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.r, nullptr) << ktest::messages(err.r);
        EXPECT_GE(pos, static_cast<uint32_t>(kNewFileEnd));
        EXPECT_TRUE(ktest::contains(printed, "Free list corruption detected")) << printed;
        // Freeing cuts the bad part off: the list is sound again.
        testing::internal::CaptureStderr();
        EXPECT_EQ(khfa_FreeSpace(f, pos, 500, &err), 0) << ktest::messages(err.r);
        testing::internal::GetCapturedStderr();
        EXPECT_GE(khfa_FileFreeSpaceSize(f, &err), 500);
        EXPECT_EQ(err.r, nullptr) << ktest::messages(err.r);
        close(f);
        EXPECT_TRUE(readDiskList(ktest::readFile(path())).ok);
    }
}

}  // namespace
