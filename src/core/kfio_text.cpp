// Character and formatted I/O on the buffered handle: Fgetc, Ungetc, Fgets,
// Fread, Fwrite and the Fprintf family. Fread and Fwrite leave no report; the
// others report failures, but not the end of the file.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace {

// Formats into a stack buffer, or a heap string when the text is long, and
// hands the text to `sink`. Returns the sink's result, or -1 with a report
// under fn.
template <typename Sink>
int formatted(const char *format, va_list args, const char *fn, kr::Report &e, Sink sink) {
    if (!format) {
        e.error(fn, 2, "Null format");
        return -1;
    }
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) {
        e.error(fn, 3, "Unable to format \"%s\"", format);
        return -1;
    }
    if (static_cast<size_t>(n) < sizeof small) return sink(small, static_cast<size_t>(n));
    char *text = kstr_Vsprintf(format, args);
    if (!text) {
        e.error(fn, 4, "No memory");
        return -1;
    }
    int r = sink(text, static_cast<size_t>(n));
    kmsc_HeapFree(text);
    return r;
}

bool handleGood(Kfio_Fd *fd, const char *fn, kr::Report &e) {
    if (kfio::valid(fd)) return true;
    e.error(fn, 1, "Invalid file handle");
    return false;
}

}  // namespace

extern "C" {

KRASTER_API int kfio_Fgetc(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    if (kfio::valid(fd) && !fd->dirty && fd->pushbackCount == 0 && fd->bufferCursor >= 0 &&
        fd->bufferCursor < fd->bufferFill) {
        if (err) *err = nullptr;
        ++fd->logicalPosition;
        return fd->buffer[fd->bufferCursor++];
    }
    static const char *const fn = "kfio_Fgetc";
    kr::Report e(err);
    if (!handleGood(fd, fn, e)) return -1;
    unsigned char c;
    if (kfio::readSequential(fd, &c, 1, false, e) == 1) return c;
    if (e.failed()) e.error(fn, 2);
    return -1;
}

KRASTER_API int kfio_Ungetc(int c, Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!handleGood(fd, "kfio_Ungetc", e) || c == -1) return -1;
    if (fd->pushbackCount >= KFIO_PUSHBACK_MAX || fd->logicalPosition <= 0) return -1;
    const auto byte = static_cast<unsigned char>(c);
    fd->pushback[fd->pushbackCount++] = byte;
    --fd->logicalPosition;
    fd->endOfFile = 0;
    return byte;
}

KRASTER_API char *kfio_Fgets(char *buffer, int size, Kfio_Fd *fd, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Fgets";
    kr::Report e(err);
    if (!buffer || size < 1) {
        e.error(fn, 2, "Invalid buffer");
        return nullptr;
    }
    if (!handleGood(fd, fn, e)) return nullptr;
    int n = 0;
    bool any = false;
    while (n < size - 1) {
        int c = kfio_Fgetc(fd, e.out());
        if (c < 0) {
            if (e.failed()) {
                e.error(fn, 3);
                return nullptr;
            }
            break;
        }
        any = true;
        if (c == '\r') continue;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return any || size == 1 ? buffer : nullptr;
}

KRASTER_API size_t kfio_Fread(void *buffer, size_t size, size_t count, Kfio_Fd *fd) {
    size_t bytes;
    if (!buffer || !fd || __builtin_mul_overflow(size, count, &bytes)) return 0;
    return kfio_ReadSeq(fd, buffer, bytes, nullptr);
}

KRASTER_API size_t kfio_Fwrite(const void *buffer, size_t size, size_t count, Kfio_Fd *fd) {
    size_t bytes;
    if (!buffer || !fd || __builtin_mul_overflow(size, count, &bytes)) return 0;
    return kfio_FileWriteSequential(fd, buffer, bytes, 0, nullptr);
}

KRASTER_API int kfio_Vfprintf(Kfio_Fd *fd, const char *format, va_list args,
                              Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Vfprintf";
    kr::Report e(err);
    if (!handleGood(fd, fn, e)) return -1;
    return formatted(format, args, fn, e, [&](const char *text, size_t n) {
        if (kfio::writeSequential(fd, text, n, e) == n) return static_cast<int>(n);
        e.error(fn, 5);
        return -1;
    });
}

KRASTER_API int kfio_Fprintf(Kfio_Fd *fd, Kerr_ErrorReport **err, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = kfio_Vfprintf(fd, format, ap, err);
    va_end(ap);
    return r;
}

KRASTER_API int kfio_Printf(Kerr_ErrorReport **err, const char *format, ...) {
    static const char *const fn = "kfio_Printf";
    kr::Report e(err);
    va_list ap;
    va_start(ap, format);
    int r = formatted(format, ap, fn, e, [&](const char *text, size_t n) {
        if (fwrite(text, 1, n, stdout) == n) return static_cast<int>(n);
        e.error(fn, 5, "Unable to write to the standard output\n%s", strerror(errno));
        return -1;
    });
    va_end(ap);
    return r;
}

KRASTER_API int kfio_Sprintf(char *buffer, size_t size, Kerr_ErrorReport **err, const char *format,
                             ...) {
    static const char *const fn = "kfio_Sprintf";
    kr::Report e(err);
    if (!format) {
        e.error(fn, 2, "Null format");
        return -1;
    }
    if (!buffer && size > 0) {
        e.error(fn, 1, "Null buffer");
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    int r = vsnprintf(buffer, size, format, ap);
    va_end(ap);
    if (r < 0) e.error(fn, 3, "Unable to format \"%s\"", format);
    return r;
}

}  // extern "C"
