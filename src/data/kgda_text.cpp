// The BaseData text format: a stack written one row per line, read back
// with scanf conversions, and stacks created from text by counting rows and
// values.
//
// All file access goes through the buffered handle. Numbers are read with
// the C library's scanf over a stream whose bytes come from the handle, so
// the conversions behave exactly as the scanf formats do; strings are read
// line by line with kfio_Fgets.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "data/kgda_internal.hpp"
#include "image/kpxm_rules.hpp"

namespace {

using namespace kr::gda;

// Longest string value kept from a line.
constexpr int kStringMax = 2048;

// True for the report of a plain end of file from kfio_ReadSeq.
bool endOfFileOnly(const Kerr_ErrorReport *r) {
    return r && !r->next && r->code == 7475 && r->function &&
           strcmp(r->function, "kfio_ReadSeq") == 0;
}

struct File {
    Kfio_Fd *fd = nullptr;
    ~File() {
        if (fd) kfio_Close(fd, nullptr);
    }
};

// A read-only C stream over a handle's bytes from its current position.
// A read failure other than the end of the file is kept in `error`.
class HandleStream {
  public:
    explicit HandleStream(Kfio_Fd *fd) : fd_(fd) {
        cookie_io_functions_t io{};
        io.read = &HandleStream::read;
        stream_ = fopencookie(this, "r", io);
    }
    ~HandleStream() {
        if (stream_) fclose(stream_);
        kerr_DeleteErrorReport(error);
    }
    HandleStream(const HandleStream &) = delete;
    HandleStream &operator=(const HandleStream &) = delete;
    FILE *get() const { return stream_; }

    Kerr_ErrorReport *error = nullptr;

  private:
    static ssize_t read(void *cookie, char *buffer, size_t size) {
        auto *self = static_cast<HandleStream *>(cookie);
        if (self->error) return -1;
        Kerr_ErrorReport *r = nullptr;
        const size_t n = kfio_ReadSeq(self->fd_, buffer, size, &r);
        if (r && !endOfFileOnly(r)) {
            self->error = r;
            return -1;
        }
        kerr_DeleteErrorReport(r);
        return static_cast<ssize_t>(n);
    }

    Kfio_Fd *fd_;
    FILE *stream_ = nullptr;
};

// Layers of a stack checked for the text format: at least one, all valid,
// of one shape and one type.
bool checkTextStack(const Kgda_BaseDataStack *s, const char *fn, kr::Report &e) {
    if (!s || s->numberOfLayers < 1 || !s->layers) {
        e.error(fn, 1, "The BaseData stack has no layers");
        return false;
    }
    const Kgda_BaseData *first = s->layers[0];
    for (int32_t i = 0; i < s->numberOfLayers; ++i) {
        const Kgda_BaseData *l = s->layers[i];
        if (!checkArray(l, fn, 2, e)) return false;
        if (l->numrows != first->numrows || l->numcolumns != first->numcolumns ||
            l->datatype != first->datatype) {
            e.error(fn, 3, "Layer %d is %d x %d %s, unlike layer 0 (%d x %d %s)", i, l->numrows,
                    l->numcolumns, typeName(l->datatype), first->numrows, first->numcolumns,
                    typeName(first->datatype));
            return false;
        }
    }
    return true;
}

template <class T>
T load(const unsigned char *p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

// How the values of one numeric type are written and read: integers in
// decimal, reals with 16 significant digits, complex values as "(re, im)";
// read back with the scanf conversion of the type (the sub-word types read
// wider and keep to their range).
template <int Code>
struct TextForm {
    using Traits = kr::pixel::Traits<Code>;
    using Element = typename Traits::Element;
    static constexpr kr::pixel::Kind kind = Traits::kind;

    static void append(std::string &line, const unsigned char *p) {
        const Element v = load<Element>(p);
        char text[96];
        int n;
        if constexpr (kind == kr::pixel::Kind::Integer)
            n = snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
        else if constexpr (kind == kr::pixel::Kind::Real)
            n = snprintf(text, sizeof text, "%.16g", static_cast<double>(v));
        else
            n = snprintf(text, sizeof text, "(%.16g, %.16g)", static_cast<double>(v.re),
                         static_cast<double>(v.im));
        line.append(text, static_cast<size_t>(n));
    }

    // format: the scanf conversion of one value (of the real and imaginary
    // parts for complex types, ending in "%n" so that a missing closing
    // parenthesis fails).
    static bool read(FILE *in, const char *format, unsigned char *p) {
        Element v;
        if constexpr (kind == kr::pixel::Kind::Complex) {
            int end = -1;
            if (fscanf(in, format, &v.re, &v.im, &end) != 2 || end < 0) return false;
        } else if constexpr (sizeof(Element) == 1) {
            using Wide = std::conditional_t<Traits::lo == 0, unsigned short, int>;
            Wide w;
            if (fscanf(in, format, &w) != 1) return false;
            v = static_cast<Element>(std::clamp<Wide>(w, Traits::lo, Traits::hi));
        } else if (fscanf(in, format, &v) != 1) {
            return false;
        }
        memcpy(p, &v, sizeof v);
        return true;
    }
};

struct TextCodec {
    void (*append)(std::string &line, const unsigned char *p);
    bool (*read)(FILE *in, const char *format, unsigned char *p);
    const char *format;
};

// The scanf conversions, indexed by pixel type code (u1 .. c128).
constexpr const char *kScanFormats[] = {"%hu", "%hu",         "%hu",          "%hu", "%d",
                                        "%hu", "%hd",         "%u",           "%d",  "%g",
                                        "%lg", " (%g, %g)%n", " (%lg, %lg)%n"};

template <int... Code>
constexpr std::array<TextCodec, sizeof...(Code)> textCodecs(std::integer_sequence<int, Code...>) {
    return {TextCodec{&TextForm<Code>::append, &TextForm<Code>::read, kScanFormats[Code]}...};
}
// Indexed by pixel type code.
constexpr auto kTextCodecs = textCodecs(std::make_integer_sequence<int, KGDA_TYPE_C128 + 1>());

// Appends one value in the text format; strings as they are.
void appendValue(std::string &line, int32_t type, const unsigned char *p) {
    if (type != kString) return kTextCodecs[type].append(line, p);
    const char *str = load<const char *>(p);
    if (str) line += str;
}

// A string value that could not be read back as the same line.
bool unwritableString(const char *s) {
    if (!s) return false;
    const size_t n = strlen(s);
    return n > static_cast<size_t>(kStringMax) || strpbrk(s, "\r\n") != nullptr;
}

int writeStack(const Kgda_BaseDataStack *stack, const char *fileName, kr::Report &e) {
    static const char *const fn = "kgda_BaseDataStackWriteAscii";
    if (!checkTextStack(stack, fn, e)) return -1;
    const Kgda_BaseData *first = stack->layers[0];
    const int32_t type = first->datatype;
    const int32_t layers = stack->numberOfLayers;
    if (type == kString) {
        for (int32_t l = 0; l < layers; ++l)
            for (int32_t r = 0; r < first->numrows; ++r)
                for (int32_t c = 0; c < first->numcolumns; ++c) {
                    const char *s;
                    memcpy(&s, elementAt(stack->layers[l], r, c), sizeof s);
                    if (unwritableString(s)) {
                        e.error(fn, 4,
                                "The string at row %d, column %d of layer %d holds a line end "
                                "or more than %d characters",
                                r, c, l, kStringMax);
                        return -1;
                    }
                }
    }
    File f;
    if (!(f.fd = kfio_Open(fileName, "w", e.out()))) {
        e.error(fn, 5, "Error opening file");
        return -1;
    }
    std::string line;
    for (int32_t r = 0; r < first->numrows; ++r) {
        line.clear();
        for (int32_t c = 0; c < first->numcolumns; ++c)
            for (int32_t l = 0; l < layers; ++l) {
                if (type == kString) {
                    appendValue(line, type, elementAt(stack->layers[l], r, c));
                    line += '\n';
                    continue;
                }
                if (c || l) line += ' ';
                appendValue(line, type, elementAt(stack->layers[l], r, c));
            }
        if (type != kString) line += '\n';
        if (kfio_WriteSeq(f.fd, line.data(), line.size(), e.out()) != line.size()) {
            e.error(fn, 6, "Write error writing to ASCII file");
            return -1;
        }
    }
    Kfio_Fd *fd = f.fd;
    f.fd = nullptr;
    if (kfio_Close(fd, e.out())) {
        kfio_Close(fd, nullptr);
        e.error(fn, 7, "Write error");
        return -1;
    }
    return 0;
}

// Reads one numeric value with its scanf conversion into the element at p.
bool readNumber(FILE *in, int32_t type, unsigned char *p) {
    const TextCodec &codec = kTextCodecs[type];
    return codec.read(in, codec.format, p);
}

// Reads one line as a string value: its first kStringMax characters, the
// line feed and carriage returns removed (a NUL byte ends the string). Returns
// a heap string, or NULL at the end of the file (*eof), on a read failure
// (with a report) or when memory runs out.
char *readLine(Kfio_Fd *fd, bool *eof, Kerr_ErrorReport **err) {
    char buffer[kStringMax + 1];
    size_t n = 0;
    bool any = false;
    int c;
    while ((c = kfio_Fgetc(fd, err)) >= 0) {
        any = true;
        if (c == '\n') break;
        if (c != '\r' && n < static_cast<size_t>(kStringMax)) buffer[n++] = static_cast<char>(c);
    }
    if (*err) return nullptr;
    *eof = !any;
    if (!any) return nullptr;
    buffer[n] = '\0';
    return kstr_DuplicateN(buffer, n);
}

// Reads every element of the stack from the handle's current position.
int readValues(Kfio_Fd *fd, Kgda_BaseDataStack *stack, const char *fn, kr::Report &e) {
    const Kgda_BaseData *first = stack->layers[0];
    const int32_t type = first->datatype;
    const int32_t layers = stack->numberOfLayers;
    if (type == kString) {
        for (int32_t r = 0; r < first->numrows; ++r)
            for (int32_t c = 0; c < first->numcolumns; ++c)
                for (int32_t l = 0; l < layers; ++l) {
                    bool eof = false;
                    Kerr_ErrorReport *failure = nullptr;
                    char *s = readLine(fd, &eof, &failure);
                    if (!s) {
                        if (failure)
                            e.wrap(failure, fn, 12, "Read error");
                        else if (eof)
                            e.error(fn, 10, "Error reading ASCII record");
                        else
                            e.error(fn, 11, "Out of memory");
                        return -1;
                    }
                    char **slot = reinterpret_cast<char **>(elementAt(stack->layers[l], r, c));
                    kmsc_HeapFree(*slot);
                    *slot = s;
                }
        return 0;
    }
    HandleStream in(fd);
    if (!in.get()) {
        e.error(fn, 11, "Out of memory");
        return -1;
    }
    for (int32_t r = 0; r < first->numrows; ++r)
        for (int32_t c = 0; c < first->numcolumns; ++c)
            for (int32_t l = 0; l < layers; ++l) {
                if (readNumber(in.get(), type, elementAt(stack->layers[l], r, c))) continue;
                if (in.error) {
                    e.wrap(in.error, fn, 12, "Read error");
                    in.error = nullptr;
                } else {
                    e.error(fn, 10, "Error reading ASCII record");
                }
                return -1;
            }
    return 0;
}

int readStack(Kgda_BaseDataStack *stack, const char *fileName, kr::Report &e) {
    static const char *const fn = "kgda_BaseDataStackReadAscii";
    if (!checkTextStack(stack, fn, e)) return -1;
    File f;
    if (!(f.fd = kfio_Open(fileName, "r", e.out()))) {
        e.error(fn, 5, "Error opening file");
        return -1;
    }
    return readValues(f.fd, stack, fn, e);
}

// Number of line feeds from the handle's position to the end; -1 with a
// report on a read failure.
int64_t countLineFeeds(Kfio_Fd *fd, const char *fn, kr::Report &e) {
    char buffer[65536];
    int64_t count = 0;
    for (;;) {
        Kerr_ErrorReport *r = nullptr;
        const size_t n = kfio_ReadSeq(fd, buffer, sizeof buffer, &r);
        for (size_t i = 0; i < n; ++i) count += buffer[i] == '\n';
        if (r && !endOfFileOnly(r)) {
            e.wrap(r, fn, 20, "Read error");
            return -1;
        }
        kerr_DeleteErrorReport(r);
        if (n < sizeof buffer) return count;
    }
}

// The first line of the file, without its line feed and carriage returns;
// false with a report on a read failure.
bool readFirstLine(Kfio_Fd *fd, std::string &line, kr::Report &e) {
    int c;
    while ((c = kfio_Fgetc(fd, e.out())) >= 0 && c != '\n')
        if (c != '\r') line += static_cast<char>(c);
    return !e.failed();
}

// Counts the values of a line with the conversion of the type; -1 when a
// complex value lacks its second part.
int64_t countValues(const std::string &line, int32_t type, bool *memory) {
    *memory = true;
    if (line.empty()) return 0;
    FILE *in = fmemopen(const_cast<char *>(line.data()), line.size(), "r");
    if (!in) {
        *memory = false;
        return 0;
    }
    int64_t count = 0;
    for (;;) {
        int used = -1;
        if (type == KGDA_TYPE_C64 || type == KGDA_TYPE_C128) {
            double re, im;
            const int got = fscanf(in, " (%lg, %lg)%n", &re, &im, &used);
            if (got == 1 || (got == 2 && used < 0)) {
                count = -1;
                break;
            }
            if (got != 2) break;
        } else if (type == KGDA_TYPE_F32 || type == KGDA_TYPE_F64) {
            double v;
            if (fscanf(in, "%lg%n", &v, &used) != 1) break;
        } else {
            long v;
            if (fscanf(in, "%ld%n", &v, &used) != 1) break;
        }
        ++count;
    }
    fclose(in);
    return count;
}

Kgda_BaseDataStack *createFromText(int32_t objecttype, int32_t datatype, int32_t rows,
                                   int32_t columns, int32_t layers, const char *fileName,
                                   kr::Report &e) {
    static const char *const fn = "kgda_CreateBaseDataStackFromAscii";
    if (!validObject(objecttype) || !validType(datatype) || rows < 0 || columns < 0 || layers < 0) {
        e.error(fn, 1, "Args");
        return nullptr;
    }
    File f;
    if (!(f.fd = kfio_Open(fileName, "r", e.out()))) {
        e.error(fn, 2, "Error opening file");
        return nullptr;
    }
    const int64_t fileSize = kfio_FileSizeGetByHandle64(f.fd, e.out());
    if (fileSize < 0) {
        e.error(fn, 3, "Read error");
        return nullptr;
    }
    int64_t nrows = rows;
    if (rows == 0 && (nrows = countLineFeeds(f.fd, fn, e)) < 0) return nullptr;
    int64_t ncolumns = columns, nlayers = layers;
    if (objecttype == KGDA_SCALAR_OBJECT || objecttype == KGDA_TABLE_OBJECT) ncolumns = 1;
    if (ncolumns == 0 || nlayers == 0) {
        int64_t values = 1;
        if (datatype != kString) {
            std::string line;
            if (kfio_Seek64(f.fd, 0, 0, e.out()) < 0 || !readFirstLine(f.fd, line, e)) {
                e.error(fn, 3, "Read error");
                return nullptr;
            }
            bool memory = true;
            values = countValues(line, datatype, &memory);
            if (!memory) {
                e.error(fn, 4, "Out of memory");
                return nullptr;
            }
            if (values < 0) {
                e.error(fn, 5, "Error reading complex");
                return nullptr;
            }
        }
        if (ncolumns == 0 && nlayers == 0) {
            nlayers = 1;
            ncolumns = values;
        } else if (ncolumns == 0) {
            if (values % nlayers) {
                e.error(fn, 6, "ASCII file column count mismatch");
                return nullptr;
            }
            ncolumns = values / nlayers;
        } else {
            if (values % ncolumns) {
                e.error(fn, 6, "ASCII file column count mismatch");
                return nullptr;
            }
            nlayers = values / ncolumns;
        }
    }
    // Every value takes at least one byte of the file: refuse what the file
    // cannot fill before allocating it.
    const bool fits = nrows <= INT32_MAX && ncolumns <= INT32_MAX && nlayers <= INT32_MAX;
    if (fits && nrows > 0 && ncolumns > 0 && nlayers > 0 && nrows * ncolumns > fileSize / nlayers) {
        e.error(fn, 9, "A file of %lld bytes cannot hold %lld x %lld x %lld values",
                static_cast<long long>(fileSize), static_cast<long long>(nrows),
                static_cast<long long>(ncolumns), static_cast<long long>(nlayers));
        e.error(fn, 8, "Error reading ASCII file");
        return nullptr;
    }
    Kgda_BaseDataStack *stack = nullptr;
    if (fits)
        stack =
            kgda_BaseDataStackCreate(static_cast<int32_t>(nlayers), static_cast<int32_t>(nrows),
                                     static_cast<int32_t>(ncolumns), datatype, objecttype, e.out());
    if (!stack) {
        e.error(fn, 7, "Unable to create base data stack");
        return nullptr;
    }
    if (kfio_Seek64(f.fd, 0, 0, e.out()) < 0 || readValues(f.fd, stack, fn, e)) {
        e.error(fn, 8, "Error reading ASCII file");
        kgda_BaseDataStackDelete(stack, nullptr);
        return nullptr;
    }
    return stack;
}

}  // namespace

extern "C" {

KRASTER_API int kgda_BaseDataStackWriteAscii(const Kgda_BaseDataStack *stack, const char *fileName,
                                             Kerr_ErrorReport **err) {
    kr::Report e(err);
    try {
        return writeStack(stack, fileName, e);
    } catch (const std::bad_alloc &) {
        e.error("kgda_BaseDataStackWriteAscii", 8, "Out of memory");
        return -1;
    }
}

KRASTER_API int kgda_BaseDataStackReadAscii(Kgda_BaseDataStack *stack, const char *fileName,
                                            Kerr_ErrorReport **err) {
    kr::Report e(err);
    return readStack(stack, fileName, e);
}

KRASTER_API Kgda_BaseDataStack *kgda_CreateBaseDataStackFromAscii(
    int32_t objecttype, int32_t datatype, int32_t numrows, int32_t numcolumns,
    int32_t numberOfLayers, const char *fileName, Kerr_ErrorReport **err) {
    kr::Report e(err);
    try {
        return createFromText(objecttype, datatype, numrows, numcolumns, numberOfLayers, fileName,
                              e);
    } catch (const std::bad_alloc &) {
        e.error("kgda_CreateBaseDataStackFromAscii", 4, "Out of memory");
        return nullptr;
    }
}

}  // extern "C"
