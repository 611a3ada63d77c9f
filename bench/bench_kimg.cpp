// Image files: opening and closing an identified file through kimg_FileOpen
// (served by the close queue) against a raw open and close of the same file;
// building the plug-in table of 20 plug-ins from the database (none loaded)
// against scanning them at run time (all loaded).
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// A directory with 20 copies of the bench plug-in and one file of its format.
struct Setup {
    fs::path root = fs::temp_directory_path() / ("kraster-bench-kimg-" + std::to_string(getpid()));
    std::string file = (root / "image.bnc").string();
    Setup() {
        fs::create_directories(root / "plugins");
        for (int i = 0; i < 20; ++i) {
            char name[32];
            snprintf(name, sizeof name, "librfbench%02d.so", i);
            fs::copy_file(KRASTER_RF_BENCH_PLUGIN, root / "plugins" / name);
        }
        std::ofstream(file) << "BNCH and some bytes";
        setenv("ORVEL_RASTER_FORMATS_PATH", (root / "plugins").c_str(), 1);
        setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        kint_InitToolkit(nullptr);
        kpmg_PutBooleanPreference("orvel", "dll_runtime_scan", 0, nullptr);
        kimg_RasterFormatsReset();
        long n = 0;
        char **t = nullptr, **p = nullptr;
        kimg_RasterFormatsFilterTableGet(&n, &t, &p, nullptr);  // writes the database
        for (long i = 0; i < n; ++i) kmsc_HeapFree(t[i]), kmsc_HeapFree(p[i]);
        kmsc_HeapFree(t);
        kmsc_HeapFree(p);
    }
    ~Setup() { fs::remove_all(root); }
};

Setup &setup() {
    static Setup s;
    return s;
}

void rawOpenClose(benchmark::State &state) {
    const char *f = setup().file.c_str();
    for (auto _ : state) {
        int d = open(f, O_RDWR);
        benchmark::DoNotOptimize(d);
        close(d);
    }
}
BENCHMARK(rawOpenClose);

void kimgOpenClose(benchmark::State &state) {
    const char *f = setup().file.c_str();
    kimg_FileClose(kimg_FileOpen(f, nullptr, 0), nullptr);  // identified and queued
    for (auto _ : state) {
        Kimg_File *h = kimg_FileOpen(f, nullptr, 0);
        if (!h) state.SkipWithError("kimg_FileOpen failed");
        kimg_FileClose(h, nullptr);
    }
    kimg_FileNameDequeue(f, nullptr);
}
BENCHMARK(kimgOpenClose);

// Building the table of 20 plug-ins, then identifying a file that needs one.
void tableStart(benchmark::State &state) {
    setup();
    kpmg_PutBooleanPreference("orvel", "dll_runtime_scan", static_cast<int32_t>(state.range(0)),
                              nullptr);
    long loaded = 0, afterUse = 0;
    for (auto _ : state) {
        kimg_RasterFormatsReset();
        long n = 0;
        char **t = nullptr, **p = nullptr;
        kimg_RasterFormatsFilterTableGet(&n, &t, &p, nullptr);
        state.PauseTiming();
        loaded = kimg_RasterFormatsLoadedCount();
        for (long i = 0; i < n; ++i) kmsc_HeapFree(t[i]), kmsc_HeapFree(p[i]);
        kmsc_HeapFree(t);
        kmsc_HeapFree(p);
        char *title = kimg_FileTitleIdentify(setup().file.c_str(), nullptr);
        kmsc_HeapFree(title);
        afterUse = kimg_RasterFormatsLoadedCount();
        state.ResumeTiming();
    }
    state.counters["loaded_at_start"] = static_cast<double>(loaded);
    state.counters["loaded_after_use"] = static_cast<double>(afterUse);
    kpmg_PutBooleanPreference("orvel", "dll_runtime_scan", 0, nullptr);
}
BENCHMARK(tableStart)->Arg(0)->Arg(1)->ArgNames({"runtime_scan"});

}  // namespace

BENCHMARK_MAIN();
