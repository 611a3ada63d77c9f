// Internals of the object encoding shared by the encoder, the decoder and the
// object services: host field access, item facts, the per-thread stream
// state with its work buffer, and the bit packing kernels.
#pragma once

#include <kraster/kgda.h>
#include <kraster/kmif.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the encoding copies numbers as they are on little-endian hosts");

// Deepest nesting of designs the encoder, decoder and object services follow.
constexpr int kMaxDepth = 128;
// Largest piece packed or read through the work buffer at a time.
constexpr size_t kWorkChunk = 64 * 1024;

// ---- Host fields ---------------------------------------------------------

inline void *loadPointer(const unsigned char *field) {
    void *p;
    memcpy(&p, field, sizeof p);
    return p;
}
inline void storePointer(unsigned char *field, const void *p) {
    memcpy(field, &p, sizeof p);
}
inline int32_t loadInt32(const unsigned char *field) {
    int32_t v;
    memcpy(&v, field, sizeof v);
    return v;
}
inline void storeInt32(unsigned char *field, int32_t v) {
    memcpy(field, &v, sizeof v);
}
inline uint32_t loadLe32(const unsigned char *b) {
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}
inline void storeLe32(unsigned char *b, uint32_t v) {
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v >> 16);
    b[3] = static_cast<unsigned char>(v >> 24);
}

inline void storeLe16(unsigned char *b, uint16_t v) {
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
}
inline uint16_t loadLe16(const unsigned char *b) {
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

// Pointer of an indirect item's host field (the pointer of a counted item
// follows its 32-bit count).
inline unsigned char *pointerField(unsigned char *field, const Kmif_Item *item) {
    return item->countedFlag ? field + kNativeAbi.countedPointerOffset : field;
}
inline const unsigned char *pointerField(const unsigned char *field, const Kmif_Item *item) {
    return item->countedFlag ? field + kNativeAbi.countedPointerOffset : field;
}

// ---- Item facts ----------------------------------------------------------

// True when the item's host facts are those of this process's layout (a
// design laid out for another host, or one made by hand with inconsistent
// sizes, is refused before any memory is touched).
bool itemFitsHost(const Kmif_Item *item, const Kmif_Design *design);

// Number of elements a plain pointer item points to: its declared count; a
// negative count of a character item means the C string's length including
// its NUL (0 for NULL). -1 for any other negative count.
int64_t plainPointerCount(const Kmif_Item *item, const void *pointer);

// Bytes count elements of the item's type take in the fixed part of a file
// record (for nested designs their fixed part, for 'b' the 12-byte headers):
// a lower bound of what their encoding needs.
int64_t fixedFileBytes(const Kmif_Item *item, int64_t count);

// Host bytes of one element (the stride of arrays of the item's type).
inline int64_t hostStride(const Kmif_Item *item) {
    return item->hostElementSize;
}

// What the objects of a design hold, nested designs included.
struct DesignTraits {
    bool pointers = false;  // an indirect or generic data item somewhere
    bool flat = false;      // encoding identical to the host bytes
};
DesignTraits designTraits(const Kmif_Design *design);

// Names of the per-type writers and readers, used in reports.
// An item or design name for messages.
inline const char *nameOf(const char *name) {
    return name ? name : "(no name)";
}

// Reports "Invalid item type %d" under fn; returns false.
bool invalidType(const char *fn, int code, Kerr_ErrorReport **err);

// Checks before an object's items are walked under fn: an object and a design
// with items, nesting at most kMaxDepth deep, and each item laid out for this
// host (item may be NULL to check the object only). False with a report.
bool walkable(const void *object, const Kmif_Design *design, int depth, const char *fn,
              Kerr_ErrorReport **err);
bool itemWalkable(const Kmif_Item *item, const Kmif_Design *design, const char *fn,
                  Kerr_ErrorReport **err);

// The elements of an item that are objects themselves, for the encoder and
// the decoder alike: generic data objects one at a time through
// coder.baseData, objects of a nested design through coder.nested; any other
// code is an invalid type.
template <class Coder, class Byte>
bool objectElements(Coder &coder, const Kmif_Item *item, int code, Byte *host, int64_t count,
                    int depth, const char *fn, Kerr_ErrorReport **err) {
    const TypeInfo *type = typeInfo(code);
    if (type && type->kind == ElementKind::BaseData) {
        const int64_t stride = hostStride(item);
        for (int64_t i = 0; i < count; ++i)
            if (!coder.baseData(host + i * stride, depth, err)) return false;
        return true;
    }
    if (hasNestedDesign(code)) return coder.nested(item, host, count, depth, err);
    return invalidType(fn, code, err);
}
const char *writerName(int code);
const char *readerName(int code);

// ---- Generic data objects ---------------------------------------------------

// How the values of a generic data object are stored: lines of perLine
// elements (columns of a matrix, rows otherwise) of the pixel type's item
// code.
struct BaseDataShape {
    int64_t elements = 0;  // numrows x numcolumns
    int64_t lines = 0;
    int64_t perLine = 0;
    int64_t lineBytes = 0;  // host bytes of one line
    int64_t fileBytes = 0;  // encoded bytes of all lines
    int bits = 0;           // bits per value
    int code = 0;           // item code of the values
};
// Checks a generic data object's header (non-negative shape whose element
// count and line bytes fit 32 bits, data type u1 to c128, object type 0 to
// 3) and describes its storage; false with a report raised as fn.
bool baseDataShape(int64_t numrows, int64_t numcolumns, int64_t datatype, int64_t objecttype,
                   BaseDataShape &shape, const char *fn, Kerr_ErrorReport **err);
// First element of a generic data object: its window start, else its data.
inline unsigned char *baseDataStart(const Kgda_BaseData &bd) {
    return bd.windowStart ? bd.windowStart : bd.data;
}

// The values of a generic data object from start, line by line through
// coder.elements (whole lines of whole bytes one after the other go in one
// piece), for the encoder and the decoder alike (Coder::kReading tells which
// names the reports use). False with a report raised as fn.
template <class Coder, class Byte>
bool baseDataLines(Coder &coder, const Kgda_BaseData &bd, const BaseDataShape &shape, Byte *start,
                   int depth, const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (shape.lines > 1 && bd.pitch < shape.lineBytes) {
        e.error(fn, 5, "A pitch of %d bytes is shorter than a line of %lld bytes", bd.pitch,
                static_cast<long long>(shape.lineBytes));
        return false;
    }
    const bool onePiece = bd.pitch == shape.lineBytes && shape.bits >= 8;
    const int64_t lines = onePiece ? 1 : shape.lines;
    const int64_t perLine = onePiece ? shape.elements : shape.perLine;
    for (int64_t l = 0; l < lines; ++l)
        if (!coder.elements(nullptr, shape.code, start + l * bd.pitch, perLine, depth, e.out())) {
            e.error(fn, 7, Coder::kReading ? "%s failed" : "Error reported by function %s",
                    Coder::kReading ? readerName(shape.code) : writerName(shape.code));
            return false;
        }
    return true;
}

// ---- Per-thread stream state -------------------------------------------------

// The calling thread's immediate-flush flag (0 when the state cannot be made).
int immediateFlush();
// The calling thread's work buffer, grown to at least size bytes (step
// GetWorkBuffer); NULL with a report when memory runs out.
unsigned char *workBuffer(size_t size, Kerr_ErrorReport **err);

// ---- Bit packing -----------------------------------------------------------

// Bytes of count packed values of bits (1, 2 or 4) each.
inline int64_t packedBytes(int64_t count, int bits) {
    return (count * bits + 7) / 8;
}
// Writes packed bytes [first, first + n) of count host values (one byte each,
// only the low bits are taken).
void packBits(unsigned char *out, const unsigned char *values, int64_t count, int bits,
              int64_t first, size_t n);
// Expands packed bytes [first, first + n) into the host values they hold.
void unpackBits(unsigned char *values, const unsigned char *in, int64_t count, int bits,
                int64_t first, size_t n);

// ---- Object helpers (no reports) -----------------------------------------

// Frees what the items of an object point to; pointers become NULL, counts 0
// and generic data objects empty.
void freeObjectItems(unsigned char *object, const Kmif_Design *design, int depth = 0);
// The same for count elements of an item's type at elements (nested objects
// or generic data objects; nothing for other types).
void freeElements(unsigned char *elements, int64_t count, const Kmif_Item *item, int depth);

}  // namespace kr::mif
