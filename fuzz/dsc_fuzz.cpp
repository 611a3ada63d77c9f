// Fuzz target for descriptor tables: arbitrary bytes are written to a
// temporary file and opened as an HFA file; every "Kdsc_Table" node in it is
// opened as a table, each column read whole (string and numeric), its rows
// changed by one when writable, and the bin function applied, inverted,
// printed and stored again. Stored bin-function records found anywhere are
// converted too. Everything must end in results or reports.
#include "fuzz_support.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

using kfuzz::check;

FILE *sink() {
    static FILE *f = fopen("/dev/null", "w");
    return f;
}

void binFunction(const Kdsc_BinFunction *f) {
    if (!f) return;
    const int32_t n = kdsc_BinFunctionBinCount(f);
    check(n >= 1, "a bin function without bins");
    for (double v : {-1e300, -1.0, 0.0, 0.5, 1.0, 255.0, 1e300, double(NAN)}) {
        const int32_t b = kdsc_BinFunctionApply(f, v);
        check(b >= -1 && b <= n, "a bin outside -1 ... binCount");
    }
    for (int32_t b : {0, n / 2, n - 1, n}) {
        double lo, hi;
        kfuzz::Reports err;
        const int rc = kdsc_BinFunctionApplyInverse(f, b, &lo, &hi, &err);
        check((rc == 0) == (b < n), "inverse of a bin in or out of range");
    }
    kdsc_BinFunctionPrint(f, sink(), nullptr);
    void *o = nullptr;
    const Kmif_Design *d = nullptr;
    if (kdsc_BinFunctionConvertToMIFable(f, &o, &d, nullptr) == 0) {
        Kdsc_BinFunction *again = kdsc_BinFunctionConvertFromMIFable(o, d, nullptr);
        check(again && kdsc_BinFunctionIsSame(f, again), "a stored bin function reads back");
        kdsc_BinFunctionDelete(again, nullptr);
        kmif_ObjectFree(&o, d, nullptr);
    }
}

void table(Khfa_File *file, const char *path, bool writable) {
    kfuzz::Reports err;
    Kdsc_Table *t = kdsc_TableOpen(file, path, &err);
    check((t == nullptr) == (err != nullptr), "a table and a report disagree");
    if (!t) return;
    int32_t rows = -1;
    kdsc_TableRowCountGet(t, &rows, nullptr);
    check(rows >= 0, "a negative row count");
    binFunction(kdsc_TableBinFunctionGet(t));
    Kstr_StringList *names = kdsc_TableListColumns(t, nullptr);
    for (int32_t i = 0; names && i < names->count; ++i) {
        Kdsc_Column *c = kdsc_ColumnOpen(t, names->strings[i], nullptr);
        if (!c) continue;
        const int32_t n = rows < (1 << 16) ? rows : (1 << 16);
        Kgda_BaseData *b = kdsc_ColumnRead(c, 0, n, nullptr, nullptr);
        if (b && writable) kdsc_ColumnWrite(c, 0, n, b, nullptr);
        kgda_BaseDataDelete(b, nullptr);
        int64_t when;
        kdsc_ColumnGetTimeStamp(c, &when, nullptr);
        kdsc_ColumnClose(c, nullptr);
    }
    kstr_StringListFree(names);
    int64_t when;
    kdsc_TableModTimeGet(t, &when, nullptr);
    if (writable && rows < (1 << 16)) {
        kdsc_TableRowCountSet(t, rows + 1, nullptr);
        kdsc_TableRowCountSet(t, rows / 2, nullptr);
    }
    kdsc_TableClose(t, nullptr);
}

void storedBinFunctions(Khfa_File *file, const char *type) {
    Kstr_StringList *paths = khfa_ObjectList(file, ":", nullptr, type, nullptr);
    const Kmif_Design *d = kdsc_DesignGet(type, nullptr);
    for (int32_t i = 0; d && paths && i < paths->count && i < 64; ++i) {
        void *o = nullptr;
        if (khfa_ObjectRead(file, paths->strings[i], nullptr, 0, &o, d, nullptr) == 0 && o) {
            Kdsc_BinFunction *f = kdsc_BinFunctionCreate(o, type, nullptr);
            binFunction(f);
            kdsc_BinFunctionDelete(f, nullptr);
        }
        kmif_ObjectFree(&o, d, nullptr);
    }
    kstr_StringListFree(paths);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    const std::string &name = kfuzz::scratch(data, size);
    for (const char *mode : {"r", "r+"}) {
        Khfa_File *f = khfa_FileOpen(name.c_str(), mode, nullptr, nullptr);
        if (!f) break;
        Kstr_StringList *tables = khfa_ObjectList(f, ":", nullptr, "Kdsc_Table", nullptr);
        for (int32_t i = 0; tables && i < tables->count && i < 16; ++i)
            table(f, tables->strings[i], mode[1] == '+');
        kstr_StringListFree(tables);
        storedBinFunctions(f, "Kdsc_BinFunction");
        storedBinFunctions(f, "Kdsc_BinFunction840");
        khfa_FileClose(f, nullptr);
    }
    unlink(name.c_str());
    return 0;
}
