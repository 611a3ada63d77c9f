// Building an HFA entry tree of 100,000 entries (1,000 parents x 100
// children) against the least the file needs for the same records: one
// 128-byte allocation and write per entry. Also path seeks to known entries.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kParents = 1000;
constexpr int kChildren = 100;
constexpr int kEntries = kParents * (kChildren + 1);

std::string scratch(const char *tag) {
    kint_InitToolkit(nullptr);
    char *t = kfio_TempNameInTmpdir(tag, nullptr);
    std::string name = std::string(t ? t : "/tmp/bench_tree") + ".hfa";
    kmsc_HeapFree(t);
    return name;
}

void setWriteThrough(Khfa_File *f, int on) {
    const intptr_t options[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, on, 0};
    khfa_FileChange(f, options, nullptr);
}

Khfa_File *buildTree(const std::string &name, bool writeThrough) {
    Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
    if (!writeThrough) setWriteThrough(f, 0);
    char n[32];
    for (int p = 0; p < kParents; ++p) {
        khfa_EntrySeek(f, KHFA_SEEK_ROOT, nullptr, nullptr);
        snprintf(n, sizeof n, "parent%d", p);
        khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, n, "Parent", nullptr);
        for (int c = 0; c < kChildren; ++c) {
            snprintf(n, sizeof n, "child%d", c);
            khfa_EntryWrite(f, c == 0 ? KHFA_WRITE_LAST_CHILD : KHFA_WRITE_NEXT, n, "Child",
                            nullptr);
        }
    }
    return f;
}

void BM_Baseline_AllocateAndWrite128(benchmark::State &state) {
    const std::string name = scratch("bench_tree_base.");
    unsigned char record[128] = {};
    for (auto _ : state) {
        Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
        for (int i = 0; i < kEntries; ++i) {
            const uint32_t pos = khfa_NextFreePos(f, 128, nullptr);
            khfa_FileMIFDataWrite(f, pos, 128, record, nullptr);
        }
        khfa_FileClose(f, nullptr);
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(kEntries) * state.iterations(), benchmark::Counter::kIsRate);
    remove(name.c_str());
}

void BM_BuildTree(benchmark::State &state) {
    const std::string name = scratch("bench_tree.");
    const bool writeThrough = state.range(0) != 0;
    for (auto _ : state) khfa_FileClose(buildTree(name, writeThrough), nullptr);
    state.counters["entries/s"] =
        benchmark::Counter(double(kEntries) * state.iterations(), benchmark::Counter::kIsRate);
    remove(name.c_str());
}

// The same tree appended in the order batch mode allows (first child, then
// next siblings, then back to the parent), with the entry cache on
// (range 0) and in batch mode (range 1).
void BM_AppendTree(benchmark::State &state) {
    const std::string name = scratch("bench_tree_append.");
    const bool batch = state.range(0) != 0;
    char n[32];
    for (auto _ : state) {
        Khfa_File *f = khfa_FileCreate(name.c_str(), nullptr, nullptr);
        if (batch) {
            const intptr_t options[] = {KHFA_FILE_OPTION_CACHE, 0, 0};
            khfa_FileChange(f, options, nullptr);
        }
        for (int p = 0; p < kParents; ++p) {
            snprintf(n, sizeof n, "parent%d", p);
            khfa_EntryWrite(f, p == 0 ? KHFA_WRITE_FIRST_CHILD : KHFA_WRITE_NEXT, n, "Parent",
                            nullptr);
            for (int c = 0; c < kChildren; ++c) {
                snprintf(n, sizeof n, "child%d", c);
                khfa_EntryWrite(f, c == 0 ? KHFA_WRITE_FIRST_CHILD : KHFA_WRITE_NEXT, n, "Child",
                                nullptr);
            }
            khfa_EntrySeek(f, KHFA_SEEK_PARENT, nullptr, nullptr);
        }
        if (batch) {
            const intptr_t options[] = {KHFA_FILE_OPTION_CACHE, 1, 0};
            khfa_FileChange(f, options, nullptr);
        }
        khfa_FileClose(f, nullptr);
    }
    state.counters["entries/s"] =
        benchmark::Counter(double(kEntries) * state.iterations(), benchmark::Counter::kIsRate);
    remove(name.c_str());
}

void BM_SeekKnownPath(benchmark::State &state) {
    const std::string name = scratch("bench_tree_seek.");
    Khfa_File *f = buildTree(name, false);
    char path[64];
    int i = 0;
    for (auto _ : state) {
        snprintf(path, sizeof path, ":parent%d:child%d", (i * 7) % kParents, i % kChildren);
        benchmark::DoNotOptimize(khfa_EntrySeek(f, KHFA_SEEK_PATH, path, nullptr));
        ++i;
    }
    khfa_FileClose(f, nullptr);
    remove(name.c_str());
}

}  // namespace

BENCHMARK(BM_Baseline_AllocateAndWrite128)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_BuildTree)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_AppendTree)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SeekKnownPath);
BENCHMARK_MAIN();
