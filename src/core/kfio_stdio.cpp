// The stdio-like layer over the buffered handle (errors are printed and
// dropped; results follow the C library) and the 64-bit position helpers.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace {

void printAndDrop(Kerr_ErrorReport *report) {
    if (!report) return;
    kerr_PrintErrorReport(report, 0, 0);
    kerr_DeleteErrorReport(report);
}

// A report that says nothing but "the file ended" is no error here.
bool onlyShortRead(const Kerr_ErrorReport *report) {
    return report && !report->next && report->code == 7475 && report->function &&
           strcmp(report->function, "kfio_ReadSeq") == 0;
}

}  // namespace

extern "C" {

KRASTER_API Kfio_Fd *kfio_fopen(const char *path, const char *mode) {
    Kerr_ErrorReport *err = nullptr;
    Kfio_Fd *fd = kfio_Open(path, mode, &err);
    printAndDrop(err);
    return fd;
}

KRASTER_API int kfio_fclose(Kfio_Fd *fd) {
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    if (kfio_Close(fd, &err) == 0) return 0;
    printAndDrop(err);
    // Like fclose, the handle is gone afterwards: what could not be written
    // is dropped.
    if (kfio::valid(fd)) {
        fd->dirty = 0;
        fd->unsynced = 0;
        kfio_Close(fd, nullptr);
    }
    return -1;
}

KRASTER_API Kfio_Fd *kfio_freopen(const char *path, const char *mode, Kfio_Fd *fd) {
    if (fd) {
        kfio_fflush(fd);
        kfio_fclose(fd);
    }
    return kfio_fopen(path, mode);
}

KRASTER_API int kfio_fflush(Kfio_Fd *fd) {
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    if (kfio_Flush(fd, &err) == 0) return 0;
    printAndDrop(err);
    return -1;
}

KRASTER_API size_t kfio_fread(void *buffer, size_t size, size_t count, Kfio_Fd *fd) {
    size_t bytes;
    if (!buffer || !fd || size == 0 || __builtin_mul_overflow(size, count, &bytes)) return 0;
    Kerr_ErrorReport *err = nullptr;
    size_t n = kfio_ReadSeq(fd, buffer, bytes, &err);
    if (onlyShortRead(err))
        kerr_DeleteErrorReport(err);
    else
        printAndDrop(err);
    return n / size;
}

KRASTER_API size_t kfio_fwrite(const void *buffer, size_t size, size_t count, Kfio_Fd *fd) {
    size_t bytes;
    if (!buffer || !fd || size == 0 || __builtin_mul_overflow(size, count, &bytes)) return 0;
    Kerr_ErrorReport *err = nullptr;
    size_t n = kfio_FileWriteSequential(fd, buffer, bytes, 0, &err);
    printAndDrop(err);
    return n / size;
}

KRASTER_API int kfio_fseeko(Kfio_Fd *fd, int64_t offset, int whence) {
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    if (kfio_Seek64(fd, offset, whence, &err) >= 0) return 0;
    printAndDrop(err);
    return -1;
}

KRASTER_API int64_t kfio_ftello(Kfio_Fd *fd) {
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    int64_t r = kfio_Tell64(fd, &err);
    printAndDrop(err);
    return r;
}

KRASTER_API int kfio_fgetpos(Kfio_Fd *fd, int64_t *position) {
    if (!fd || !position) return -1;
    int64_t r = kfio_ftello(fd);
    if (r < 0) return -1;
    *position = r;
    return 0;
}

KRASTER_API int kfio_fsetpos(Kfio_Fd *fd, const int64_t *position) {
    if (!fd || !position) return -1;
    return kfio_fseeko(fd, *position, 0);
}

KRASTER_API int kfio_feof(Kfio_Fd *fd) {
    return fd ? fd->endOfFile : 0;
}

KRASTER_API int kfio_ftruncate(Kfio_Fd *fd, int64_t length) {
    static const char *const fn = "kfio_ftruncate";
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    kr::Report e(&err);
    if (!kfio::valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
    } else if (length < 0) {
        e.error(fn, 2, "Invalid length %lld for %s", static_cast<long long>(length), fd->path);
    } else {
        const int64_t old = fd->logicalPosition;
        // Buffered bytes go out first so that the new end stands.
        if (kfio::flushBuffer(fd, false, e) != 0) {
            e.error(fn, 3, "Unable to flush %s before truncating.", fd->path);
        } else if (ftruncate(fd->osHandle, length) != 0) {
            e.error(fn, 4, "Unable to set the end of %s\n%s", fd->path, strerror(errno));
        } else if (kfio_Seek64(fd, std::min(old, length), 0, e.out()) < 0) {
            e.error(fn, 5);
        } else {
            return 0;
        }
    }
    printAndDrop(err);
    return -1;
}

KRASTER_API int kfio_vfprintf(Kfio_Fd *fd, const char *format, va_list args) {
    if (!fd || !format) return -1;
    char *text = kstr_Vsprintf(format, args);
    if (!text) return -1;
    const size_t n = strlen(text);
    Kerr_ErrorReport *err = nullptr;
    size_t written = kfio_FileWriteSequential(fd, text, n, 0, &err);
    kmsc_HeapFree(text);
    printAndDrop(err);
    return written == n ? static_cast<int>(n) : -1;
}

KRASTER_API int kfio_fprintf(Kfio_Fd *fd, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = kfio_vfprintf(fd, format, ap);
    va_end(ap);
    return r;
}

KRASTER_API int kfio_CompatibleFseek(Kfio_Fd *fd, int32_t offset, int origin) {
    if (!fd) return -1;
    Kerr_ErrorReport *err = nullptr;
    kfio_Seek(fd, offset, origin, &err);
    if (!err) return 0;
    printAndDrop(err);
    return -1;
}

KRASTER_API int kfio_UInt64Add(uint64_t a, uint64_t b, uint64_t *result) {
    uint64_t sum = a + b;
    if (result) *result = sum;
    return sum < a ? 1 : 0;
}

KRASTER_API int kfio_UInt64Sub(uint64_t a, uint64_t b, uint64_t *result) {
    if (result) *result = a - b;
    return a < b ? 1 : 0;
}

KRASTER_API int kfio_UInt64Compare(uint64_t a, uint64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

KRASTER_API uint64_t kfio_UInt64MultiplyFromUInt32(uint32_t a, uint32_t b) {
    return static_cast<uint64_t>(a) * b;
}

KRASTER_API void kfio_off_tHODWSet(int64_t *position, uint32_t high) {
    if (!position) return;
    auto u = static_cast<uint64_t>(*position);
    u = (u & 0xFFFFFFFFu) | (static_cast<uint64_t>(high) << 32);
    *position = static_cast<int64_t>(u);
}

KRASTER_API uint32_t kfio_off_tHODWGet(int64_t position) {
    return static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32);
}

KRASTER_API void kfio_off_tLODWSet(int64_t *position, uint32_t low) {
    if (!position) return;
    auto u = static_cast<uint64_t>(*position);
    u = (u & 0xFFFFFFFF00000000u) | low;
    *position = static_cast<int64_t>(u);
}

KRASTER_API uint32_t kfio_off_tLODWGet(int64_t position) {
    return static_cast<uint32_t>(static_cast<uint64_t>(position));
}

}  // extern "C"
