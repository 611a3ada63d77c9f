// Reads and writes at file positions: raw MIF bytes and host objects, the
// bounds check against the tracked end of file, and the mapped view.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstring>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"

namespace kr::hfa {

// The absolute position of a transfer: pos, or the file's current position.
static bool resolve(Khfa_File *file, uint32_t pos, int32_t n, const char *fn, int64_t &at,
                    kr::Report &e) {
    if (n < 0) {
        e.error(fn, 9101, "Negative size %ld", static_cast<long>(n));
        return false;
    }
    at = pos;
    if (pos == KHFA_SEQUENTIAL_POSITION) {
        at = kfio_Tell64(file->fd, nullptr);
        if (at < 0) {
            e.error(fn, 9102, "kfio_Seek failed");
            return false;
        }
    }
    if (at + n > file->endOfFile) {
        e.error(fn, 9103, "%ld bytes at position %lld reach beyond the end of file %s (%lld)",
                static_cast<long>(n), static_cast<long long>(at), file->name,
                static_cast<long long>(file->endOfFile));
        return false;
    }
    return true;
}

bool readAt(Khfa_File *file, uint32_t pos, void *data, int32_t n, const char *fn,
            Kerr_ErrorReport **err) {
    kr::Report e(err);
    int64_t at = 0;
    if (!resolve(file, pos, n, fn, at, e)) return false;
    if (file->mapAddress && data && at + n <= file->mapLength) {
        std::memcpy(data, static_cast<const unsigned char *>(file->mapAddress) + at,
                    static_cast<size_t>(n));
        at += n;  // the file position follows the bytes taken from the view
        data = nullptr;
    }
    if ((pos != KHFA_SEQUENTIAL_POSITION || !data) && kfio_Seek64(file->fd, at, 0, e.out()) != at) {
        e.error(fn, 9104, "kfio_Seek failed");
        return false;
    }
    if (!data || n == 0) return true;
    if (kfio_ReadSeq(file->fd, data, static_cast<size_t>(n), e.out()) != static_cast<size_t>(n)) {
        e.error(fn, 9105, "kfio_ReadSeq failed");
        return false;
    }
    return true;
}

bool writeAt(Khfa_File *file, uint32_t pos, const void *data, int32_t n, const char *fn,
             Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (file->readOnly) {
        e.error(fn, 9106, "File %s is open for reading only", file->name);
        return false;
    }
    int64_t at = 0;
    if (!resolve(file, pos, n, fn, at, e)) return false;
    // No seek when the file is there already: runs of adjacent writes then
    // stay in the file layer's buffer.
    if (pos != KHFA_SEQUENTIAL_POSITION && kfio_Tell64(file->fd, nullptr) != at &&
        kfio_Seek64(file->fd, at, 0, e.out()) != at) {
        e.error(fn, 9107, "kfio_Seek failed");
        return false;
    }
    if (n > 0 && kfio_FileWriteSequential(file->fd, data, static_cast<size_t>(n), 0, e.out()) !=
                     static_cast<size_t>(n)) {
        e.error(fn, 9108, "kfio_WriteSeq failed");
        return false;
    }
    return true;
}

void mapRelease(Khfa_File *file) {
    if (file->map && file->mapAddress)
        kfio_MmapUnmapExtent(file->map, file->mapAddress, static_cast<size_t>(file->mapLength),
                             nullptr);
    file->mapAddress = nullptr;
    file->mapLength = 0;
}

void mapRenew(Khfa_File *file) {
    mapRelease(file);
    if (!file->mapOn || !file->fd) return;
    if (!file->map) file->map = kfio_MmapCreate(file->fd, !file->readOnly, nullptr);
    if (!file->map) return;  // no mapping: reads go to the file
    int64_t length = file->endOfFile;
    if (file->mapExtent > 0 && file->mapExtent < length) length = file->mapExtent;
    file->mapAddress = kfio_MmapMapExtent(file->map, 0, static_cast<size_t>(length), nullptr);
    if (file->mapAddress) file->mapLength = length;
}

}  // namespace kr::hfa

using kr::hfa::Operation;

extern "C" {

KRASTER_API int32_t khfa_FileMIFDataRead(Khfa_File *file, uint32_t position, int32_t size,
                                         void *buffer, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileMIFDataRead";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!kr::hfa::readAt(file, position, buffer, size, fn, e.out())) return -1;
    return buffer ? size : 0;
}

KRASTER_API int32_t khfa_FileHostDataRead(Khfa_File *file, uint32_t position,
                                          const Kmif_Design *design, int32_t size,
                                          void **hostObject, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileHostDataRead";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!hostObject) return kr::hfa::readAt(file, position, nullptr, size, fn, e.out()) ? 0 : -1;
    if (!design || size < 0) {
        e.error(fn, 1, "Args");
        return -1;
    }
    // The bytes are read first (they must be in the file, which bounds the
    // buffer), then decoded, so the file position ends behind all size bytes.
    int64_t at = 0;
    if (!kr::hfa::resolve(file, position, size, fn, at, e)) return -1;
    auto *bytes = static_cast<unsigned char *>(kmsc_HeapMalloc(size > 0 ? size : 1));
    if (!bytes) {
        e.error(fn, 2, "No memory");
        return -1;
    }
    int32_t consumed = -1;
    if (kr::hfa::readAt(file, position, bytes, size, fn, e.out())) {
        consumed = kmif_ConvertToHostEx(nullptr, bytes, size, design, hostObject, e.out());
        if (consumed < 0) e.error(fn, 3, "kmif_ConvertToHost failed");
    }
    kmsc_HeapFree(bytes);
    return consumed;
}

KRASTER_API int32_t khfa_FileHostDataWrite(Khfa_File *file, uint32_t position,
                                           const Kmif_Design *design, int32_t size,
                                           const void *hostObject, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileHostDataWrite";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!design || !hostObject || size < 0) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (file->readOnly) {
        e.error(fn, 2, "File %s is open for reading only", file->name);
        return -1;
    }
    int64_t at = 0;
    if (!kr::hfa::resolve(file, position, size, fn, at, e)) return -1;
    if (position != KHFA_SEQUENTIAL_POSITION && kfio_Seek64(file->fd, at, 0, e.out()) != at) {
        e.error(fn, 3, "kfio_Seek failed");
        return -1;
    }
    // Encoded straight into the file; an object longer than size fails
    // before anything beyond size bytes is written.
    const int32_t written =
        kmif_ConvertToMIFEx(file->fd, hostObject, design, nullptr, size, at, e.out());
    if (written < 0) {
        e.error(fn, 4, "kmif_ConvertToMIF failed");
        return -1;
    }
    return written;
}

KRASTER_API int32_t khfa_FileMIFDataWrite(Khfa_File *file, uint32_t position, int32_t size,
                                          const void *buffer, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileMIFDataWrite";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!buffer && size > 0) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (!kr::hfa::writeAt(file, position, buffer, size, fn, e.out())) return -1;
    return size;
}

}  // extern "C"
