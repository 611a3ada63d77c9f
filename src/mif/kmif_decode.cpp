// The object decoder: reads the encoding of an object from memory or from a
// file handle into an existing host object, never past a byte limit, and
// checks every count against the bytes left before it allocates.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <climits>

#include "core/report.hpp"
#include "mif/kmif_codec.hpp"

namespace kr::mif {

namespace {

constexpr const char *kMIFtoObject = "kmif_MIFtoObject";

// ---- Sources ---------------------------------------------------------------
//
// get() copies bytes as they are; consume() hands n bytes to a function in
// pieces (use(in, first, len) receives bytes [first, first + len)); left() is
// what may still be read.

class SourceLimit {
  public:
    explicit SourceLimit(int64_t limit) : left_(limit < 0 ? INT64_MAX : limit) {}
    int64_t left() const { return left_; }
    int64_t consumed() const { return consumed_; }
    bool need(size_t n, const char *fn, Kerr_ErrorReport **err) const {
        if (static_cast<uint64_t>(n) <= static_cast<uint64_t>(left_)) return true;
        kr::Report e(err);
        e.error(fn, 30, "Unexpected end of data: %zu bytes needed, %lld left", n,
                static_cast<long long>(left_));
        return false;
    }
    void advance(size_t n) {
        left_ -= static_cast<int64_t>(n);
        consumed_ += static_cast<int64_t>(n);
    }

  private:
    int64_t left_;
    int64_t consumed_ = 0;
};

class MemorySource : public SourceLimit {
  public:
    MemorySource(const unsigned char *p, int64_t limit) : SourceLimit(limit), p_(p) {}
    bool get(void *destination, size_t n, const char *fn, Kerr_ErrorReport **err) {
        if (!need(n, fn, err)) return false;
        if (n) memcpy(destination, p_, n);
        p_ += n;
        advance(n);
        return true;
    }
    template <class Use>
    bool consume(size_t n, Use &&use, const char *fn, Kerr_ErrorReport **err) {
        if (!need(n, fn, err)) return false;
        if (n) use(p_, int64_t{0}, n);
        p_ += n;
        advance(n);
        return true;
    }

  private:
    const unsigned char *p_;
};

class FileSource : public SourceLimit {
  public:
    FileSource(Kfio_Fd *fd, int64_t limit) : SourceLimit(limit), fd_(fd) {}
    bool get(void *destination, size_t n, const char *fn, Kerr_ErrorReport **err) {
        return need(n, fn, err) && read(destination, n, fn, err);
    }
    template <class Use>
    bool consume(size_t n, Use &&use, const char *fn, Kerr_ErrorReport **err) {
        if (!need(n, fn, err)) return false;
        kr::Report e(err);
        unsigned char *work = workBuffer(std::min(n, kWorkChunk), e.out());
        if (!work) {
            e.error(fn, 31);
            return false;
        }
        for (size_t done = 0; done < n;) {
            const size_t piece = std::min(n - done, kWorkChunk);
            if (!read(work, piece, fn, e.out())) return false;
            use(work, static_cast<int64_t>(done), piece);
            done += piece;
        }
        return true;
    }

  private:
    bool read(void *destination, size_t n, const char *fn, Kerr_ErrorReport **err) {
        if (!n) return true;
        kr::Report e(err);
        const size_t r = kfio_ReadSeq(fd_, destination, n, e.out());
        advance(r);
        if (r == n) return true;
        if (e.failed())
            e.error(fn, 32);
        else
            e.error(fn, 32, "Read %zu of %zu bytes", r, n);
        return false;
    }

    Kfio_Fd *fd_;
};

unsigned char *allocate(int64_t bytes) {
    return static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(bytes)));
}

// ---- Decoder ---------------------------------------------------------------

template <class Source>
class Decoder {
  public:
    static constexpr bool kReading = true;
    explicit Decoder(Source &source) : source_(source) {}

    // kmif_MIFtoObject: the items of one object in design order.
    bool object(unsigned char *object, const Kmif_Design *design, int depth,
                Kerr_ErrorReport **err) {
        kr::Report e(err);
        if (!walkable(object, design, depth, kMIFtoObject, e.out())) return false;
        for (const Kmif_Item *item = design->itemList; item; item = item->next) {
            if (!itemWalkable(item, design, kMIFtoObject, e.out())) return false;
            unsigned char *field = object + item->hostOffset;
            unsigned char *target = field;
            int64_t count = item->count;
            if (item->indirectFlag && !indirect(item, field, depth, target, count, e.out()))
                return false;
            if (count > 0 && !elements(item, item->type, target, count, depth, e.out())) {
                e.error(kMIFtoObject, 3, "%s failed", readerName(item->type));
                return false;
            }
        }
        return true;
    }

    // The per-type readers: count elements of type code into host.
    bool elements(const Kmif_Item *item, int code, unsigned char *host, int64_t count, int depth,
                  Kerr_ErrorReport **err) {
        const char *fn = readerName(code);
        const size_t n = static_cast<size_t>(count);
        const TypeInfo *type = typeInfo(code);
        switch (type ? type->kind : ElementKind::Design) {
            case ElementKind::Plain:
                return source_.get(host, n * static_cast<size_t>(type->fileBits / 8), fn, err);
            case ElementKind::Enum:
                // Each 16-bit value becomes a 32-bit value with zero upper bits.
                return source_.consume(
                    2 * n,
                    [host](const unsigned char *in, int64_t first, size_t len) {
                        unsigned char *v = host + first * 2;
                        for (size_t i = 0; i < len; i += 2, v += 4) {
                            const uint32_t value = uint32_t{in[i]} | uint32_t{in[i + 1]} << 8;
                            memcpy(v, &value, 4);
                        }
                    },
                    fn, err);
            case ElementKind::Bits: {
                const int bits = type->fileBits;
                return source_.consume(
                    static_cast<size_t>(packedBytes(count, bits)),
                    [host, count, bits](const unsigned char *in, int64_t first, size_t len) {
                        unpackBits(host, in, count, bits, first, len);
                    },
                    fn, err);
            }
            case ElementKind::BaseData:
            case ElementKind::Design:
                break;
        }
        return objectElements(*this, item, code, host, count, depth, fn, err);
    }

    // nested and baseData below are called back by objectElements.

    // Reads an indirect item's header and makes its host array match the
    // count: target and count receive the array and the element count.
    bool indirect(const Kmif_Item *item, unsigned char *field, int depth, unsigned char *&target,
                  int64_t &count, Kerr_ErrorReport **err) {
        kr::Report e(err);
        unsigned char header[8];
        if (!source_.get(header, sizeof header, "kmif_MIFtoLong", e.out())) {
            e.error(kMIFtoObject, 2, "Error converting MIF to long!");
            return false;
        }
        // The position in the header is not needed: the elements follow it.
        const uint32_t stored = loadLe32(header);
        if (stored > INT32_MAX) {
            e.error(kMIFtoObject, 6, "Item %s: invalid count %lu", nameOf(item->name),
                    static_cast<unsigned long>(stored));
            return false;
        }
        count = stored;
        const int64_t needed = fixedFileBytes(item, count);
        if (needed > source_.left()) {
            e.error(kMIFtoObject, 7, "Item %s: %lld elements need at least %lld bytes, %lld left",
                    nameOf(item->name), static_cast<long long>(count),
                    static_cast<long long>(needed), static_cast<long long>(source_.left()));
            return false;
        }
        unsigned char *pointer = pointerField(field, item);
        auto *array = static_cast<unsigned char *>(loadPointer(pointer));
        const int64_t stride = hostStride(item);
        const int64_t bytes = count * stride;

        if (item->countedFlag) {
            const int32_t held = loadInt32(field);
            if (!array) {
                if (bytes > 0 && !(array = allocate(bytes))) {
                    e.error(kMIFtoObject, 5905, "No memory");
                    return false;
                }
            } else if (held != count) {
                unsigned char *fresh = nullptr;
                if (bytes > 0 && !(fresh = allocate(bytes))) {
                    e.error(kMIFtoObject, 5931, "No memory");
                    return false;
                }
                freeElements(array, std::max<int32_t>(held, 0), item, depth);
                kmsc_HeapFree(array);
                array = fresh;
            }
            storePointer(pointer, array);
            storeInt32(field, static_cast<int32_t>(count));
        } else if (item->count < 0) {
            // A C string: always a fresh NUL-terminated copy.
            unsigned char *fresh = nullptr;
            if (count > 0 && !(fresh = allocate(count + 1))) {
                e.error(kMIFtoObject, 5869, "No memory");
                return false;
            }
            kmsc_HeapFree(array);
            storePointer(pointer, array = fresh);
        } else {
            if (count != 0 && count != item->count) {
                e.error(kMIFtoObject, 8, "Item %s holds %lld elements where %d are declared",
                        nameOf(item->name), static_cast<long long>(count), item->count);
                return false;
            }
            if (!array) {
                if (bytes > 0 && !(array = allocate(bytes))) {
                    e.error(kMIFtoObject, 5869, "No memory");
                    return false;
                }
                storePointer(pointer, array);
            } else if (count == 0) {
                freeElements(array, item->count, item, depth);
                kmsc_HeapFree(array);
                storePointer(pointer, array = nullptr);
            }
        }
        target = array;
        return true;
    }

    bool nested(const Kmif_Item *item, unsigned char *host, int64_t count, int depth,
                Kerr_ErrorReport **err) {
        const Kmif_Design *design = item->nestedDesign;
        const int64_t stride = hostStride(item);
        if (design->itemList) {
            if (design->fileSize == 0) return true;
            const DesignTraits traits = designTraits(design);
            if (traits.flat && stride == design->fileSize)
                return source_.get(host, static_cast<size_t>(count * stride), kMIFtoObject, err);
        }
        for (int64_t i = 0; i < count; ++i)
            if (!object(host + i * stride, design, depth + 1, err)) return false;
        return true;
    }

    // kmif_MIFtoBaseData: one generic data object. A record of the same
    // shape and types keeps its buffer; any other record gets a new one
    // (a borrowed buffer of another shape is refused).
    bool baseData(unsigned char *record, int depth, Kerr_ErrorReport **err) {
        static const char *const fn = "kmif_MIFtoBaseData";
        kr::Report e(err);
        unsigned char header[12];
        if (!source_.get(header, sizeof header, fn, e.out())) {
            e.error(fn, 6, "Error converting MIF to a BaseData header!");
            return false;
        }
        const int32_t rows = static_cast<int32_t>(loadLe32(header));
        const int32_t columns = static_cast<int32_t>(loadLe32(header + 4));
        const int32_t datatype = loadLe16(header + 8);
        const int32_t objecttype = loadLe16(header + 10);
        BaseDataShape shape;
        if (!baseDataShape(rows, columns, datatype, objecttype, shape, fn, e.out())) return false;
        if (shape.fileBytes > source_.left()) {
            e.error(fn, 9, "%d x %d values need %lld bytes, %lld left", rows, columns,
                    static_cast<long long>(shape.fileBytes),
                    static_cast<long long>(source_.left()));
            return false;
        }
        Kgda_BaseData bd;
        memcpy(&bd, record, sizeof bd);
        const bool hasData = baseDataStart(bd) != nullptr;
        if (!hasData || bd.numrows != rows || bd.numcolumns != columns || bd.datatype != datatype ||
            bd.objecttype != objecttype) {
            if (hasData && bd.derivedFlag) {
                e.error(fn, 10, "A borrowed %d x %d BaseData cannot take %d x %d values",
                        bd.numrows, bd.numcolumns, rows, columns);
                return false;
            }
            Kgda_BaseData *fresh =
                kgda_BaseDataCreate(rows, columns, datatype, objecttype, nullptr, e.out());
            if (!fresh) {
                e.error(fn, 11, "No memory");
                return false;
            }
            void *const tag = bd.tag;
            kgda_BaseDataDeleteContents(&bd, nullptr);
            bd = *fresh;
            bd.tag = tag;
            // The record takes the new buffer; only the new record goes.
            fresh->data = fresh->windowStart = nullptr;
            kgda_BaseDataDelete(fresh, nullptr);
            memcpy(record, &bd, sizeof bd);
        }
        if (shape.elements == 0) return true;
        return baseDataLines(*this, bd, shape, baseDataStart(bd), depth, fn, e.out());
    }

  private:
    Source &source_;
};

template <class Source>
bool decode(Source &source, unsigned char *object, const Kmif_Design *design,
            Kerr_ErrorReport **err) {
    Decoder<Source> decoder(source);
    return decoder.object(object, design, 0, err);
}

int32_t convertToHost(const char *fn, Kfio_Fd *fd, const void *memory, int64_t limit,
                      const Kmif_Design *design, void **objectPP, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!objectPP) {
        e.error(fn, 1, "Bad objectPP.");
        return -1;
    }
    if (!design || design->hostSize <= 0) {
        e.error(fn, 2, "Invalid design!");
        return -1;
    }
    if (!memory && !fd) {
        e.error(fn, 3, "No file handle and no memory to read from");
        return -1;
    }
    if (!memory && limit < 0) {
        // From a file: at most the rest of it.
        const int64_t size = kfio_FileSizeGetByHandle64(fd, e.out());
        const int64_t position = size < 0 ? -1 : kfio_Tell64(fd, e.out());
        if (position < 0) {
            e.error(fn, 4, "Cannot find the size of the file");
            return -1;
        }
        limit = std::max<int64_t>(size - position, 0);
    }
    if (limit >= 0 && design->fileSize > limit) {
        e.error(fn, 5, "An object of design %s needs at least %d bytes, %lld are left",
                nameOf(design->name), design->fileSize, static_cast<long long>(limit));
        return -1;
    }
    auto *object = static_cast<unsigned char *>(*objectPP);
    const bool allocated = !object;
    if (allocated) {
        const size_t size = (static_cast<size_t>(design->hostSize) + 7) & ~size_t{7};
        if (!(object = static_cast<unsigned char *>(kmsc_HeapMalloc(size)))) {
            e.error(fn, 6, "No memory");
            return -1;
        }
        *objectPP = object;
    }
    bool ok;
    int64_t consumed;
    if (memory) {
        MemorySource source(static_cast<const unsigned char *>(memory), limit);
        ok = decode(source, object, design, e.out());
        consumed = source.consumed();
    } else {
        FileSource source(fd, limit);
        ok = decode(source, object, design, e.out());
        consumed = source.consumed();
    }
    if (ok && consumed > INT32_MAX) {
        e.error(fn, 8, "An encoding of %lld bytes is too large", static_cast<long long>(consumed));
        ok = false;
    } else if (!ok) {
        e.error(fn, 7, "kmif_MIFtoObject failed");
    }
    if (!ok) {
        if (allocated) {
            freeObjectItems(object, design);
            kmsc_HeapFree(object);
            *objectPP = nullptr;
        }
        return -1;
    }
    return static_cast<int32_t>(consumed);
}

}  // namespace

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API int32_t kmif_ConvertToHost(Kfio_Fd *fd, const void *source, const Kmif_Design *design,
                                       void **objectPP, Kerr_ErrorReport **err) {
    return convertToHost("kmif_ConvertToHost", fd, source, -1, design, objectPP, err);
}

KRASTER_API int32_t kmif_ConvertToHostX(Kfio_Fd *fd, const unsigned char **cursor,
                                        const Kmif_Design *design, void **objectPP,
                                        Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_ConvertToHostX";
    if (fd) return convertToHost(fn, fd, nullptr, -1, design, objectPP, err);
    if (!cursor || !*cursor) {
        kr::Report e(err);
        e.error(fn, 9, "No file handle and no memory to read from");
        return -1;
    }
    const int32_t consumed = convertToHost(fn, nullptr, *cursor, -1, design, objectPP, err);
    if (consumed > 0) *cursor += consumed;
    return consumed;
}

KRASTER_API int32_t kmif_ConvertToHostEx(Kfio_Fd *fd, const void *source, int64_t limit,
                                         const Kmif_Design *design, void **objectPP,
                                         Kerr_ErrorReport **err) {
    if (limit < 0) {
        kr::Report e(err);
        e.error("kmif_ConvertToHostEx", 10, "Invalid limit %lld", static_cast<long long>(limit));
        return -1;
    }
    return convertToHost("kmif_ConvertToHostEx", fd, source, limit, design, objectPP, err);
}

}  // extern "C"
