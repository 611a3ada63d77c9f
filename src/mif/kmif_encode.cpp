// The object encoder: one walk over a host object and its design, writing
// into one of three sinks (a file handle, a memory buffer, or a pure byte
// count).
#include <kraster/kfio.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <climits>

#include "core/report.hpp"
#include "mif/kmif_codec.hpp"

namespace kr::mif {

namespace {

constexpr const char *kObjectToMIF = "kmif_ObjectToMIF";

// ---- Sinks ----------------------------------------------------------------
//
// put() writes bytes as they are; produce() has a fill function write n bytes
// in pieces (fill(out, first, len) writes bytes [first, first + len)) so that
// a file sink can pass them through the work buffer; headerTarget() is the
// position recorded in an indirect header written next.

class CountSink {
  public:
    static constexpr bool kCounts = true;
    int64_t written() const { return n_; }
    uint32_t headerTarget() const { return 0; }
    bool put(const void *, size_t n, const char *, Kerr_ErrorReport **) {
        n_ += static_cast<int64_t>(n);
        return true;
    }
    template <class Fill>
    bool produce(size_t n, Fill &&, const char *, Kerr_ErrorReport **) {
        n_ += static_cast<int64_t>(n);
        return true;
    }

  private:
    int64_t n_ = 0;
};

// Fails before writing past a capacity (negative: none).
class Capacity {
  public:
    explicit Capacity(int64_t capacity) : left_(capacity < 0 ? INT64_MAX : capacity) {}
    bool take(size_t n, const char *fn, Kerr_ErrorReport **err) {
        if (static_cast<uint64_t>(n) > static_cast<uint64_t>(left_)) {
            kr::Report e(err);
            e.error(fn, 20, "%zu bytes do not fit in the %lld bytes left", n,
                    static_cast<long long>(left_));
            return false;
        }
        left_ -= static_cast<int64_t>(n);
        return true;
    }

  private:
    int64_t left_;
};

class MemorySink {
  public:
    static constexpr bool kCounts = false;
    MemorySink(unsigned char *base, int64_t capacity, uint64_t position)
        : base_(base), capacity_(capacity), position_(position) {}
    int64_t written() const { return n_; }
    uint32_t headerTarget() const {
        return static_cast<uint32_t>(position_ + static_cast<uint64_t>(n_) + 8);
    }
    bool put(const void *p, size_t n, const char *fn, Kerr_ErrorReport **err) {
        if (!capacity_.take(n, fn, err)) return false;
        if (n) memcpy(base_ + n_, p, n);
        n_ += static_cast<int64_t>(n);
        return true;
    }
    template <class Fill>
    bool produce(size_t n, Fill &&fill, const char *fn, Kerr_ErrorReport **err) {
        if (!capacity_.take(n, fn, err)) return false;
        if (n) fill(base_ + n_, int64_t{0}, n);
        n_ += static_cast<int64_t>(n);
        return true;
    }

  private:
    unsigned char *base_;
    Capacity capacity_;
    uint64_t position_;
    int64_t n_ = 0;
};

class FileSink {
  public:
    static constexpr bool kCounts = false;
    FileSink(Kfio_Fd *fd, int64_t capacity, int64_t start, int flush)
        : fd_(fd), capacity_(capacity), start_(start), flush_(flush) {}
    int64_t written() const { return n_; }
    uint32_t headerTarget() const { return static_cast<uint32_t>(start_ + n_ + 8); }
    bool put(const void *p, size_t n, const char *fn, Kerr_ErrorReport **err) {
        return capacity_.take(n, fn, err) && write(p, n, fn, err);
    }
    template <class Fill>
    bool produce(size_t n, Fill &&fill, const char *fn, Kerr_ErrorReport **err) {
        if (!capacity_.take(n, fn, err)) return false;
        kr::Report e(err);
        unsigned char *work = workBuffer(std::min(n, kWorkChunk), e.out());
        if (!work) {
            e.error(fn, 21);
            return false;
        }
        for (size_t done = 0; done < n;) {
            const size_t piece = std::min(n - done, kWorkChunk);
            fill(work, static_cast<int64_t>(done), piece);
            if (!write(work, piece, fn, e.out())) return false;
            done += piece;
        }
        return true;
    }

  private:
    bool write(const void *p, size_t n, const char *fn, Kerr_ErrorReport **err) {
        if (!n) return true;
        kr::Report e(err);
        const size_t w = kfio_FileWriteSequential(fd_, p, n, flush_, e.out());
        n_ += static_cast<int64_t>(w);
        if (w == n) return true;
        if (e.failed())
            e.error(fn, 22);
        else
            e.error(fn, 22, "Wrote %zu of %zu bytes", w, n);
        return false;
    }

    Kfio_Fd *fd_;
    Capacity capacity_;
    int64_t start_;
    int flush_;
    int64_t n_ = 0;
};

// ---- Encoder ---------------------------------------------------------------

template <class Sink>
class Encoder {
  public:
    static constexpr bool kReading = false;
    explicit Encoder(Sink &sink) : sink_(sink) {}

    // kmif_ObjectToMIF: the items of one object in design order.
    bool object(const unsigned char *object, const Kmif_Design *design, int depth,
                Kerr_ErrorReport **err) {
        kr::Report e(err);
        if (!walkable(object, design, depth, kObjectToMIF, e.out())) return false;
        for (const Kmif_Item *item = design->itemList; item; item = item->next) {
            if (!itemWalkable(item, design, kObjectToMIF, e.out())) return false;
            const unsigned char *field = object + item->hostOffset;
            const unsigned char *source = field;
            int64_t count = item->count;
            if (item->indirectFlag) {
                source = static_cast<const unsigned char *>(loadPointer(pointerField(field, item)));
                count = item->countedFlag ? loadInt32(field) : plainPointerCount(item, source);
                if (count < 0) {
                    e.error(kObjectToMIF, 6, "Item %s holds the invalid count %lld",
                            nameOf(item->name), static_cast<long long>(count));
                    return false;
                }
                if (!source) count = 0;
                unsigned char header[8];
                storeLe32(header, static_cast<uint32_t>(count));
                storeLe32(header + 4, sink_.headerTarget());
                if (!sink_.put(header, sizeof header, "kmif_LongToMIF", e.out())) {
                    e.error(kObjectToMIF, 2, "Error converting long to MIF!");
                    return false;
                }
            }
            if (count > 0 && !elements(item, item->type, source, count, depth, e.out())) {
                e.error(kObjectToMIF, 3, "Error reported by function %s", writerName(item->type));
                return false;
            }
        }
        return true;
    }

    // The per-type writers: count elements of type code at host.
    bool elements(const Kmif_Item *item, int code, const unsigned char *host, int64_t count,
                  int depth, Kerr_ErrorReport **err) {
        const char *fn = writerName(code);
        const size_t n = static_cast<size_t>(count);
        const TypeInfo *type = typeInfo(code);
        switch (type ? type->kind : ElementKind::Design) {
            case ElementKind::Plain:
                return sink_.put(host, n * static_cast<size_t>(type->fileBits / 8), fn, err);
            case ElementKind::Enum:
                // The low 16 bits of each 32-bit value.
                return sink_.produce(
                    2 * n,
                    [host](unsigned char *out, int64_t first, size_t len) {
                        const unsigned char *v = host + first * 2;
                        for (size_t i = 0; i < len; i += 2, v += 4) memcpy(out + i, v, 2);
                    },
                    fn, err);
            case ElementKind::Bits: {
                const int bits = type->fileBits;
                return sink_.produce(
                    static_cast<size_t>(packedBytes(count, bits)),
                    [host, count, bits](unsigned char *out, int64_t first, size_t len) {
                        packBits(out, host, count, bits, first, len);
                    },
                    fn, err);
            }
            case ElementKind::BaseData:
            case ElementKind::Design:
                break;
        }
        return objectElements(*this, item, code, host, count, depth, fn, err);
    }

    // Called back by objectElements.

    bool nested(const Kmif_Item *item, const unsigned char *host, int64_t count, int depth,
                Kerr_ErrorReport **err) {
        const Kmif_Design *design = item->nestedDesign;
        const int64_t stride = hostStride(item);
        if (design->itemList) {
            // Elements without items of nonzero count encode to nothing;
            // elements whose encoding is their host bytes go in one piece.
            if (design->fileSize == 0) return true;
            const DesignTraits traits = designTraits(design);
            if (traits.flat && stride == design->fileSize)
                return sink_.put(host, static_cast<size_t>(count * stride), kObjectToMIF, err);
            if constexpr (Sink::kCounts)
                if (!traits.pointers)
                    return sink_.put(nullptr, static_cast<size_t>(count * design->fileSize),
                                     kObjectToMIF, err);
        }
        for (int64_t i = 0; i < count; ++i)
            if (!object(host + i * stride, design, depth + 1, err)) return false;
        return true;
    }

    // kmif_BaseDataToMIF: one generic data object, its 12-byte header and
    // then its values line by line (columns of a matrix, rows otherwise),
    // each line starting on a byte boundary.
    bool baseData(const unsigned char *record, int depth, Kerr_ErrorReport **err) {
        static const char *const fn = "kmif_BaseDataToMIF";
        kr::Report e(err);
        Kgda_BaseData bd;
        memcpy(&bd, record, sizeof bd);
        BaseDataShape shape;
        if (!baseDataShape(bd.numrows, bd.numcolumns, bd.datatype, bd.objecttype, shape, fn,
                           e.out()))
            return false;
        unsigned char header[12];
        storeLe32(header, static_cast<uint32_t>(bd.numrows));
        storeLe32(header + 4, static_cast<uint32_t>(bd.numcolumns));
        storeLe16(header + 8, static_cast<uint16_t>(bd.datatype));
        storeLe16(header + 10, static_cast<uint16_t>(bd.objecttype));
        if (!sink_.put(header, sizeof header, fn, e.out())) {
            e.error(fn, 6, "Error converting the BaseData header to MIF!");
            return false;
        }
        if (shape.elements == 0) return true;
        const unsigned char *start = baseDataStart(bd);
        if (!start) {
            e.error(fn, 4, "No data for %d x %d elements", bd.numrows, bd.numcolumns);
            return false;
        }
        return baseDataLines(*this, bd, shape, start, depth, fn, e.out());
    }

  private:
    Sink &sink_;
};

template <class Sink>
bool encode(Sink &sink, const void *object, const Kmif_Design *design, Kerr_ErrorReport **err) {
    Encoder<Sink> encoder(sink);
    return encoder.object(static_cast<const unsigned char *>(object), design, 0, err);
}

int32_t convertToMIF(const char *fn, Kfio_Fd *fd, const void *object, const Kmif_Design *design,
                     void *buffer, int64_t capacity, uint64_t position, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!object) {
        e.error(fn, 1, "Invalid object!");
        return -1;
    }
    bool ok;
    int64_t written;
    if (fd) {
        const int flush = immediateFlush();
        const int64_t start = kfio_Tell64(fd, e.out());
        if (start < 0) {
            e.error(fn, 3, "Invalid file handle");
            return -1;
        }
        FileSink sink(fd, capacity, start, flush);
        ok = encode(sink, object, design, e.out());
        written = sink.written();
        if (ok && flush && kfio_Flush(fd, e.out()) != 0) ok = false;
    } else if (buffer) {
        MemorySink sink(static_cast<unsigned char *>(buffer), capacity, position);
        ok = encode(sink, object, design, e.out());
        written = sink.written();
    } else {
        CountSink sink;
        ok = encode(sink, object, design, e.out());
        written = sink.written();
    }
    if (!ok) {
        e.error(fn, 2, "Error while converting object to MIF!");
        return -1;
    }
    if (written > INT32_MAX) {
        e.error(fn, 4, "An encoding of %lld bytes is too large", static_cast<long long>(written));
        return -1;
    }
    return static_cast<int32_t>(written);
}

}  // namespace

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API int32_t kmif_ConvertToMIF(Kfio_Fd *fd, const void *object, const Kmif_Design *design,
                                      void *base, Kerr_ErrorReport **err) {
    return convertToMIF("kmif_ConvertToMIF", fd, object, design, base, -1,
                        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(base)), err);
}

KRASTER_API int32_t kmif_ConvertToMIFEx(Kfio_Fd *fd, const void *object, const Kmif_Design *design,
                                        void *buffer, int64_t capacity, int64_t position,
                                        Kerr_ErrorReport **err) {
    return convertToMIF("kmif_ConvertToMIFEx", fd, object, design, buffer, capacity,
                        static_cast<uint64_t>(position), err);
}

KRASTER_API int32_t kmif_ObjectSize(const void *object, const Kmif_Design *design,
                                    Kerr_ErrorReport **err) {
    kr::Report e(err);
    CountSink sink;
    if (!encode(sink, object, design, e.out())) {
        e.error("kmif_ObjectSize", 1, "Error reported by function kmif_ObjectToMIF");
        return -1;
    }
    if (sink.written() > INT32_MAX) {
        e.error("kmif_ObjectSize", 2, "An encoding of %lld bytes is too large",
                static_cast<long long>(sink.written()));
        return -1;
    }
    return static_cast<int32_t>(sink.written());
}

}  // extern "C"
