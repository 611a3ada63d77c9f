// Descriptor tables: bins of 16 M f64 values through
// kdsc_BinFunctionApplyToValues for the Linear and Direct kinds against a
// hand loop of the same formula, and reading a 1,000,000-row real column
// against a raw pread of its bytes.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <vector>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace {

constexpr int32_t kValues = 16 * 1024 * 1024;
constexpr int32_t kRows = 1000000;
constexpr int32_t kBins = 256;

struct Values {
    Kgda_BaseData *values = nullptr, *bins = nullptr;
    Values() {
        kint_InitToolkit(nullptr);
        values = kgda_BaseDataCreate(kValues / 4096, 4096, KGDA_TYPE_F64, KGDA_RASTER_OBJECT,
                                     nullptr, nullptr);
        bins = kgda_BaseDataCreate(kValues / 4096, 4096, KGDA_TYPE_S32, KGDA_RASTER_OBJECT, nullptr,
                                   nullptr);
        if (!values || !bins) abort();
        std::mt19937_64 gen(3);
        std::uniform_real_distribution<double> dist(-10, 266);
        auto *v = reinterpret_cast<double *>(values->windowStart);
        for (int32_t i = 0; i < kValues; ++i) v[i] = dist(gen);
    }
};

Values &data() {
    static Values v;
    return v;
}

// The upper end of the linear range: max widened by one unit in the last
// place, as the kind computes it.
double widened(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const int e = static_cast<int>((b >> 52) & 0x7FF);
    return e <= 52 ? x : x + std::ldexp(1.0, e - 1075);
}

void applyToValues(benchmark::State &state) {
    Values &d = data();
    Kdsc_BinFunction *f = state.range(0) ? kdsc_BinFunctionCreateLinear(kBins, 0, 255, nullptr)
                                         : kdsc_BinFunctionCreateDirect(kBins, 0, nullptr);
    for (auto _ : state) {
        if (kdsc_BinFunctionApplyToValues(f, d.values, d.bins, nullptr) != 0)
            state.SkipWithError("failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kValues);
    kdsc_BinFunctionDelete(f, nullptr);
}
BENCHMARK(applyToValues)->Arg(0)->Arg(1)->ArgName("linear")->Unit(benchmark::kMillisecond);

void handLoop(benchmark::State &state) {
    Values &d = data();
    const bool linear = state.range(0) != 0;
    const double lo = 0, width = widened(255) - 0, n = kBins;
    const double *v = reinterpret_cast<const double *>(d.values->windowStart);
    int32_t *out = reinterpret_cast<int32_t *>(d.bins->windowStart);
    for (auto _ : state) {
        for (int32_t i = 0; i < kValues; ++i) {
            const double k = linear ? std::floor((v[i] - lo) * n / width) : std::floor(v[i] - lo);
            out[i] = !(k >= 0) ? -1 : k > n ? kBins : static_cast<int32_t>(k);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(handLoop)->Arg(0)->Arg(1)->ArgName("linear")->Unit(benchmark::kMillisecond);

struct ColumnFile {
    std::string name;
    Khfa_File *file = nullptr;
    Kdsc_Table *table = nullptr;
    Kdsc_Column *column = nullptr;
    uint32_t dataPtr = 0;
    ColumnFile() {
        kint_InitToolkit(nullptr);
        name = (std::filesystem::temp_directory_path() /
                ("kraster-bench-kdsc-" + std::to_string(getpid()) + ".hfa"))
                   .string();
        file = khfa_FileCreate(name.c_str(), nullptr, nullptr);
        table = file ? kdsc_TableCreate(file, ":Table", kRows, nullptr, nullptr) : nullptr;
        column = table ? kdsc_ColumnCreate(table, "Values", KDSC_COLUMN_REAL, 0, nullptr) : nullptr;
        Kgda_BaseData *b =
            kgda_BaseDataCreate(kRows, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, nullptr);
        if (!column || !b) abort();
        for (int32_t i = 0; i < kRows; ++i) reinterpret_cast<double *>(b->windowStart)[i] = i;
        if (kdsc_ColumnWrite(column, 0, kRows, b, nullptr) != 0) abort();
        kgda_BaseDataDelete(b, nullptr);
        khfa_FileFlush(file, nullptr);
        // The element position, from the stored column record.
        const Kmif_Design *d = kdsc_DesignGet("Kdsc_Column", nullptr);
        struct {
            int32_t numRows;
            uint32_t ptr;
            int32_t type, width;
        } rec{}, *p = &rec;
        void *o = p;
        if (khfa_ObjectRead(file, ":Table:Values", nullptr, 0, &o, d, nullptr) != 0) abort();
        dataPtr = rec.ptr;
    }
    ~ColumnFile() {
        kdsc_TableClose(table, nullptr);
        khfa_FileClose(file, nullptr);
        std::filesystem::remove(name);
    }
};

ColumnFile &columnFile() {
    static ColumnFile c;
    return c;
}

void columnRead(benchmark::State &state) {
    ColumnFile &c = columnFile();
    Kgda_BaseData *b =
        kgda_BaseDataCreate(kRows, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, nullptr);
    for (auto _ : state)
        if (!kdsc_ColumnRead(c.column, 0, kRows, b, nullptr)) state.SkipWithError("failed");
    state.SetBytesProcessed(state.iterations() * int64_t{kRows} * 8);
    kgda_BaseDataDelete(b, nullptr);
}
BENCHMARK(columnRead)->Unit(benchmark::kMillisecond);

void rawRead(benchmark::State &state) {
    ColumnFile &c = columnFile();
    const int fd = open(c.name.c_str(), O_RDONLY);
    std::vector<double> buffer(kRows);
    for (auto _ : state)
        if (pread(fd, buffer.data(), kRows * 8, c.dataPtr) != kRows * 8)
            state.SkipWithError("failed");
    state.SetBytesProcessed(state.iterations() * int64_t{kRows} * 8);
    close(fd);
}
BENCHMARK(rawRead)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
