// HFA free list: first-fit allocation and merging frees over a list of 200
// holes, with write-through on (nodes read and written through the file) and
// off (the list cached in memory), against the same policy on a std::map.
// Also entry-sized reads at positions against raw pread.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kHoles = 200;

std::string tempName(const char *tag) {
    static int n = 0;
    return (std::filesystem::temp_directory_path() /
            ("kraster-bench-khfa-" + std::to_string(getpid()) + "-" + tag + std::to_string(n++)))
        .string();
}

// A file with 200 free holes of 64 bytes and, after them, one of 256: a
// request of 200 bytes walks past every hole to the last one.
Khfa_File *holeyFile(const std::string &name) {
    kint_InitToolkit(nullptr);
    Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
    if (!f) abort();
    std::vector<uint32_t> holes;
    for (int i = 0; i <= kHoles; ++i) {
        holes.push_back(khfa_NextFreePos(f, i == kHoles ? 256 : 64, nullptr));
        khfa_NextFreePos(f, 16, nullptr);  // keeps the holes apart
    }
    for (int i = 0; i <= kHoles; ++i)
        if (khfa_FreeSpace(f, holes[static_cast<size_t>(i)], i == kHoles ? 256 : 64, nullptr))
            abort();
    return f;
}

void allocateAndFree(benchmark::State &state) {
    const bool cached = state.range(0) != 0;
    const std::string name = tempName("alloc");
    Khfa_File *f = holeyFile(name);
    const intptr_t off[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
    if (cached && khfa_FileChange(f, off, nullptr) != 0) abort();
    for (auto _ : state) {
        const uint32_t pos = khfa_NextFreePos(f, 200, nullptr);
        if (!pos || khfa_FreeSpace(f, pos, 200, nullptr) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(pos);
    }
    khfa_FileClose(f, nullptr);
    std::filesystem::remove(name);
}
BENCHMARK(allocateAndFree)->Arg(0)->Arg(1)->ArgName("cached");

// The same first fit, split and merge on a std::map of the holes.
void mapModel(benchmark::State &state) {
    std::map<uint32_t, int32_t> free;
    uint32_t at = 508;
    for (int i = 0; i <= kHoles; ++i) {
        free[at] = i == kHoles ? 256 : 64;
        at += static_cast<uint32_t>(free[at]) + 16;
    }
    for (auto _ : state) {
        uint32_t pos = 0;
        for (auto it = free.begin(); it != free.end(); ++it)
            if (it->second == 200 || it->second >= 208) {
                pos = it->first;
                const int32_t rest = it->second - 200;
                free.erase(it);
                free[pos + 200] = rest;
                break;
            }
        auto next = free.lower_bound(pos);
        const int32_t size = 200 + next->second;
        free.erase(next);
        free[pos] = size;
        benchmark::DoNotOptimize(pos);
    }
}
BENCHMARK(mapModel);

// 128-byte reads at random positions of a file of 4096 entries.
constexpr int kEntries = 4096;

void entryReads(benchmark::State &state) {
    const std::string name = tempName("read");
    kint_InitToolkit(nullptr);
    Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
    const uint32_t base = khfa_NextFreePos(f, kEntries * 128, nullptr);
    khfa_FileFlush(f, nullptr);
    std::mt19937 rng(7);
    unsigned char record[128];
    for (auto _ : state) {
        const uint32_t pos = base + 128 * (rng() % kEntries);
        if (khfa_FileMIFDataRead(f, pos, 128, record, nullptr) != 128)
            state.SkipWithError("failed");
        benchmark::DoNotOptimize(record);
    }
    khfa_FileClose(f, nullptr);
    std::filesystem::remove(name);
}
BENCHMARK(entryReads);

void entryPreads(benchmark::State &state) {
    const std::string name = tempName("pread");
    kint_InitToolkit(nullptr);
    Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
    const uint32_t base = khfa_NextFreePos(f, kEntries * 128, nullptr);
    khfa_FileClose(f, nullptr);
    const int d = open(name.c_str(), O_RDONLY);
    std::mt19937 rng(7);
    unsigned char record[128];
    for (auto _ : state) {
        const off_t pos = base + 128 * (rng() % kEntries);
        if (pread(d, record, 128, pos) != 128) state.SkipWithError("failed");
        benchmark::DoNotOptimize(record);
    }
    close(d);
    std::filesystem::remove(name);
}
BENCHMARK(entryPreads);

}  // namespace

BENCHMARK_MAIN();
