// Object encoding throughput: a record holding a 1,000,000-element 'pd'
// array encoded and decoded in memory against memcpy of the same bytes, and
// packing and unpacking of 1-, 2- and 4-bit arrays (in host bytes per
// second). Rates are measured in wall-clock time.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstring>
#include <vector>

namespace {

constexpr int32_t kDoubles = 1000000;
constexpr int32_t kBitValues = 8 * 1000 * 1000;

struct Setup {
    Kmif_Dictionary *dictionary = nullptr;
    Setup() {
        kint_InitToolkit(nullptr);
        dictionary = kmif_DictionaryDecodeFromString(
            "{0:pdv,}Doubles,{0:p1v,}U1,{0:p2v,}U2,{0:p4v,}U4,.", nullptr);
    }
    const Kmif_Design *design(const char *name) const {
        return kmif_DictionarySearchByName(dictionary, name, nullptr);
    }
};

const Setup &setup() {
    static const Setup s;
    return s;
}

void BM_Memcpy(benchmark::State &state) {
    std::vector<double> source(kDoubles, 1.5);
    std::vector<unsigned char> destination(sizeof(double) * kDoubles);
    for (auto _ : state) {
        memcpy(destination.data(), source.data(), destination.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kDoubles} * 8);
}
BENCHMARK(BM_Memcpy)->UseRealTime();

void BM_EncodeDoubles(benchmark::State &state) {
    const Kmif_Design *design = setup().design("Doubles");
    std::vector<double> values(kDoubles);
    for (int32_t i = 0; i < kDoubles; ++i) values[i] = i * 0.25;
    Kmif_String record{kDoubles, reinterpret_cast<char *>(values.data())};
    std::vector<unsigned char> out(8 + sizeof(double) * kDoubles);
    for (auto _ : state) {
        const int32_t n = kmif_ConvertToMIFEx(nullptr, &record, design, out.data(),
                                              static_cast<int64_t>(out.size()), 0, nullptr);
        if (n != static_cast<int32_t>(out.size())) state.SkipWithError("encoding failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kDoubles} * 8);
}
BENCHMARK(BM_EncodeDoubles)->UseRealTime();

std::vector<unsigned char> encoded(const Kmif_Design *design, int32_t count, size_t elementBytes,
                                   unsigned char mask) {
    std::vector<unsigned char> values(static_cast<size_t>(count) * elementBytes);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<unsigned char>(i * 37) & mask;
    Kmif_String record{count, reinterpret_cast<char *>(values.data())};
    const int32_t size = kmif_ObjectSize(&record, design, nullptr);
    std::vector<unsigned char> out(static_cast<size_t>(size));
    kmif_ConvertToMIFEx(nullptr, &record, design, out.data(), size, 0, nullptr);
    return out;
}

// Decodes into an object whose array already has the right size (filled in
// place), the way a reader that keeps its record decodes entry after entry.
void BM_DecodeDoubles(benchmark::State &state) {
    const Kmif_Design *design = setup().design("Doubles");
    const std::vector<unsigned char> bytes = encoded(design, kDoubles, 8, 0xFF);
    void *object = nullptr;
    for (auto _ : state) {
        const int32_t n = kmif_ConvertToHostEx(
            nullptr, bytes.data(), static_cast<int64_t>(bytes.size()), design, &object, nullptr);
        if (n != static_cast<int32_t>(bytes.size())) state.SkipWithError("decoding failed");
        benchmark::ClobberMemory();
    }
    kmif_ObjectFree(&object, design, nullptr);
    state.SetBytesProcessed(state.iterations() * int64_t{kDoubles} * 8);
}
BENCHMARK(BM_DecodeDoubles)->UseRealTime();

// Decodes into a new object each time (allocation of the 8 MB array included).
void BM_DecodeDoublesFresh(benchmark::State &state) {
    const Kmif_Design *design = setup().design("Doubles");
    const std::vector<unsigned char> bytes = encoded(design, kDoubles, 8, 0xFF);
    for (auto _ : state) {
        void *object = nullptr;
        kmif_ConvertToHostEx(nullptr, bytes.data(), static_cast<int64_t>(bytes.size()), design,
                             &object, nullptr);
        benchmark::DoNotOptimize(object);
        kmif_ObjectFree(&object, design, nullptr);
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kDoubles} * 8);
}
BENCHMARK(BM_DecodeDoublesFresh)->UseRealTime();

void BM_Pack(benchmark::State &state) {
    const int bits = static_cast<int>(state.range(0));
    const Kmif_Design *design = setup().design(bits == 1 ? "U1" : bits == 2 ? "U2" : "U4");
    std::vector<unsigned char> values(kBitValues);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<unsigned char>(i * 37) & ((1 << bits) - 1);
    Kmif_String record{kBitValues, reinterpret_cast<char *>(values.data())};
    std::vector<unsigned char> out(8 + static_cast<size_t>(kBitValues) * bits / 8);
    for (auto _ : state) {
        kmif_ConvertToMIFEx(nullptr, &record, design, out.data(), static_cast<int64_t>(out.size()),
                            0, nullptr);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kBitValues});
}
BENCHMARK(BM_Pack)->Arg(1)->Arg(2)->Arg(4)->UseRealTime();

void BM_Unpack(benchmark::State &state) {
    const int bits = static_cast<int>(state.range(0));
    const Kmif_Design *design = setup().design(bits == 1 ? "U1" : bits == 2 ? "U2" : "U4");
    const std::vector<unsigned char> bytes =
        encoded(design, kBitValues, 1, static_cast<unsigned char>((1 << bits) - 1));
    void *object = nullptr;
    for (auto _ : state) {
        kmif_ConvertToHostEx(nullptr, bytes.data(), static_cast<int64_t>(bytes.size()), design,
                             &object, nullptr);
        benchmark::ClobberMemory();
    }
    kmif_ObjectFree(&object, design, nullptr);
    state.SetBytesProcessed(state.iterations() * int64_t{kBitValues});
}
BENCHMARK(BM_Unpack)->Arg(1)->Arg(2)->Arg(4)->UseRealTime();

// Packing through a file handle goes through the per-thread work buffer.
void BM_PackToFile(benchmark::State &state) {
    const Kmif_Design *design = setup().design("U1");
    std::vector<unsigned char> values(kBitValues);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<unsigned char>(i & 1);
    Kmif_String record{kBitValues, reinterpret_cast<char *>(values.data())};
    Kfio_Fd *fd = kfio_Open("nul", "w", nullptr);
    for (auto _ : state) {
        kfio_Seek64(fd, 0, 0, nullptr);
        kmif_ConvertToMIF(fd, &record, design, nullptr, nullptr);
    }
    kfio_Close(fd, nullptr);
    state.SetBytesProcessed(state.iterations() * int64_t{kBitValues});
}
BENCHMARK(BM_PackToFile)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
