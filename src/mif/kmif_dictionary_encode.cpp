// Writing dictionary strings and readable listings of designs. One encoder
// formats pieces into a sink: the null device (to measure), a caller's
// buffer, or a file handle.
#include <kraster/kint.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kthr.h>

#include <climits>
#include <new>
#include <cstdio>
#include <string>
#include <utility>

#include "core/report.hpp"
#include "mif/kmif_internal.hpp"

namespace kr::mif {

namespace {

class Sink {
  public:
    virtual ~Sink() = default;
    // Formats and writes one piece; false after raising a report.
    bool put(Kerr_ErrorReport **err, const char *format, ...) KRASTER_PRINTF(3, 4) {
        va_list args;
        va_start(args, format);
        const bool ok = write(err, format, args);
        va_end(args);
        return ok;
    }
    int64_t bytes() const { return bytes_; }

  protected:
    virtual bool write(Kerr_ErrorReport **err, const char *format, va_list args) = 0;
    int64_t bytes_ = 0;
};

// Step kfio_FileWriteFormatted: formatted writes to a file handle, counting
// the bytes written.
class FileSink : public Sink {
  public:
    explicit FileSink(Kfio_Fd *fd) : fd_(fd) {}

  protected:
    bool write(Kerr_ErrorReport **err, const char *format, va_list args) override {
        kr::Report e(err);
        const int n = kfio_Vfprintf(fd_, format, args, e.out());
        if (n < 0) {
            e.error("kfio_FileWriteFormatted", 1, "Cannot write to %s",
                    fd_->path ? fd_->path : "(unnamed file)");
            return false;
        }
        bytes_ += n;
        return true;
    }

  private:
    Kfio_Fd *fd_;
};

// Step stringWriteFormatted: formats into a caller's buffer of known size.
class BufferSink : public Sink {
  public:
    BufferSink(char *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  protected:
    bool write(Kerr_ErrorReport **err, const char *format, va_list args) override {
        const size_t room = capacity_ - static_cast<size_t>(bytes_);
        const int n = vsnprintf(buffer_ + bytes_, room, format, args);
        if (n < 0 || static_cast<size_t>(n) >= room) {
            kr::Report e(err);
            e.error("stringWriteFormatted", 2625, "vsprintf failed");
            return false;
        }
        bytes_ += n;
        return true;
    }

  private:
    char *buffer_;
    size_t capacity_;
};

// Growing string, for listings.
class StringSink : public Sink {
  public:
    std::string text;

  protected:
    bool write(Kerr_ErrorReport **, const char *format, va_list args) override {
        va_list copy;
        va_copy(copy, args);
        const int n = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n < 0) return false;
        const size_t old = text.size();
        text.resize(old + static_cast<size_t>(n) + 1);
        vsnprintf(text.data() + old, static_cast<size_t>(n) + 1, format, args);
        text.resize(old + static_cast<size_t>(n));
        bytes_ += n;
        return true;
    }
};

const char *const kEncode = "DictionaryEncode";

bool encodeDesign(Sink &sink, const Kmif_Design *design, Kerr_ErrorReport **err);

bool encodeItem(Sink &sink, const Kmif_Item *item, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!item->name) {
        e.error(kEncode, 2745, "No item name");
        return false;
    }
    const TypeInfo *type = typeInfo(item->type);
    if (!type) {
        e.error(kEncode, 2750, "Invalid Kmif_Type %ld for item %s", static_cast<long>(item->type),
                item->name);
        return false;
    }
    const char *indirection = item->countedFlag ? "p" : item->indirectFlag ? "*" : "";
    if (!sink.put(e.out(), "%d:%s%c", static_cast<int>(item->count), indirection, type->letter))
        return false;
    switch (item->type) {
        case KMIF_TYPE_NESTED:
            if (!item->nestedDesign) {
                e.error(kEncode, 2755, "No nested design for item %s", item->name);
                return false;
            }
            if (!encodeDesign(sink, item->nestedDesign, e.out())) return false;
            break;
        case KMIF_TYPE_REFERENCE:
            if (!item->nestedDesign || !item->nestedDesign->name) {
                e.error(kEncode, 2755, "No nested design for item %s", item->name);
                return false;
            }
            if (!sink.put(e.out(), "%s,", item->nestedDesign->name)) return false;
            break;
        case KMIF_TYPE_ENUM:
            if (!sink.put(e.out(), "%d:", static_cast<int>(item->enumerationCount))) return false;
            for (int i = 0; i < item->enumerationCount; ++i) {
                const char *name = item->enumerationNames ? item->enumerationNames[i] : nullptr;
                if (!name) {
                    e.error(kEncode, 2760, "No enumeration name %d for item %s", i, item->name);
                    return false;
                }
                if (!sink.put(e.out(), "%s,", name)) return false;
            }
            break;
        default:
            break;
    }
    return sink.put(e.out(), "%s,", item->name);
}

bool encodeDesign(Sink &sink, const Kmif_Design *design, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!design->name) {
        e.error(kEncode, 2690, "No design name");
        return false;
    }
    if (!sink.put(e.out(), "{")) return false;
    for (const Kmif_Item *item = design->itemList; item; item = item->next)
        if (!encodeItem(sink, item, e.out())) return false;
    return sink.put(e.out(), "}%s,", design->name);
}

bool encodeDictionary(Sink &sink, const Kmif_Dictionary *dictionary, Kerr_ErrorReport **err) {
    kr::Report e(err);
    for (const Kmif_Design *d = dictionary->firstDesign; d; d = d->next)
        if (!encodeDesign(sink, d, e.out())) return false;
    return sink.put(e.out(), ".");
}

void listDesign(StringSink &sink, const Kmif_Design *design, int indent) {
    sink.put(nullptr, "%*sDesign %s: alignment %d, host size %d, file size %d\n", indent, "",
             design->name ? design->name : "(no name)", static_cast<int>(design->alignment),
             static_cast<int>(design->hostSize), static_cast<int>(design->fileSize));
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        const TypeInfo *type = typeInfo(item->type);
        sink.put(nullptr, "%*s  %s: %d:%s%c  host offset %d, host size %d, file size %d", indent,
                 "", item->name ? item->name : "(no name)", static_cast<int>(item->count),
                 item->countedFlag    ? "p"
                 : item->indirectFlag ? "*"
                                      : "",
                 type ? type->letter : '?', static_cast<int>(item->hostOffset),
                 static_cast<int>(item->hostSize), static_cast<int>(item->fileSize));
        if (item->type == KMIF_TYPE_ENUM) {
            sink.put(nullptr, "  {");
            for (int i = 0; i < item->enumerationCount; ++i) {
                const char *name = item->enumerationNames ? item->enumerationNames[i] : nullptr;
                sink.put(nullptr, "%s%s", i ? ", " : "", name ? name : "(no name)");
            }
            sink.put(nullptr, "}");
        }
        sink.put(nullptr, "\n");
        if (item->nestedDesign) listDesign(sink, item->nestedDesign, indent + 4);
    }
}

}  // namespace

std::string listing(const Kmif_Dictionary *dictionary, const Kmif_Design *design) {
    StringSink sink;
    if (design) listDesign(sink, design, 0);
    if (dictionary) {
        int count = 0;
        for (const Kmif_Design *d = dictionary->firstDesign; d; d = d->next) ++count;
        sink.put(nullptr, "Dictionary: %d design%s%s\n", count, count == 1 ? "" : "s",
                 dictionary->modifiedFlag ? " (modified)" : "");
        for (const Kmif_Design *d = dictionary->firstDesign; d; d = d->next) listDesign(sink, d, 2);
    }
    return std::move(sink.text);
}

}  // namespace kr::mif

using namespace kr::mif;

extern "C" {

KRASTER_API int32_t kmif_DictionaryEncodedLength(const Kmif_Dictionary *dictionary,
                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryEncodedLength";
    kr::Report e(err);
    if (!dictionary) {
        e.error(fn, 2570, "Args");
        return -1;
    }
    if (!KINT_NULLDEVICE) {
        e.error(fn, 2575, "Cannot compute length w/o NULL device");
        return -1;
    }
    // The null device is one handle for the whole process: measure inside
    // the global critical section.
    kthr_ThreadUnsafeCodeEnter(0);
    FileSink sink(KINT_NULLDEVICE);
    const bool ok = encodeDictionary(sink, dictionary, e.out());
    kthr_ThreadUnsafeCodeExit();
    if (!ok) {
        e.error(fn, 2580);
        return -1;
    }
    if (sink.bytes() > INT32_MAX - 1) {
        e.error(fn, 2585, "Dictionary string too long");
        return -1;
    }
    return static_cast<int32_t>(sink.bytes());
}

KRASTER_API char *kmif_DictionaryEncodeToString(const Kmif_Dictionary *dictionary,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_DictionaryEncodeToString";
    kr::Report e(err);
    const int32_t length = kmif_DictionaryEncodedLength(dictionary, e.out());
    if (length < 0) {
        e.error(fn, 2470);
        return nullptr;
    }
    auto *text = static_cast<char *>(kmsc_HeapMalloc(static_cast<size_t>(length) + 1));
    if (!text) {
        e.error(fn, 2480, "No memory");
        return nullptr;
    }
    BufferSink sink(text, static_cast<size_t>(length) + 1);
    if (!encodeDictionary(sink, dictionary, e.out())) {
        kmsc_HeapFree(text);
        e.error(fn, 2485);
        return nullptr;
    }
    text[sink.bytes()] = '\0';
    return text;
}

KRASTER_API int32_t kmif_EncodeDictionary(Kfio_Fd *fd, const Kmif_Dictionary *dictionary,
                                          Kerr_ErrorReport **err) {
    static const char *const fn = "kmif_EncodeDictionary";
    kr::Report e(err);
    if (!fd || !dictionary) {
        e.error(fn, 2547, "Args");
        return -1;
    }
    FileSink sink(fd);
    if (!encodeDictionary(sink, dictionary, e.out())) {
        e.error(fn, 2550);
        return -1;
    }
    if (sink.bytes() > INT32_MAX) {
        e.error(fn, 2555, "Dictionary string too long");
        return -1;
    }
    return static_cast<int32_t>(sink.bytes());
}

}  // extern "C"

namespace {

int printListing(const char *fn, Kfio_Fd *fd, const Kmif_Dictionary *dictionary,
                 const Kmif_Design *design, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!fd || (!dictionary && !design)) {
        e.error(fn, 1, "Args");
        return -1;
    }
    try {
        const std::string text = listing(dictionary, design);
        if (kfio_WriteSeq(fd, text.data(), text.size(), e.out()) != text.size()) {
            e.error(fn, 3, "Cannot write to %s", fd->path ? fd->path : "(unnamed file)");
            return -1;
        }
    } catch (const std::bad_alloc &) {
        e.error(fn, 2, "No memory");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

KRASTER_API int kmif_FprintfDictionary(Kfio_Fd *fd, const Kmif_Dictionary *dictionary,
                                       Kerr_ErrorReport **err) {
    return printListing("kmif_FprintfDictionary", fd, dictionary, nullptr, err);
}

KRASTER_API int kmif_FprintfDesign(Kfio_Fd *fd, const Kmif_Design *design, Kerr_ErrorReport **err) {
    return printListing("kmif_FprintfDesign", fd, nullptr, design, err);
}

}  // extern "C"
