// Shared helpers of the BaseData module: shape arithmetic, element
// addressing, record checks and the two-phase copy used by arrays, stacks
// and stack arrays.
#pragma once

#include <kraster/kgda.h>
#include <kraster/kpxm.h>

#include <cstddef>
#include <cstdint>

#include "core/report.hpp"

namespace kr::gda {

constexpr int32_t kString = KGDA_STRING_TYPE_CODE;
constexpr int32_t kTypes = KGDA_PIXEL_TYPE_COUNT;

inline bool validType(int32_t t) {
    return t >= 0 && t < kTypes;
}
inline bool validObject(int32_t o) {
    return o >= KGDA_SCALAR_OBJECT && o <= KGDA_RASTER_OBJECT;
}
inline int32_t bytesOf(int32_t type) {
    return kmsc_AddressOf_kgda_NumBytesPerPixel()[type];
}
inline const char *typeName(int32_t type) {
    return validType(type) ? kmsc_AddressOf_kgda_PixelTypeName()[type] : "?";
}

// Sizes of an array of a given shape; computed in 64 bits and refused when
// the 32-bit fields cannot hold them.
struct Layout {
    int32_t pitch = 0;
    int32_t numelements = 0;
    int32_t numbytes = 0;
    int64_t allocBytes = 0;  // buffer bytes (raster columns rounded up to 4)
};

// False when rows or columns are negative, a type is out of range, or the
// element count or pitch does not fit 32 bits.
bool layoutOf(int32_t rows, int32_t columns, int32_t type, int32_t object, Layout *out);

inline bool isMatrix(const Kgda_BaseData *b) {
    return b->objecttype == KGDA_MATRIX_OBJECT;
}
// Storage lines (columns of a matrix, rows otherwise) and their length.
inline int32_t lineCount(const Kgda_BaseData *b) {
    return isMatrix(b) ? b->numcolumns : b->numrows;
}
inline int32_t lineLength(const Kgda_BaseData *b) {
    return isMatrix(b) ? b->numrows : b->numcolumns;
}
inline unsigned char *lineAt(const Kgda_BaseData *b, int64_t line) {
    return b->windowStart + static_cast<ptrdiff_t>(line) * b->pitch;
}
inline unsigned char *elementAt(const Kgda_BaseData *b, int64_t row, int64_t column) {
    const ptrdiff_t nb = b->numbytes;
    if (isMatrix(b)) return b->windowStart + column * b->pitch + row * nb;
    return b->windowStart + row * b->pitch + column * nb;
}

// Checks that a record describes addressable elements: types in range,
// numbytes and numelements consistent with the type and shape, pitch a
// multiple of numbytes covering a line, a window start when there are
// elements. Raises a report under fn with the given code otherwise.
bool checkArray(const Kgda_BaseData *b, const char *fn, int code, kr::Report &e);

// Calls f(source, destination, count) for each run of contiguous elements
// that a copy from a to b transfers: the overlapping lines, or for table
// objects the first min(numelements) elements in row order.
template <class F>
void forEachCopyRun(const Kgda_BaseData *a, const Kgda_BaseData *b, F &&f) {
    if (a->objecttype == KGDA_TABLE_OBJECT) {
        int64_t total = a->numelements < b->numelements ? a->numelements : b->numelements;
        int64_t ra = 0, ca = 0, rb = 0, cb = 0;
        while (total > 0) {
            int64_t n = a->numcolumns - ca;
            if (b->numcolumns - cb < n) n = b->numcolumns - cb;
            if (total < n) n = total;
            f(elementAt(a, ra, ca), elementAt(b, rb, cb), n);
            total -= n;
            if ((ca += n) == a->numcolumns) ca = 0, ++ra;
            if ((cb += n) == b->numcolumns) cb = 0, ++rb;
        }
        return;
    }
    const int32_t lines = lineCount(a) < lineCount(b) ? lineCount(a) : lineCount(b);
    const int32_t length = lineLength(a) < lineLength(b) ? lineLength(a) : lineLength(b);
    if (length <= 0) return;
    for (int32_t l = 0; l < lines; ++l) f(lineAt(a, l), lineAt(b, l), int64_t{length});
}

// Calls f(line start, count) for every storage line of b.
template <class F>
void forEachLine(const Kgda_BaseData *b, F &&f) {
    const int32_t length = lineLength(b);
    if (length <= 0) return;
    for (int32_t l = 0; l < lineCount(b); ++l) f(lineAt(b, l), int64_t{length});
}

// Frees every string of a string array's elements and sets them to NULL.
void freeStrings(const Kgda_BaseData *b);

// A copy prepared so that committing it cannot fail: arguments checked and,
// for strings, every copy made in advance.
class CopyPlan {
  public:
    CopyPlan() = default;
    CopyPlan(const CopyPlan &) = delete;
    CopyPlan &operator=(const CopyPlan &) = delete;
    ~CopyPlan() { discard(); }

    // Checks source and destination and stages string copies. On failure
    // raises a report under fn and returns false.
    bool prepare(const Kgda_BaseData *source, Kgda_BaseData *destination, const char *fn,
                 kr::Report &e);
    // Writes the destination; *changed (if given) is set to 1 when the first
    // byte of some line differed before.
    void commit(int32_t *changed);

  private:
    void discard();

    const Kgda_BaseData *src_ = nullptr;
    Kgda_BaseData *dst_ = nullptr;
    char **strings_ = nullptr;  // staged copies, in run order
    int64_t stringCount_ = 0;
};

}  // namespace kr::gda
