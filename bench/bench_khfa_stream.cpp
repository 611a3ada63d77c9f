// Writing and reading a 256 MiB block stream inside an HFA file against
// writing and reading the same bytes through the buffered file layer, in
// the same pieces.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t kStreamSize = int32_t{256} << 20;

std::string scratch(const char *tag) {
    kint_InitToolkit(nullptr);
    char *t = kfio_TempNameInTmpdir(tag, nullptr);
    std::string name = std::string(t ? t : "/tmp/bench_stream") + ".hfa";
    kmsc_HeapFree(t);
    return name;
}

std::vector<unsigned char> piece(size_t n) {
    std::vector<unsigned char> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(i * 31 + 7);
    return p;
}

void BM_Baseline_KfioWrite(benchmark::State &state) {
    const std::string name = scratch("bench_stream_kfio.");
    const auto size = static_cast<int32_t>(state.range(0));
    const std::vector<unsigned char> p = piece(static_cast<size_t>(size));
    for (auto _ : state) {
        Kfio_Fd *fd = kfio_Open(name.c_str(), "w+b", nullptr);
        for (int32_t at = 0; at < kStreamSize; at += size)
            if (kfio_WriteSeq(fd, p.data(), p.size(), nullptr) != p.size())
                state.SkipWithError("short write");
        kfio_Close(fd, nullptr);
    }
    state.SetBytesProcessed(int64_t{kStreamSize} * state.iterations());
    remove(name.c_str());
}

void BM_StreamWrite(benchmark::State &state) {
    const std::string name = scratch("bench_stream.");
    const std::string node = name + "(:stream)";
    const auto size = static_cast<int32_t>(state.range(0));
    const std::vector<unsigned char> p = piece(static_cast<size_t>(size));
    for (auto _ : state) {
        remove(name.c_str());
        Khfa_Cache *s = khfa_CacheCreate(nullptr, node.c_str(), nullptr, nullptr);
        for (int32_t at = 0; at < kStreamSize; at += size)
            if (khfa_CacheWrite(s, p.data(), size, nullptr) != size)
                state.SkipWithError("short write");
        if (khfa_CacheClose(s, nullptr) != 0) state.SkipWithError("close failed");
    }
    state.SetBytesProcessed(int64_t{kStreamSize} * state.iterations());
    remove(name.c_str());
}

void BM_Baseline_KfioRead(benchmark::State &state) {
    const std::string name = scratch("bench_stream_kfio_r.");
    const auto size = static_cast<int32_t>(state.range(0));
    std::vector<unsigned char> p = piece(static_cast<size_t>(size));
    Kfio_Fd *fd = kfio_Open(name.c_str(), "w+b", nullptr);
    for (int32_t at = 0; at < kStreamSize; at += size)
        kfio_WriteSeq(fd, p.data(), p.size(), nullptr);
    kfio_Close(fd, nullptr);
    for (auto _ : state) {
        fd = kfio_Open(name.c_str(), "rb", nullptr);
        for (int32_t at = 0; at < kStreamSize; at += size)
            if (kfio_ReadSeq(fd, p.data(), p.size(), nullptr) != p.size())
                state.SkipWithError("short read");
        kfio_Close(fd, nullptr);
    }
    state.SetBytesProcessed(int64_t{kStreamSize} * state.iterations());
    remove(name.c_str());
}

void BM_StreamRead(benchmark::State &state) {
    const std::string name = scratch("bench_stream_r.");
    const std::string node = name + "(:stream)";
    const auto size = static_cast<int32_t>(state.range(0));
    std::vector<unsigned char> p = piece(static_cast<size_t>(size));
    Khfa_Cache *s = khfa_CacheCreate(nullptr, node.c_str(), nullptr, nullptr);
    for (int32_t at = 0; at < kStreamSize; at += size) khfa_CacheWrite(s, p.data(), size, nullptr);
    khfa_CacheClose(s, nullptr);
    for (auto _ : state) {
        s = khfa_CacheOpen(nullptr, node.c_str(), nullptr, nullptr);
        for (int32_t at = 0; at < kStreamSize; at += size)
            if (khfa_CacheRead(s, p.data(), size, nullptr) != size)
                state.SkipWithError("short read");
        khfa_CacheFree(s, nullptr);
    }
    state.SetBytesProcessed(int64_t{kStreamSize} * state.iterations());
    remove(name.c_str());
}

}  // namespace

BENCHMARK(BM_Baseline_KfioWrite)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StreamWrite)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Baseline_KfioRead)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StreamRead)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
