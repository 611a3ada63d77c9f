// Character and formatted I/O on the buffered handle: Fgetc, Ungetc, Fgets,
// Fread, Fwrite and the Fprintf family. None of them leaves a report.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cstdio>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace {

// Formats into a stack buffer, or a heap string when the text is long, and
// hands the text to `sink`. Returns the sink's result, or -1.
template <typename Sink>
int formatted(const char *format, va_list args, Sink sink) {
    if (!format) return -1;
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < sizeof small) return sink(small, static_cast<size_t>(n));
    char *text = kstr_Vsprintf(format, args);
    if (!text) return -1;
    int r = sink(text, static_cast<size_t>(n));
    kmsc_HeapFree(text);
    return r;
}

}  // namespace

extern "C" {

KRASTER_API int kfio_Fgetc(Kfio_Fd *fd) {
    if (!kfio::valid(fd)) return -1;
    if (!fd->dirty && fd->pushbackCount == 0 && fd->bufferCursor >= 0 &&
        fd->bufferCursor < fd->bufferFill) {
        ++fd->logicalPosition;
        return fd->buffer[fd->bufferCursor++];
    }
    unsigned char c;
    return kfio_ReadSeq(fd, &c, 1, nullptr) == 1 ? c : -1;
}

KRASTER_API int kfio_Ungetc(int c, Kfio_Fd *fd) {
    if (!kfio::valid(fd) || c == -1) return -1;
    if (fd->pushbackCount >= KFIO_PUSHBACK_MAX || fd->logicalPosition <= 0) return -1;
    const auto byte = static_cast<unsigned char>(c);
    fd->pushback[fd->pushbackCount++] = byte;
    --fd->logicalPosition;
    fd->endOfFile = 0;
    return byte;
}

KRASTER_API char *kfio_Fgets(char *buffer, int size, Kfio_Fd *fd) {
    if (!buffer || size < 1 || !kfio::valid(fd)) return nullptr;
    int n = 0;
    bool any = false;
    while (n < size - 1) {
        int c = kfio_Fgetc(fd);
        if (c < 0) break;
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

KRASTER_API int kfio_Vfprintf(Kfio_Fd *fd, const char *format, va_list args) {
    if (!kfio::valid(fd)) return -1;
    return formatted(format, args, [fd](const char *text, size_t n) {
        return kfio_FileWriteSequential(fd, text, n, 0, nullptr) == n ? static_cast<int>(n) : -1;
    });
}

KRASTER_API int kfio_Fprintf(Kfio_Fd *fd, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = kfio_Vfprintf(fd, format, ap);
    va_end(ap);
    return r;
}

KRASTER_API int kfio_Printf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = formatted(format, ap, [](const char *text, size_t n) {
        return fwrite(text, 1, n, stdout) == n ? static_cast<int>(n) : -1;
    });
    va_end(ap);
    return r;
}

KRASTER_API int kfio_Sprintf(char *buffer, size_t size, const char *format, ...) {
    if (!format || (!buffer && size > 0)) return -1;
    va_list ap;
    va_start(ap, format);
    int r = vsnprintf(buffer, size, format, ap);
    va_end(ap);
    return r;
}

}  // extern "C"
