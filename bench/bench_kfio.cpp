// Sequential reads through the buffered handle against raw pread of the same
// pieces, from a page-cached 256 MiB file.
#include <benchmark/benchmark.h>
#include <kraster/kfio.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileSize = size_t{256} << 20;

// The test file, written once and read once so that it sits in the page
// cache; removed at exit.
class CachedFile {
  public:
    CachedFile() {
        path_ = (std::filesystem::temp_directory_path() / "kraster-bench-kfio-XXXXXX").string();
        int d = mkstemp(path_.data());
        if (d < 0) abort();
        std::vector<unsigned char> chunk(size_t{1} << 20);
        for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<unsigned char>(i * 31);
        for (size_t done = 0; done < kFileSize; done += chunk.size())
            if (write(d, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) abort();
        for (off_t at = 0; at < static_cast<off_t>(kFileSize); at += chunk.size())
            if (pread(d, chunk.data(), chunk.size(), at) <= 0) abort();
        close(d);
    }
    ~CachedFile() { unlink(path_.c_str()); }
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
};

const CachedFile &file() {
    static CachedFile f;
    return f;
}

void rawPread(benchmark::State &state) {
    const auto piece = static_cast<size_t>(state.range(0));
    int d = open(file().path(), O_RDONLY);
    std::vector<unsigned char> buffer(piece);
    for (auto _ : state) {
        for (off_t at = 0; at < static_cast<off_t>(kFileSize); at += piece)
            if (pread(d, buffer.data(), piece, at) != static_cast<ssize_t>(piece))
                state.SkipWithError("short pread");
        benchmark::DoNotOptimize(buffer.data());
    }
    close(d);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void kfioReadSeq(benchmark::State &state) {
    const auto piece = static_cast<size_t>(state.range(0));
    Kfio_Fd *fd = kfio_Open(file().path(), "rb", nullptr);
    if (!fd) {
        state.SkipWithError("kfio_Open failed");
        return;
    }
    std::vector<unsigned char> buffer(piece);
    for (auto _ : state) {
        kfio_Seek64(fd, 0, 0, nullptr);
        for (size_t at = 0; at < kFileSize; at += piece)
            if (kfio_ReadSeq(fd, buffer.data(), piece, nullptr) != piece)
                state.SkipWithError("short kfio_ReadSeq");
        benchmark::DoNotOptimize(buffer.data());
    }
    kfio_Close(fd, nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

}  // namespace

// Each pair runs side by side; rates are taken from wall time.
BENCHMARK(rawPread)->Name("pread")->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(kfioReadSeq)
    ->Name("kfio_ReadSeq")
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(rawPread)->Name("pread")->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(kfioReadSeq)->Name("kfio_ReadSeq")->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
