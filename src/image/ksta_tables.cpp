// Colour, class-name and contrast columns of a layer's descriptor table, and
// the look-up table of a stretch by standard deviations.
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/ksta.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/report.hpp"

using kr::Report;

namespace {

// The layer's table, opened (or, for writing, made with `rows` rows when it
// is missing), closed with the use.
struct TableUse {
    Kdsc_Table *table = nullptr;
    ~TableUse() { kdsc_TableClose(table, nullptr); }
    bool open(Kimg_Layer *layer, int32_t rows, bool create, const char *fn, Report &e) {
        if (!layer) {
            e.error(fn, 1, "NULL layer");
            return false;
        }
        Kerr_ErrorReport *missing = nullptr;
        table = kimg_TableOpen(layer, nullptr, &missing);
        if (!table && create) {
            kerr_DeleteErrorReport(missing);
            table = kimg_TableCreate(layer, nullptr, rows, nullptr, e.out());
        } else if (!table) {
            e.wrap(missing, fn, 2, "No descriptor table");
            return false;
        } else {
            kerr_DeleteErrorReport(missing);
        }
        int32_t have = 0;
        if (table && create && kdsc_TableRowCountGet(table, &have, e.out()) == 0 && have < rows &&
            kdsc_TableRowCountSet(table, rows, e.out()) != 0)
            return false;
        if (!table) e.error(fn, 3, "Cannot open the descriptor table");
        return table != nullptr;
    }
    int32_t rows() const {
        int32_t n = 0;
        kdsc_TableRowCountGet(table, &n, nullptr);
        return n;
    }
};

// Reads `rows` rows of a column into a BaseData of the column's type.
Kgda_BaseData *readColumn(Kdsc_Table *t, const char *name, int32_t rows, const char *fn,
                          Report &e) {
    Kdsc_Column *c = kdsc_ColumnOpen(t, name, e.out());
    Kgda_BaseData *b = c && rows > 0 ? kdsc_ColumnRead(c, 0, rows, nullptr, e.out()) : nullptr;
    kdsc_ColumnClose(c, nullptr);
    if (!b) e.error(fn, 4, "Cannot read column %s", name);
    return b;
}

double *realColumn(Kdsc_Table *t, const char *name, int32_t rows, const char *fn, Report &e) {
    Kgda_BaseData *b = readColumn(t, name, rows, fn, e);
    Kgda_BaseData *d =
        b ? kgda_BaseDataCreate(rows, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, e.out())
          : nullptr;
    double *out = d && kgda_BaseDataCopy(b, d, e.out())
                      ? static_cast<double *>(kmsc_HeapMalloc(sizeof(double) * size_t(rows)))
                      : nullptr;
    if (out) std::memcpy(out, d->data, sizeof(double) * size_t(rows));
    kgda_BaseDataDelete(b, nullptr);
    kgda_BaseDataDelete(d, nullptr);
    return out;
}

// Writes rows values to a column (made when missing) of its own type.
bool writeColumn(Kdsc_Table *t, const char *name, int32_t type, int32_t width,
                 const Kgda_BaseData *values, const char *fn, Report &e) {
    Kdsc_Column *c = kdsc_ColumnOpenIfPresent(t, name, e.out());
    if (!c && !e.failed()) c = kdsc_ColumnCreate(t, name, type, width, e.out());
    int32_t dataType = 0;
    bool ok = c && kdsc_ColumnInfoGet(c, nullptr, nullptr, &dataType, e.out()) == 0;
    Kgda_BaseData *w =
        ok ? kgda_BaseDataCreate(values->numrows, 1, dataType, KGDA_TABLE_OBJECT, nullptr, e.out())
           : nullptr;
    ok = w && kgda_BaseDataCopy(values, w, e.out()) &&
         kdsc_ColumnWrite(c, 0, values->numrows, w, e.out()) == 0;
    kgda_BaseDataDelete(w, nullptr);
    kdsc_ColumnClose(c, nullptr);
    if (!ok) e.error(fn, 5, "Cannot write column %s", name);
    return ok;
}

bool writeReals(Kdsc_Table *t, const char *name, int32_t rows, const double *v, const char *fn,
                Report &e) {
    Kgda_BaseData *b = kgda_BaseDataCreate(rows, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT,
                                           const_cast<double *>(v), e.out());
    const bool ok = b && writeColumn(t, name, KDSC_COLUMN_REAL, 0, b, fn, e);
    kgda_BaseDataDelete(b, nullptr);
    return ok;
}

bool rowsOk(int32_t rows, const void *a, const char *fn, Report &e) {
    if (rows < 1 || !a) {
        e.error(fn, 6, "Invalid row count %d or NULL values", rows);
        return false;
    }
    return true;
}

const char *const kColors[4] = {"Red", "Green", "Blue", "Opacity"};

}  // namespace

extern "C" {

KRASTER_API int ksta_ColorTableRead(Kimg_Layer *layer, int32_t *rows, double **red, double **green,
                                    double **blue, double **opacity, Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ColorTableRead";
    Report e(err);
    double **out[4] = {red, green, blue, opacity};
    if (!rows) {
        e.error(fn, 7, "NULL argument");
        return -1;
    }
    TableUse t;
    if (!t.open(layer, 0, false, fn, e)) return -1;
    *rows = t.rows();
    for (int i = 0; i < 4; ++i) {
        if (!out[i]) continue;
        *out[i] = realColumn(t.table, kColors[i], *rows, fn, e);
        if (!*out[i]) {
            for (int j = 0; j < i; ++j)
                if (out[j]) kmsc_HeapFree(*out[j]), *out[j] = nullptr;
            return -1;
        }
    }
    return 0;
}

KRASTER_API int ksta_ColorTableWrite(Kimg_Layer *layer, int32_t rows, const double *red,
                                     const double *green, const double *blue, const double *opacity,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ColorTableWrite";
    Report e(err);
    const double *in[4] = {red, green, blue, opacity};
    if (!rowsOk(rows, red && green && blue ? red : nullptr, fn, e)) return -1;
    TableUse t;
    if (!t.open(layer, rows, true, fn, e)) return -1;
    for (int i = 0; i < 4; ++i)
        if (in[i] && !writeReals(t.table, kColors[i], rows, in[i], fn, e)) return -1;
    return 0;
}

KRASTER_API int ksta_ClassNamesRead(Kimg_Layer *layer, int32_t *rows, char ***names,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ClassNamesRead";
    Report e(err);
    if (!rows || !names) {
        e.error(fn, 7, "NULL argument");
        return -1;
    }
    *names = nullptr;
    TableUse t;
    if (!t.open(layer, 0, false, fn, e)) return -1;
    *rows = t.rows();
    Kgda_BaseData *b = readColumn(t.table, "Class_Names", *rows, fn, e);
    if (!b) return -1;
    std::vector<std::string> v;
    for (int32_t i = 0; i < *rows; ++i) {
        const char *s = nullptr;
        std::memcpy(&s, b->windowStart + size_t(i) * size_t(b->pitch), sizeof s);
        v.emplace_back(s ? s : "");
    }
    kgda_BaseDataDelete(b, nullptr);
    *names = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * v.size()));
    for (size_t i = 0; *names && i < v.size(); ++i) (*names)[i] = kstr_Duplicate(v[i].c_str());
    return *names ? 0 : -1;
}

KRASTER_API int ksta_ClassNamesWrite(Kimg_Layer *layer, int32_t rows, const char *const *names,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ClassNamesWrite";
    Report e(err);
    if (!rowsOk(rows, names, fn, e)) return -1;
    int32_t width = 1;
    for (int32_t i = 0; i < rows; ++i)
        width = std::max<int32_t>(width, names[i] ? int32_t(std::strlen(names[i])) + 1 : 1);
    Kgda_BaseData *b =
        kgda_BaseDataCreate(rows, 1, KGDA_STRING_TYPE_CODE, KGDA_TABLE_OBJECT, nullptr, e.out());
    bool ok = b && kgda_BaseDataSet(b, names, KGDA_SET_ALL, 0, e.out()) == 0;
    TableUse t;
    ok = ok && t.open(layer, rows, true, fn, e) &&
         writeColumn(t.table, "Class_Names", KDSC_COLUMN_STRING, width, b, fn, e);
    kgda_BaseDataDelete(b, nullptr);
    return ok ? 0 : -1;
}

KRASTER_API int ksta_ContrastTableRead(Kimg_Layer *layer, int32_t *rows, double **values,
                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ContrastTableRead";
    Report e(err);
    if (!rows || !values) {
        e.error(fn, 7, "NULL argument");
        return -1;
    }
    TableUse t;
    if (!t.open(layer, 0, false, fn, e)) return -1;
    *rows = t.rows();
    *values = realColumn(t.table, "Contrast", *rows, fn, e);
    return *values ? 0 : -1;
}

KRASTER_API int ksta_ContrastTableWrite(Kimg_Layer *layer, int32_t rows, const double *values,
                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_ContrastTableWrite";
    Report e(err);
    if (!rowsOk(rows, values, fn, e)) return -1;
    TableUse t;
    return t.open(layer, rows, true, fn, e) && writeReals(t.table, "Contrast", rows, values, fn, e)
               ? 0
               : -1;
}

KRASTER_API double *ksta_LUTCreateForNStdDevStretch(const Ksta_Statistics *statistics,
                                                    double nStdDev, int32_t entries,
                                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "ksta_LUTCreateForNStdDevStretch";
    Report e(err);
    if (!statistics || !(nStdDev > 0) || entries < 2) {
        e.error(fn, 1, "Invalid statistics, number of standard deviations or entry count");
        return nullptr;
    }
    auto *lut = static_cast<double *>(kmsc_HeapMalloc(sizeof(double) * size_t(entries)));
    if (!lut) {
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    const double lo = statistics->mean - nStdDev * statistics->stddev;
    const double hi = statistics->mean + nStdDev * statistics->stddev;
    const double step = (statistics->maximum - statistics->minimum) / double(entries - 1);
    for (int32_t i = 0; i < entries; ++i) {
        const double v = statistics->minimum + double(i) * step;
        // Without spread the table steps from 0 to 1 at the mean.
        lut[i] = hi > lo ? std::clamp((v - lo) / (hi - lo), 0.0, 1.0)
                         : (v < statistics->mean ? 0.0 : 1.0);
    }
    return lut;
}

}  // extern "C"
