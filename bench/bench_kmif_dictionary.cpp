// Dictionary strings: decoding and encoding a file-sized dictionary against
// the cost of reading its characters through the same callback and of
// copying the text.
#include <benchmark/benchmark.h>
#include <kraster/kraster.h>

#include <cstring>
#include <string>

namespace {

// About forty designs of the kinds stored in files: counted strings,
// enumerations, references by name, nested designs and generic data.
const std::string &dictionaryText() {
    static const std::string text = [] {
        std::string s = "{0:pcstring,}Kmif_String,";
        for (int i = 0; i < 40; ++i) {
            const std::string n = std::to_string(i);
            s += "{1:lnumber" + n + ",1:dminimum,1:dmaximum,1:e3:LINEAR,EXPONENTIAL,DIRECT,kind,";
            s += "1:oKmif_String,title,0:pdvalues,16:clabel,1:bdata,";
            if (i > 0) s += "1:oRecord0,first,";
            s += "1:x{1:lx,1:ly,}Point" + n + ",origin,}Record" + n + ",";
        }
        return s + ".";
    }();
    return text;
}

int readChar(void *context) {
    auto *p = static_cast<const unsigned char **>(context);
    return **p ? *(*p)++ : -1;
}

void BM_Baseline_ReadCharacters(benchmark::State &state) {
    const std::string &text = dictionaryText();
    for (auto _ : state) {
        auto cursor = reinterpret_cast<const unsigned char *>(text.c_str());
        long commas = 0;
        for (int c; (c = readChar(&cursor)) >= 0;) commas += c == ',';
        benchmark::DoNotOptimize(commas);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_DictionaryDecodeFromString(benchmark::State &state) {
    kint_InitToolkit(nullptr);
    const std::string &text = dictionaryText();
    for (auto _ : state) {
        Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(text.c_str(), nullptr);
        benchmark::DoNotOptimize(d);
        kmif_DictionaryDestroy(d, nullptr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Baseline_CopyText(benchmark::State &state) {
    const std::string &text = dictionaryText();
    for (auto _ : state) {
        char *copy = static_cast<char *>(kmsc_HeapMalloc(text.size() + 1));
        memcpy(copy, text.c_str(), text.size() + 1);
        benchmark::DoNotOptimize(copy);
        kmsc_HeapFree(copy);
    }
}

void BM_DictionaryEncodeToString(benchmark::State &state) {
    kint_InitToolkit(nullptr);
    Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(dictionaryText().c_str(), nullptr);
    for (auto _ : state) {
        char *s = kmif_DictionaryEncodeToString(d, nullptr);
        benchmark::DoNotOptimize(s);
        kmsc_HeapFree(s);
    }
    kmif_DictionaryDestroy(d, nullptr);
}

}  // namespace

BENCHMARK(BM_Baseline_ReadCharacters);
BENCHMARK(BM_DictionaryDecodeFromString);
BENCHMARK(BM_Baseline_CopyText);
BENCHMARK(BM_DictionaryEncodeToString);
BENCHMARK_MAIN();
