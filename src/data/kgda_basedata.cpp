// BaseData arrays: creation, re-shaping, windows, copies through the pixel
// conversion table, reallocation, element writes, deletion and printing.
#include <kraster/kmsc.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "data/kgda_internal.hpp"

namespace kr::gda {

bool layoutOf(int32_t rows, int32_t columns, int32_t type, int32_t object, Layout *out) {
    if (rows < 0 || columns < 0 || !validType(type) || !validObject(object)) return false;
    const int64_t nb = bytesOf(type);
    const int64_t elements = int64_t{rows} * columns;
    const int64_t pitch = nb * (object == KGDA_MATRIX_OBJECT ? rows : columns);
    if (elements > INT32_MAX || pitch > INT32_MAX) return false;
    const int64_t allocColumns =
        object == KGDA_RASTER_OBJECT ? (int64_t{columns} + 3) / 4 * 4 : columns;
    out->pitch = static_cast<int32_t>(pitch);
    out->numelements = static_cast<int32_t>(elements);
    out->numbytes = static_cast<int32_t>(nb);
    out->allocBytes = nb * rows * allocColumns;
    return true;
}

bool checkArray(const Kgda_BaseData *b, const char *fn, int code, kr::Report &e) {
    const char *why = nullptr;
    if (!b)
        why = "NULL BaseData";
    else if (!validType(b->datatype))
        why = "data type out of range";
    else if (!validObject(b->objecttype))
        why = "object type out of range";
    else if (b->numrows < 0 || b->numcolumns < 0)
        why = "negative shape";
    else if (b->numbytes != bytesOf(b->datatype))
        why = "numbytes does not match the data type";
    else if (int64_t{b->numrows} * b->numcolumns != b->numelements)
        why = "numelements does not match the shape";
    else if (b->numelements > 0 && (b->pitch % b->numbytes != 0 ||
                                    int64_t{b->pitch} < int64_t{lineLength(b)} * b->numbytes))
        why = "pitch does not cover a line";
    else if (b->numelements > 0 && !b->windowStart)
        why = "no data";
    if (!why) return true;
    e.error(fn, code, "Invalid BaseData: %s", why);
    return false;
}

void freeStrings(const Kgda_BaseData *b) {
    if (b->datatype != kString || b->numelements <= 0 || !b->windowStart) return;
    forEachLine(b, [](unsigned char *line, int64_t n) {
        char **s = reinterpret_cast<char **>(line);
        for (int64_t i = 0; i < n; ++i) kmsc_HeapFreeEx(reinterpret_cast<void **>(&s[i]));
    });
}

bool CopyPlan::prepare(const Kgda_BaseData *source, Kgda_BaseData *destination, const char *fn,
                       kr::Report &e) {
    discard();
    if (!checkArray(source, fn, 5, e) || !checkArray(destination, fn, 6, e)) return false;
    if (source->objecttype != destination->objecttype) {
        e.error(fn, 2, "the object type is not the same for input and output");
        return false;
    }
    if ((source->datatype == kString) != (destination->datatype == kString)) {
        e.error(fn, 4, "Cannot copy %s elements into %s elements", typeName(source->datatype),
                typeName(destination->datatype));
        return false;
    }
    src_ = source;
    dst_ = destination;
    if (source->datatype != kString) return true;

    int64_t total = 0;
    forEachCopyRun(source, destination,
                   [&](unsigned char *, unsigned char *, int64_t n) { total += n; });
    if (total == 0) return true;
    strings_ = static_cast<char **>(kmsc_HeapMalloc(static_cast<size_t>(total) * sizeof(char *)));
    if (!strings_) {
        e.error(fn, 7, "Not enough memory to copy %lld strings", static_cast<long long>(total));
        src_ = nullptr;
        dst_ = nullptr;
        return false;
    }
    const Kpxm_ConvertFunc copy = kmsc_AddressOf_kpxm_Convert()[kString][kString];
    bool ok = true;
    forEachCopyRun(source, destination, [&](unsigned char *s, unsigned char *, int64_t n) {
        if (!ok) return;
        if (copy(s, strings_ + stringCount_, n) < 0)
            ok = false;
        else
            stringCount_ += n;
    });
    if (!ok) {
        e.error(fn, 7, "Not enough memory to copy %lld strings", static_cast<long long>(total));
        discard();
        return false;
    }
    return true;
}

void CopyPlan::commit(int32_t *changed) {
    if (changed) *changed = 0;
    if (!dst_) return;
    const bool table = src_->objecttype == KGDA_TABLE_OBJECT;
    bool first = true;
    const Kpxm_ConvertFunc convert = kmsc_AddressOf_kpxm_Convert()[src_->datatype][dst_->datatype];
    int64_t next = 0;
    forEachCopyRun(src_, dst_, [&](unsigned char *s, unsigned char *d, int64_t n) {
        // A table copies as one line: only its first element is compared.
        if (changed && (first || !table) && *s != *d) *changed = 1;
        first = false;
        if (strings_) {
            char **to = reinterpret_cast<char **>(d);
            for (int64_t i = 0; i < n; ++i) {
                kmsc_HeapFree(to[i]);
                to[i] = strings_[next++];
            }
        } else {
            convert(s, d, n);
        }
    });
    dst_->tag = src_->tag;
    kmsc_HeapFree(strings_);
    strings_ = nullptr;
    stringCount_ = 0;
    src_ = nullptr;
    dst_ = nullptr;
}

void CopyPlan::discard() {
    for (int64_t i = 0; i < stringCount_; ++i) kmsc_HeapFree(strings_[i]);
    kmsc_HeapFree(strings_);
    strings_ = nullptr;
    stringCount_ = 0;
    src_ = nullptr;
    dst_ = nullptr;
}

}  // namespace kr::gda

namespace {

using namespace kr::gda;

// Fills a record for a shape (the data pointers are left to the caller).
void setShape(Kgda_BaseData *b, int32_t rows, int32_t columns, int32_t type, int32_t object,
              const Layout &l) {
    b->numrows = rows;
    b->numcolumns = columns;
    b->datatype = type;
    b->objecttype = object;
    b->pitch = l.pitch;
    b->numelements = l.numelements;
    b->numbytes = l.numbytes;
}

// Reports why a shape has no layout.
void badShape(kr::Report &e, const char *fn, int code, int32_t rows, int32_t columns, int32_t type,
              int32_t object) {
    if (!validType(type))
        e.error(fn, code, "Invalid data type %d", type);
    else if (!validObject(object))
        e.error(fn, code, "Invalid object type %d", object);
    else if (rows < 0 || columns < 0)
        e.error(fn, code, "Bad nRows or nColumns");
    else
        e.error(fn, code, "BaseData of %d x %d elements of %d bytes is too large", rows, columns,
                bytesOf(type));
}

Kgda_BaseData *create(int32_t rows, int32_t columns, int32_t type, int32_t object, void *buffer,
                      kr::Report &e) {
    static const char *const fn = "kgda_BaseDataCreate";
    Layout l;
    if (!layoutOf(rows, columns, type, object, &l)) {
        badShape(e, fn, 3, rows, columns, type, object);
        return nullptr;
    }
    auto *b = static_cast<Kgda_BaseData *>(kmsc_HeapMalloc(sizeof(Kgda_BaseData)));
    if (!b) {
        e.error(fn, 1, "calloc could not allocate space for Kgda_BaseData structure");
        return nullptr;
    }
    setShape(b, rows, columns, type, object, l);
    if (buffer) {
        b->data = static_cast<unsigned char *>(buffer);
        b->derivedFlag = 1;
    } else if (l.allocBytes > 0) {
        b->data = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(l.allocBytes)));
        if (!b->data) {
            kmsc_HeapFree(b);
            e.error(fn, 2, "calloc could not allocate space for Kgda_BaseData data");
            return nullptr;
        }
    }
    b->windowStart = b->data;
    return b;
}

Kgda_BaseData *derive(const Kgda_BaseData *source, Kgda_BaseData *target, int32_t rowOffset,
                      int32_t columnOffset, int32_t rows, int32_t columns, const char *fn,
                      kr::Report &e) {
    if (!source) {
        e.error(fn, 1073, "Null srcBaseData");
        return nullptr;
    }
    if (!checkArray(source, fn, 1071, e)) return nullptr;
    if (rows < 1 || columns < 1) {
        e.error(fn, 1075, "Bad nRows or nColumns");
        return nullptr;
    }
    if (rowOffset < 0 || columnOffset < 0) {
        e.error(fn, 1077, "Bad rOffset or cOffset");
        return nullptr;
    }
    if (int64_t{rowOffset} + rows > source->numrows ||
        int64_t{columnOffset} + columns > source->numcolumns) {
        e.error(fn, 1080, "srcBaseData is too small");
        return nullptr;
    }
    if (target && !target->derivedFlag && target->data) {
        e.error(fn, 1082, "dstBaseData must be derived");
        return nullptr;
    }
    Layout l;
    layoutOf(rows, columns, source->datatype, source->objecttype, &l);  // fits: inside source
    Kgda_BaseData *t = target;
    if (!t && !(t = static_cast<Kgda_BaseData *>(kmsc_HeapMalloc(sizeof(Kgda_BaseData))))) {
        e.error(fn, 1084, "calloc could not allocate space for Kgda_BaseData structure");
        return nullptr;
    }
    const ptrdiff_t lineOffset = isMatrix(source) ? columnOffset : rowOffset;
    const ptrdiff_t elementOffset = isMatrix(source) ? rowOffset : columnOffset;
    t->numrows = rows;
    t->numcolumns = columns;
    t->datatype = source->datatype;
    t->objecttype = source->objecttype;
    t->numelements = l.numelements;
    t->numbytes = source->numbytes;
    t->pitch = source->pitch;
    t->derivedFlag = 1;
    t->data = source->data + lineOffset * source->pitch + elementOffset * source->numbytes;
    t->windowStart = t->data;
    t->tag = source->tag;
    return t;
}

Kgda_BaseData *copy(const Kgda_BaseData *source, Kgda_BaseData *destination, int32_t *changed,
                    const char *fn, kr::Report &e) {
    if (!source) {
        e.error(fn, 1, "source BaseData is NULL !");
        return nullptr;
    }
    if (!checkArray(source, fn, 5, e)) return nullptr;
    Kgda_BaseData *made = nullptr;
    if (!destination) {
        made = create(source->numrows, source->numcolumns, source->datatype, source->objecttype,
                      nullptr, e);
        if (!made) {
            e.error(fn, 3);
            return nullptr;
        }
        destination = made;
    }
    CopyPlan plan;
    if (!plan.prepare(source, destination, fn, e)) {
        kgda_BaseDataDelete(made, nullptr);
        return nullptr;
    }
    plan.commit(changed);
    return destination;
}

// Targets of a write: runs of elements (start, count, stride in elements).
template <class F>
bool forEachTarget(const Kgda_BaseData *b, int32_t mode, int32_t index, const char *fn,
                   kr::Report &e, F &&f) {
    const int64_t lineStride = b->pitch / b->numbytes;
    switch (mode) {
        case KGDA_SET_ALL:
            forEachLine(b, [&](unsigned char *line, int64_t n) { f(line, n, int64_t{1}); });
            return true;
        case KGDA_SET_DIAGONAL:
            if (b->numrows != b->numcolumns) {
                e.error(fn, 11, "Cannot set the diagonal of a %d x %d array: it is not square",
                        b->numrows, b->numcolumns);
                return false;
            }
            if (b->numrows > 0) f(b->windowStart, int64_t{b->numrows}, lineStride + 1);
            return true;
        case KGDA_SET_ROW:
        case KGDA_SET_COLUMN: {
            const bool row = mode == KGDA_SET_ROW;
            const int32_t limit = row ? b->numrows : b->numcolumns;
            if (index < 0 || index >= limit) {
                e.error(fn, 12, "%s index %d is outside 0 to %d", row ? "Row" : "Column", index,
                        limit - 1);
                return false;
            }
            const int64_t n = row ? b->numcolumns : b->numrows;
            unsigned char *start = row ? elementAt(b, index, 0) : elementAt(b, 0, index);
            // Along a line the elements are adjacent; across lines one pitch apart.
            const bool alongLine = row != isMatrix(b);
            if (n > 0) f(start, n, alongLine ? int64_t{1} : lineStride);
            return true;
        }
        default:
            e.error(fn, 10, "Invalid mode %d", mode);
            return false;
    }
}

int setElements(Kgda_BaseData *b, const void *values, int32_t mode, int32_t index, int64_t step,
                const char *fn, kr::Report &e) {
    if (!checkArray(b, fn, 1, e)) return -1;
    if (!values) {
        e.error(fn, 2, "NULL values");
        return -1;
    }
    if (step < 0) {
        e.error(fn, 3, "Invalid step %lld", static_cast<long long>(step));
        return -1;
    }
    int64_t total = 0;
    if (!forEachTarget(b, mode, index, fn, e,
                       [&](unsigned char *, int64_t n, int64_t) { total += n; }))
        return -1;
    const int32_t t = b->datatype;
    const Kpxm_ConvertIncFunc put = kmsc_AddressOf_kpxm_ConvertInc()[t][t];
    const auto *from = static_cast<const unsigned char *>(values);
    if (t != kString) {
        int64_t taken = 0;
        forEachTarget(b, mode, index, fn, e, [&](unsigned char *d, int64_t n, int64_t stride) {
            put(from + taken * step * b->numbytes, d, n, step, stride);
            taken += n;
        });
        return 0;
    }
    if (total == 0) return 0;
    // Strings: make every copy first so that running out of memory changes
    // nothing, then replace the old strings.
    auto **copies =
        static_cast<char **>(kmsc_HeapMalloc(static_cast<size_t>(total) * sizeof(char *)));
    if (!copies || put(values, copies, total, step, 1) < 0) {
        kmsc_HeapFree(copies);
        e.error(fn, 4, "Not enough memory to copy %lld strings", static_cast<long long>(total));
        return -1;
    }
    int64_t next = 0;
    forEachTarget(b, mode, index, fn, e, [&](unsigned char *d, int64_t n, int64_t stride) {
        char **to = reinterpret_cast<char **>(d);
        for (int64_t i = 0; i < n; ++i) {
            kmsc_HeapFree(to[i * stride]);
            to[i * stride] = copies[next++];
        }
    });
    kmsc_HeapFree(copies);
    return 0;
}

// True when lines x elementsPerLine elements from the window start stay
// inside the array.
bool blockInside(const Kgda_BaseData *b, int32_t lines, int32_t elementsPerLine) {
    if (lines <= 0 || elementsPerLine <= 0) return true;
    if (b->numelements <= 0) return false;
    const int64_t nb = b->numbytes;
    const int64_t end = int64_t{lines - 1} * b->pitch + elementsPerLine * nb;
    const int64_t limit = int64_t{lineCount(b) - 1} * b->pitch + int64_t{lineLength(b)} * nb;
    return end <= limit;
}

template <class T>
void clipBlock(const Kgda_BaseData *b, int32_t lines, int32_t elementsPerLine, T lo, T hi) {
    for (int32_t l = 0; l < lines; ++l) {
        T *p = reinterpret_cast<T *>(lineAt(b, l));
        for (int32_t i = 0; i < elementsPerLine; ++i) {
            if (p[i] < lo)
                p[i] = lo;
            else if (p[i] > hi)
                p[i] = hi;
        }
    }
}

// max(low, min) and min(high, max) as the integer type T, kept inside
// [min, max] so that the truncation is defined (a NaN bound gives the limit).
template <class T>
void clipInteger(const Kgda_BaseData *b, int32_t lines, int32_t elementsPerLine, double low,
                 double high, double min, double max) {
    double lo = low > min ? low : min;
    double hi = high < max ? high : max;
    if (lo > max) lo = max;
    if (hi < min) hi = min;
    clipBlock<T>(b, lines, elementsPerLine, static_cast<T>(lo), static_cast<T>(hi));
}

float toFloat(double v) {
    if (v > 3.4028234663852886e38) return HUGE_VALF;
    if (v < -3.4028234663852886e38) return -HUGE_VALF;
    return static_cast<float>(v);
}

// Text of one element for printing.
void printElement(int32_t type, const unsigned char *p) {
    switch (type) {
        case KGDA_TYPE_U1:
        case KGDA_TYPE_U2:
        case KGDA_TYPE_U4:
        case KGDA_TYPE_U8:
            printf("%d", *p);
            break;
        case KGDA_TYPE_S8:
            printf("%d", *reinterpret_cast<const int8_t *>(p));
            break;
        case KGDA_TYPE_U16:
            printf("%d", *reinterpret_cast<const uint16_t *>(p));
            break;
        case KGDA_TYPE_S16:
            printf("%d", *reinterpret_cast<const int16_t *>(p));
            break;
        case KGDA_TYPE_U32:
            printf("%u", *reinterpret_cast<const uint32_t *>(p));
            break;
        case KGDA_TYPE_S32:
            printf("%d", *reinterpret_cast<const int32_t *>(p));
            break;
        case KGDA_TYPE_F32:
            printf("%g", static_cast<double>(*reinterpret_cast<const float *>(p)));
            break;
        case KGDA_TYPE_F64:
            printf("%g", *reinterpret_cast<const double *>(p));
            break;
        case KGDA_TYPE_C64: {
            const auto *c = reinterpret_cast<const float *>(p);
            printf("(%g, %g)", static_cast<double>(c[0]), static_cast<double>(c[1]));
            break;
        }
        case KGDA_TYPE_C128: {
            const auto *c = reinterpret_cast<const double *>(p);
            printf("(%g, %g)", c[0], c[1]);
            break;
        }
        default: {
            const char *s = *reinterpret_cast<char *const *>(p);
            fputs(s ? s : "(null)", stdout);
        }
    }
}

}  // namespace

extern "C" {

KRASTER_API Kgda_BaseData *kgda_BaseDataCreate(int32_t numrows, int32_t numcolumns,
                                               int32_t datatype, int32_t objecttype, void *buffer,
                                               Kerr_ErrorReport **err) {
    kr::Report e(err);
    return create(numrows, numcolumns, datatype, objecttype, buffer, e);
}

KRASTER_API Kgda_BaseData *kgda_BaseDataReCreate(Kgda_BaseData *baseData, int32_t numrows,
                                                 int32_t numcolumns, int32_t datatype,
                                                 int32_t objecttype, void *buffer,
                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataReCreate";
    kr::Report e(err);
    if (numrows < 1 || numcolumns < 1) {
        e.error(fn, 928, "Bad nRows or nColumns");
        return nullptr;
    }
    if (!baseData) {
        Kgda_BaseData *b = create(numrows, numcolumns, datatype, objecttype, buffer, e);
        if (!b) e.error(fn, 930);
        return b;
    }
    if (!baseData->derivedFlag) {
        e.error(fn, 935, "srcBaseData must be derived");
        return nullptr;
    }
    Layout l;
    if (!layoutOf(numrows, numcolumns, datatype, objecttype, &l)) {
        badShape(e, fn, 932, numrows, numcolumns, datatype, objecttype);
        return nullptr;
    }
    setShape(baseData, numrows, numcolumns, datatype, objecttype, l);
    if (buffer) {
        baseData->data = static_cast<unsigned char *>(buffer);
        baseData->windowStart = baseData->data;
    }
    return baseData;
}

KRASTER_API Kgda_BaseData *kgda_BaseDataReDerive(const Kgda_BaseData *source, Kgda_BaseData *target,
                                                 int32_t rowOffset, int32_t columnOffset,
                                                 int32_t numrows, int32_t numcolumns,
                                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    return derive(source, target, rowOffset, columnOffset, numrows, numcolumns,
                  "kgda_BaseDataReDerive", e);
}

KRASTER_API Kgda_BaseData *kgda_BaseDataDerived(const Kgda_BaseData *source, Kgda_BaseData *target,
                                                int32_t rowOffset, int32_t columnOffset,
                                                int32_t numrows, int32_t numcolumns,
                                                Kerr_ErrorReport **err) {
    kr::Report e(err);
    return derive(source, target, rowOffset, columnOffset, numrows, numcolumns,
                  "kgda_BaseDataDerived", e);
}

KRASTER_API Kgda_BaseData *kgda_BaseDataCopy(const Kgda_BaseData *source,
                                             Kgda_BaseData *destination, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return copy(source, destination, nullptr, "kgda_BaseDataCopy", e);
}

KRASTER_API Kgda_BaseData *kgda_BaseDataCopyExt(const Kgda_BaseData *source,
                                                Kgda_BaseData *destination, int32_t *changed,
                                                Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (changed) *changed = 0;
    return copy(source, destination, changed, "kgda_BaseDataCopyExt", e);
}

KRASTER_API int kgda_BaseDataReallocate(Kgda_BaseData *baseData, int32_t numrows,
                                        int32_t numcolumns, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataReallocate";
    kr::Report e(err);
    if (!checkArray(baseData, fn, 1, e)) return -1;
    Layout l;
    if (numrows < 1 || numcolumns < 1 ||
        !layoutOf(numrows, numcolumns, baseData->datatype, baseData->objecttype, &l)) {
        badShape(e, fn, 2, numrows, numcolumns, baseData->datatype, baseData->objecttype);
        return -1;
    }
    Kgda_BaseData shaped = *baseData;
    setShape(&shaped, numrows, numcolumns, baseData->datatype, baseData->objecttype, l);
    const bool owning = !baseData->derivedFlag;
    const bool isString = baseData->datatype == kString;
    const bool sameLine = lineLength(&shaped) == lineLength(baseData);
    const bool inPlace = owning && !isString && baseData->windowStart == baseData->data &&
                         (baseData->objecttype == KGDA_TABLE_OBJECT ||
                          (sameLine && baseData->objecttype != KGDA_SCALAR_OBJECT));
    if (inPlace) {
        void *p = kmsc_HeapRealloc(baseData->data, static_cast<size_t>(l.allocBytes));
        if (!p) {
            e.error(fn, 3, "No space left!");
            return -1;
        }
        shaped.data = static_cast<unsigned char *>(p);
        shaped.windowStart = shaped.data;
        *baseData = shaped;
        return 0;
    }
    auto *fresh = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(l.allocBytes)));
    if (!fresh) {
        e.error(fn, 3, "No space left!");
        return -1;
    }
    shaped.data = fresh;
    shaped.windowStart = fresh;
    shaped.derivedFlag = 0;
    if (isString && !owning) {
        // Borrowed strings belong to their owner: copy them.
        CopyPlan plan;
        if (!plan.prepare(baseData, &shaped, fn, e)) {
            kmsc_HeapFree(fresh);
            return -1;
        }
        plan.commit(nullptr);
    } else {
        // Same type: move the bytes (string pointers change hands).
        const int64_t nb = baseData->numbytes;
        forEachCopyRun(baseData, &shaped, [&](unsigned char *s, unsigned char *d, int64_t n) {
            memcpy(d, s, static_cast<size_t>(n * nb));
            if (isString) memset(s, 0, static_cast<size_t>(n * nb));
        });
        if (owning) {
            freeStrings(baseData);  // those left outside the new shape
            kmsc_HeapFree(baseData->data);
        }
    }
    *baseData = shaped;
    return 0;
}

KRASTER_API int kgda_BaseDataSetBoth(Kgda_BaseData *baseData, const void *values, int32_t mode,
                                     int32_t index, int32_t step, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return setElements(baseData, values, mode, index, step, "kgda_BaseDataSetBoth", e);
}

KRASTER_API int kgda_BaseDataSet(Kgda_BaseData *baseData, const void *values, int32_t mode,
                                 int32_t index, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return setElements(baseData, values, mode, index, 1, "kgda_BaseDataSet", e);
}

KRASTER_API int kgda_BaseDataSetScalar(Kgda_BaseData *baseData, double value, int32_t mode,
                                       int32_t index, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataSetScalar";
    kr::Report e(err);
    if (!checkArray(baseData, fn, 1, e)) return -1;
    alignas(16) unsigned char element[16] = {};
    if (!kpxm_ConvertPixels(element, baseData->datatype, &value, KGDA_TYPE_F64, 1, e.out())) {
        e.error(fn, 5);
        return -1;
    }
    return setElements(baseData, element, mode, index, 0, fn, e);
}

KRASTER_API void kgda_BaseDataDeleteContents(Kgda_BaseData *baseData, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!baseData || baseData->derivedFlag) return;
    if (validType(baseData->datatype) && validObject(baseData->objecttype)) freeStrings(baseData);
    kmsc_HeapFree(baseData->data);
    baseData->data = nullptr;
    baseData->windowStart = nullptr;
}

KRASTER_API void kgda_BaseDataDelete(Kgda_BaseData *baseData, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!baseData) return;
    kgda_BaseDataDeleteContents(baseData, nullptr);
    kmsc_HeapFree(baseData);
}

KRASTER_API int kgda_BaseDataPrint(const Kgda_BaseData *baseData, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!checkArray(baseData, "kgda_BaseDataPrint", 1, e)) return -1;
    printf("            ==============  BaseData ===============\n\n");
    printf("     numelements = %ld  \n", static_cast<long>(baseData->numelements));
    printf("     numrows     = %ld  \n", static_cast<long>(baseData->numrows));
    printf("     numcolumns  = %ld  \n", static_cast<long>(baseData->numcolumns));
    printf("     numbytes    = %ld  \n", static_cast<long>(baseData->numbytes));
    printf("     datatype    = %d  \n", baseData->datatype);
    printf("     objecttype  = %d  \n", baseData->objecttype);
    printf("     derivedFlag  = %d  \n\n", baseData->derivedFlag);
    forEachLine(baseData, [&](unsigned char *line, int64_t n) {
        for (int64_t i = 0; i < n; ++i) {
            if (i) putchar(' ');
            printElement(baseData->datatype, line + i * baseData->numbytes);
        }
        putchar('\n');
    });
    printf("\n");
    fflush(stdout);
    return 0;
}

KRASTER_API int kgda_BaseDataClip(Kgda_BaseData *baseData, int32_t lines, int32_t elementsPerLine,
                                  double low, double high, Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataClip";
    kr::Report e(err);
    if (!checkArray(baseData, fn, 1, e)) return -1;
    if (lines < 0 || elementsPerLine < 0 || !blockInside(baseData, lines, elementsPerLine)) {
        e.error(fn, 2, "Block of %d lines of %d elements is outside the BaseData", lines,
                elementsPerLine);
        return -1;
    }
    const double *mins = kmsc_AddressOf_kgda_IntegerMinValue();
    const double *maxs = kmsc_AddressOf_kgda_IntegerMaxValue();
    const int32_t t = baseData->datatype;
    const Kgda_BaseData *b = baseData;
    switch (t) {
        case KGDA_TYPE_U1:
        case KGDA_TYPE_U2:
        case KGDA_TYPE_U4:
        case KGDA_TYPE_U8:
            clipInteger<uint8_t>(b, lines, elementsPerLine, low, high, 0, 255);
            break;
        case KGDA_TYPE_S8:
            clipInteger<int8_t>(b, lines, elementsPerLine, low, high, mins[t], maxs[t]);
            break;
        case KGDA_TYPE_U16:
            clipInteger<uint16_t>(b, lines, elementsPerLine, low, high, mins[t], maxs[t]);
            break;
        case KGDA_TYPE_S16:
            clipInteger<int16_t>(b, lines, elementsPerLine, low, high, mins[t], maxs[t]);
            break;
        case KGDA_TYPE_U32:
            clipInteger<uint32_t>(b, lines, elementsPerLine, low, high, mins[t], maxs[t]);
            break;
        case KGDA_TYPE_S32:
            clipInteger<int32_t>(b, lines, elementsPerLine, low, high, mins[t], maxs[t]);
            break;
        case KGDA_TYPE_F32:
            clipBlock<float>(b, lines, elementsPerLine, toFloat(low), toFloat(high));
            break;
        case KGDA_TYPE_F64:
            clipBlock<double>(b, lines, elementsPerLine, low, high);
            break;
        default:
            e.error(fn, 3, "Cannot clip %s data", typeName(t));
            return -1;
    }
    return 0;
}

KRASTER_API int kgda_BaseDataStats(const Kgda_BaseData *baseData, int32_t elementsPerLine,
                                   int32_t lines, double *minimum, double *maximum,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStats";
    kr::Report e(err);
    if (!checkArray(baseData, fn, 1, e)) return -1;
    if (!minimum || !maximum) {
        e.error(fn, 2, "NULL minimum or maximum");
        return -1;
    }
    if (lines <= 0 || elementsPerLine <= 0 || !blockInside(baseData, lines, elementsPerLine)) {
        e.error(fn, 3, "Block of %d lines of %d elements is empty or outside the BaseData", lines,
                elementsPerLine);
        return -1;
    }
    if (baseData->datatype == kString) {
        e.error(fn, 4, "Cannot compute statistics of string data");
        return -1;
    }
    double *values = static_cast<double *>(
        kmsc_HeapMalloc(static_cast<size_t>(elementsPerLine) * sizeof(double)));
    if (!values) {
        e.error(fn, 5, "Out of memory");
        return -1;
    }
    const Kpxm_ConvertFunc toDouble =
        kmsc_AddressOf_kpxm_Convert()[baseData->datatype][KGDA_TYPE_F64];
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (int32_t l = 0; l < lines; ++l) {
        toDouble(lineAt(baseData, l), values, elementsPerLine);
        for (int32_t i = 0; i < elementsPerLine; ++i) {
            if (values[i] < lo) lo = values[i];
            if (values[i] > hi) hi = values[i];
        }
    }
    kmsc_HeapFree(values);
    *minimum = lo;
    *maximum = hi;
    return 0;
}

}  // extern "C"
