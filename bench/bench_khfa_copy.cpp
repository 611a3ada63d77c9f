// Copying a 1 GiB HFA file (1,024 entries of 1 MiB objects in a tree of 32
// x 32) entry by entry against cp of the same file, and against cp followed
// by a sync of the copy (closing an HFA file syncs it). Each run starts
// with no dirty data in the system (sync outside the timing).
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kParents = 32;
constexpr int kChildren = 32;
constexpr int32_t kObjectSize = 1 << 20;

std::string scratch(const char *tag) {
    kint_InitToolkit(nullptr);
    char *t = kfio_TempNameInTmpdir(tag, nullptr);
    std::string name = std::string(t ? t : "/tmp/bench_copy") + ".hfa";
    kmsc_HeapFree(t);
    return name;
}

// The source file, written once; removed at exit.
class Source {
  public:
    Source() : name_(scratch("bench_copy_src.")) {
        Khfa_File *f = khfa_FileCreate(name_.c_str(), nullptr, nullptr);
        const Kmif_Design *d =
            kmif_DesignCreate(khfa_FileDictionary(f), "Bench_Block", KMIF_TYPE_U8 | KMIF_FLAG_COUNT,
                              "bytes", kObjectSize, 0, nullptr);
        std::vector<unsigned char> block(kObjectSize);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
        char n[32];
        for (int p = 0; p < kParents; ++p) {
            snprintf(n, sizeof n, "p%d", p);
            khfa_ObjectWrite(f, ":", n, "Bench_Block", KHFA_WRITE_LAST_CHILD, block.data(), d,
                             nullptr);
            const std::string parent = std::string(":") + n;
            for (int c = 1; c < kChildren; ++c) {
                snprintf(n, sizeof n, "c%d", c);
                khfa_ObjectWrite(f, parent.c_str(), n, "Bench_Block", KHFA_WRITE_LAST_CHILD,
                                 block.data(), d, nullptr);
            }
        }
        khfa_FileClose(f, nullptr);
    }
    ~Source() { remove(name_.c_str()); }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
};

const Source &source() {
    static Source s;
    return s;
}

void settle(benchmark::State &state) {
    state.PauseTiming();
    if (system("sync") != 0) state.SkipWithError("sync failed");
    state.ResumeTiming();
}

void BM_Baseline_Cp(benchmark::State &state) {
    const std::string to = scratch("bench_copy_cp.");
    std::string command = "cp '" + source().name() + "' '" + to + "'";
    if (state.range(0)) command += " && sync '" + to + "'";
    for (auto _ : state) {
        settle(state);
        if (system(command.c_str()) != 0) state.SkipWithError("cp failed");
    }
    state.SetBytesProcessed(int64_t{kParents} * kChildren * kObjectSize * state.iterations());
    remove(to.c_str());
}

void BM_FileCopy(benchmark::State &state) {
    const std::string to = scratch("bench_copy_hfa.");
    for (auto _ : state) {
        settle(state);
        if (khfa_FileCopy(source().name().c_str(), to.c_str(), nullptr, nullptr, 0) != 0)
            state.SkipWithError("copy failed");
    }
    state.SetBytesProcessed(int64_t{kParents} * kChildren * kObjectSize * state.iterations());
    remove(to.c_str());
}

}  // namespace

BENCHMARK(BM_Baseline_Cp)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_FileCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
