// Fuzz target for the projection query table parser: any text either yields
// a table whose listing parses back to the same listing, or a report; never
// a crash, hang or over-read.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string listing(const Kprj_QueryTable *table) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&buffer, &size);
    if (!f || kprj_QueryListPrint(table, f, nullptr) != 0) abort();
    fclose(f);
    std::string s(buffer, size);
    free(buffer);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    Kerr_ErrorReport *err = nullptr;
    Kprj_QueryTable *table = kprj_QueryTableParse(text.c_str(), "fuzz", &err);
    if (!table && !err) abort();  // a failure leaves a report
    if (table) {
        if (err) abort();
        const std::string first = listing(table);
        Kprj_QueryTable *again = kprj_QueryTableParse(first.c_str(), "listing", nullptr);
        if (!again || listing(again) != first) abort();
        kprj_QueryTableFree(again);
    }
    kprj_QueryTableFree(table);
    kerr_DeleteErrorReport(err);
    return 0;
}
