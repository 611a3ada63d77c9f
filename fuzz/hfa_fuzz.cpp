// Fuzz target for HFA files: arbitrary bytes are written to a temporary file
// and opened as an HFA file. Whatever opens must survive walking its free
// list, allocations and frees (with write-through on and off), a dictionary
// rewrite, flush and close, and opening, reading, writing and deleting its
// block streams, ending in results or reports; every block handed out must
// lie inside the file, clear of the header tag and header.
// First the same bytes are opened as an image through the native format
// plug-in, and every block of every layer is read.
#include "fuzz_support.hpp"

#include "rf_plugin.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kfuzz::check;

// Small numbers taken from the end of the input, so that the file bytes and
// the operations mutate separately.
struct Script {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint32_t next(uint32_t bound) {
        uint32_t v = 0;
        for (int i = 0; i < 2; ++i) v = v << 8 | (at < size ? data[size - 1 - at++] : 0x5A);
        return bound ? v % bound : v;
    }
};

void operate(Khfa_File *f, Script &s) {
    kfuzz::Reports err;
    const int64_t free = khfa_FileFreeSpaceSize(f, &err);
    check(free <= khfa_FileSize(f), "more free space than file");

    struct Block {
        uint32_t pos;
        int32_t size;
    };
    std::vector<Block> used;
    const int steps = 4 + static_cast<int>(s.next(12));
    for (int i = 0; i < steps; ++i) {
        switch (s.next(6)) {
            case 0:
            case 1:
            case 2: {
                const int32_t size = 1 + static_cast<int32_t>(s.next(3000));
                const uint32_t pos = khfa_NextFreePos(f, size, &err);
                if (pos) {
                    check(pos >= KHFA_HEADER_TAG_SIZE, "block inside the header tag");
                    check(int64_t{pos} + size <= khfa_FileSize(f), "block beyond the end");
                    used.push_back({pos, size});
                }
                break;
            }
            case 3:
                if (!used.empty()) {
                    const size_t k = s.next(static_cast<uint32_t>(used.size()));
                    khfa_FreeSpace(f, used[k].pos, used[k].size, &err);
                    used.erase(used.begin() + static_cast<long>(k));
                }
                break;
            case 4: {
                const intptr_t options[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE,
                                            khfa_FileIsNotFlushedOnWrite(f), 0};
                khfa_FileChange(f, options, &err);
                break;
            }
            default: {
                // A design added: the next flush rewrites the dictionary.
                const std::string name = "Fuzz" + std::to_string(i);
                kmif_DesignCreate(khfa_FileDictionary(f), name.c_str(), KMIF_TYPE_S32, "v", 0,
                                  &err);
                khfa_FileFlush(f, &err);
                break;
            }
        }
    }
    khfa_FileFreeSpaceSize(f, &err);
}

// The entry tree: walked whole (in pre-order, by listing and by the object
// list), then edited; every walk must end within the entries the file can
// hold.
void walkTree(Khfa_File *f, Script &s) {
    kfuzz::Reports err;
    const int64_t most = khfa_FileSize(f) / 64 + 2;
    int64_t steps = 0;
    if (khfa_EntrySeek(f, KHFA_SEEK_ROOT, nullptr, &err))
        while (khfa_EntrySeek(f, KHFA_SEEK_NEXT_IN_TREE, nullptr, &err))
            check(++steps <= most, "tree walk does not end");
    FILE *sink = fopen("/dev/null", "w");
    khfa_ListFile(f, nullptr, sink, &err);
    if (sink) fclose(sink);
    kstr_StringListFree(khfa_ObjectList(f, ":", nullptr, nullptr, &err));
    static const char *const paths[] = {":", ":a", ":a:b", "b", ":c", "c:d"};
    const int edits = static_cast<int>(s.next(8));
    for (int i = 0; i < edits; ++i) {
        const char *p = paths[s.next(6)];
        switch (s.next(5)) {
            case 0:
                khfa_EntrySeek(f, KHFA_SEEK_PATH, p, &err);
                break;
            case 1:
                khfa_EntryWrite(f, static_cast<int>(s.next(5)), p[0] == ':' && p[1] ? p + 1 : "n",
                                "t", &err);
                break;
            case 2:
                khfa_EntryDelete(f, &err);
                break;
            case 3:
                khfa_EntryMove(f, p, paths[s.next(6)], &err);
                break;
            default:
                khfa_EntrySeek(f, static_cast<int>(s.next(19)), nullptr, &err);
                break;
        }
    }
}

// Block streams: every stream node found is opened, read whole, sought,
// written and closed or deleted; a new stream is written too. Reads never
// return more than asked for, and positions stay where they were put.
void streams(Khfa_File *f, Script &s) {
    kfuzz::Reports err;
    Kstr_StringList *nodes = khfa_ObjectList(f, ":", nullptr, "Khfa_CacheNode", &err);
    std::vector<std::string> paths;
    for (int32_t i = 0; nodes && i < nodes->count && i < 4; ++i) paths.push_back(nodes->strings[i]);
    kstr_StringListFree(nodes);
    paths.push_back(":fuzzstream");
    const std::string file = khfa_FileName(f);
    std::vector<unsigned char> buffer(4096);
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string name = file + "(" + paths[i] + ")";
        Khfa_Cache *c = i + 1 < paths.size() ? khfa_CacheOpen(f, name.c_str(), nullptr, &err)
                                             : khfa_CacheCreate(f, name.c_str(), nullptr, &err);
        check((c == nullptr) == (err != nullptr), "a stream and a report disagree");
        if (!c) continue;
        for (int rounds = 0; rounds < 64; ++rounds) {
            const int32_t n = khfa_CacheRead(c, buffer.data(), 4096, &err);
            check(n <= 4096, "read more than asked");
            if (n <= 0) break;
        }
        const int steps = static_cast<int>(s.next(6));
        for (int k = 0; k < steps; ++k) {
            const int64_t to = s.next(40000);
            if (khfa_CacheSeek(c, to, 0, &err))
                check(khfa_CacheGetCurrPos(c, nullptr) == to, "seek went elsewhere");
            khfa_CacheWrite(c, buffer.data(), static_cast<int32_t>(s.next(3000)), &err);
        }
        switch (s.next(3)) {
            case 0:
                khfa_CacheFree(c, &err);
                break;
            case 1:
                khfa_CacheClose(c, &err);
                break;
            default:
                khfa_CacheClose(c, &err);
                khfa_CacheDelete(f, name.c_str(), nullptr, &err);
                break;
        }
    }
}

// Opens the file as a native image and reads every block of every layer (up
// to a bound per layer); every failure must come with a report.
void readImage(const std::string &name) {
    static rftest::Plugin rf(KRASTER_PLUGIN_DIR "/RasterFormats/libmiraven.so");
    check(rf.FileOpen && rf.FileClose && rf.FileLayerNamesGet && rf.LayerOpen && rf.LayerClose &&
              rf.LayerRasterRead && rf.LayerRasterReadMIF,
          "native format plug-in lacks an entry point");
    kfuzz::Reports err;
    void *file = rf.FileOpen(name.c_str(), 0, "r", &err);
    check((file == nullptr) == (err != nullptr), "image open: result and report disagree");
    if (!file) return;
    long count = 0;
    char **names = nullptr;
    if (rf.FileLayerNamesGet(file, &count, &names, &err) != 0)
        check(err != nullptr, "names without report");
    for (long i = 0; i < count; ++i) {
        long w, h, p, c, t, bw, bh;
        void *layer = rf.LayerOpen(file, names[i], &w, &h, &p, &c, &t, &bw, &bh, &err);
        check((layer == nullptr) == (err != nullptr), "layer open: result and report disagree");
        if (layer) {
            check(w > 0 && h > 0 && bw > 0 && bh > 0 && p >= 0 && p < 13, "implausible layer");
            std::vector<uint8_t> block(
                static_cast<size_t>(bw * bh * kmsc_AddressOf_kgda_NumBytesPerPixel()[p]));
            const long across = (w + bw - 1) / bw, down = (h + bh - 1) / bh;
            long budget = 1 << 12;
            for (long r = 0; r < down && budget > 0; ++r)
                for (long col = 0; col < across && budget-- > 0; ++col) {
                    if (rf.LayerRasterRead(layer, r, col, block.data(), &err) != 0)
                        check(err != nullptr, "block read failed without a report");
                    unsigned char *stored = nullptr;
                    long size = 0;
                    if (rf.LayerRasterReadMIF(layer, r, col, &stored, &size, &err) != 0)
                        check(err != nullptr, "stored read failed without a report");
                    kmsc_HeapFree(stored);
                }
            rf.LayerClose(layer, &err);
        }
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    rf.FileClose(file, &err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    const std::string &name = kfuzz::scratch(data, size);

    readImage(name);
    khfa_IsHFAFile(name.c_str(), nullptr);
    kfuzz::Reports err;
    Khfa_File *f = khfa_FileOpen(name.c_str(), "r+", nullptr, &err);
    check((f == nullptr) == (err != nullptr), "a result and a report disagree");
    if (f) {
        Script script{data, size};
        walkTree(f, script);
        streams(f, script);
        operate(f, script);
        khfa_FileClose(f, &err);
        check(khfa_FileIsOpen(name.c_str(), nullptr, nullptr) == 0, "still open after close");
        // What this library wrote opens again.
        f = khfa_FileOpen(name.c_str(), "r", nullptr, nullptr);
        if (f) khfa_FileClose(f, nullptr);
    }
    unlink(name.c_str());
    return 0;
}
