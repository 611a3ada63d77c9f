// The buffered file handle: open, close, seek, sequential and direct reads
// and writes, flushes, and the adaptive buffer.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>

#include "core/kfio_internal.hpp"

namespace kfio {

char *expandPath(const char *path, kr::Report &e) {
    char *expanded = kstr_PathExpand(path, e.out());
    if (expanded && kstr_Eqic(expanded, "nul")) {
        kmsc_HeapFree(expanded);
        expanded = kstr_Duplicate("/dev/null");
        if (!expanded) e.error("kstr_PathExpand", 2, "No memory");
    }
    return expanded;
}

void HeapFree::operator()(void *p) const {
    kmsc_HeapFree(p);
}

Kfio_Fd *newRecord(int descriptor, char *path, const char *mode, bool write) {
    auto *f = static_cast<Kfio_Fd *>(kmsc_HeapMalloc(sizeof(Kfio_Fd)));
    char *modeCopy = kstr_Duplicate(mode);
    if (!f || !modeCopy) {
        kmsc_HeapFree(f);
        kmsc_HeapFree(modeCopy);
        return nullptr;
    }
    f->validityMark = f->osHandle = descriptor;
    f->path = path;
    f->mode = modeCopy;
    f->openFlag = 1;
    f->writeAccess = write ? 1 : 0;
    emptyBuffer(f);
    f->bufferCapacity = KFIO_BUFFER_SIZE;
    return f;
}

}  // namespace kfio

namespace {

using kfio::emptyBuffer;
using kfio::valid;

constexpr int32_t kSaturate = INT32_MAX;

// A read that went to the file: more than three in a row double a shrunken
// buffer.
void countFileRead(Kfio_Fd *fd) {
    if (fd->sequentialReadCount < kSaturate) ++fd->sequentialReadCount;
    if (fd->sequentialReadCount > 3 && fd->bufferCapacity < KFIO_BUFFER_SIZE) {
        fd->bufferCapacity = std::min(fd->bufferCapacity * 2, KFIO_BUFFER_SIZE);
        fd->sequentialReadCount = 0;
        fd->randomSeekCount = 0;
    }
}

// A seek that moved the position: three in a row halve the buffer.
void countMovingSeek(Kfio_Fd *fd) {
    fd->sequentialReadCount = 0;
    if (fd->randomSeekCount < kSaturate) ++fd->randomSeekCount;
    if (fd->randomSeekCount >= 3 && fd->bufferCapacity > KFIO_BUFFER_MIN) {
        fd->bufferCapacity = std::max(fd->bufferCapacity / 2, KFIO_BUFFER_MIN);
        fd->randomSeekCount = 0;
    }
}

int64_t seek64(Kfio_Fd *fd, int64_t offset, int origin, kr::Report &e) {
    static const char *const fn = "kfio_Seek";
    if (!valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
        return -1;
    }
    if (origin < 0 || origin > 2) {
        e.error(fn, 2, "Invalid seek origin %d", origin);
        return -1;
    }
    int64_t target = offset;
    bool overflow = origin == 1 && __builtin_add_overflow(fd->logicalPosition, offset, &target);
    // Inside the buffered bytes only the cursor moves.
    if (origin != 2 && !overflow && fd->bufferCursor >= 0 && target >= fd->bufferPosition &&
        target - fd->bufferPosition < fd->bufferFill) {
        fd->logicalPosition = target;
        fd->bufferCursor = static_cast<int32_t>(target - fd->bufferPosition);
        fd->pushbackCount = 0;
        fd->endOfFile = 0;
        return target;
    }
    if (kfio::flushBuffer(fd, false, e) != 0) {
        e.error(fn, 7081, "Unable to flush %s before seeking.", fd->path);
        return -1;
    }
    const int64_t old = fd->logicalPosition;
    if (origin != 2 && !overflow && target == fd->physicalPosition) {
        fd->logicalPosition = target;
    } else {
        // An overflowing target is handed on as negative: the OS refuses it.
        int64_t r = kfio::positionOs(fd, overflow ? -1 : target, origin == 2 ? SEEK_END : SEEK_SET,
                                     offset, e);
        if (r < 0) {
            e.error(fn, 7088, "Unable to perform seek on %s", fd->path);
            return -1;
        }
        fd->logicalPosition = r;
    }
    fd->pushbackCount = 0;
    fd->endOfFile = 0;
    if (fd->logicalPosition != old) countMovingSeek(fd);
    return fd->logicalPosition;
}

size_t readSeq(Kfio_Fd *fd, void *destination, size_t count, bool reportShort, kr::Report &e) {
    static const char *const fn = "kfio_ReadSeq";
    if (!valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
        return 0;
    }
    if (count == 0) return 0;
    if (!destination) {
        e.error(fn, 2, "Invalid attempt to read into NULL buffer.");
        return 0;
    }
    auto *out = static_cast<unsigned char *>(destination);
    // The common case: everything is in a clean buffer.
    if (!fd->dirty && fd->pushbackCount == 0 && fd->bufferCursor >= 0 &&
        static_cast<size_t>(fd->bufferFill - fd->bufferCursor) >= count) {
        memcpy(out, fd->buffer + fd->bufferCursor, count);
        fd->bufferCursor += static_cast<int32_t>(count);
        fd->logicalPosition += static_cast<int64_t>(count);
        return count;
    }
    if (fd->dirty && kfio::flushBuffer(fd, false, e) != 0) {
        e.error(fn, 7368, "Unable to flush %s before reading.", fd->path);
        return 0;
    }
    size_t n = 0;
    while (fd->pushbackCount > 0 && n < count) {
        out[n++] = fd->pushback[--fd->pushbackCount];
        ++fd->logicalPosition;
    }
    if (n < count && fd->bufferCursor >= 0 && fd->bufferCursor < fd->bufferFill) {
        size_t k = std::min(count - n, static_cast<size_t>(fd->bufferFill - fd->bufferCursor));
        memcpy(out + n, fd->buffer + fd->bufferCursor, k);
        fd->bufferCursor += static_cast<int32_t>(k);
        fd->logicalPosition += static_cast<int64_t>(k);
        n += k;
    }
    const size_t rest = count - n;
    if (rest > 0 && rest < static_cast<size_t>(fd->bufferCapacity)) {
        emptyBuffer(fd);
        size_t got = 0;
        if (!kfio::syncPhysical(fd, fd->logicalPosition, e) ||
            !kfio::transfer(fd, false, fd->buffer, static_cast<size_t>(fd->bufferCapacity), &got,
                            e)) {
            emptyBuffer(fd);
            e.error(fn, 7410, "Error trying to read %d bytes into buffer for %s",
                    fd->bufferCapacity, fd->path);
            return n;
        }
        countFileRead(fd);
        if (got > 0) {
            fd->bufferPosition = fd->logicalPosition;
            fd->bufferFill = static_cast<int32_t>(got);
            size_t k = std::min(rest, got);
            memcpy(out + n, fd->buffer, k);
            fd->bufferCursor = static_cast<int32_t>(k);
            fd->logicalPosition += static_cast<int64_t>(k);
            n += k;
        }
    } else if (rest > 0) {
        emptyBuffer(fd);
        size_t got = 0;
        bool ok = kfio::syncPhysical(fd, fd->logicalPosition, e) &&
                  kfio::transfer(fd, false, out + n, rest, &got, e);
        fd->logicalPosition += static_cast<int64_t>(got);
        n += got;
        if (!ok) {
            e.error(fn, 7384, "Error trying to read %zu bytes from %s\n", rest, fd->path);
            return n;
        }
        countFileRead(fd);
    }
    if (n < count) {
        fd->endOfFile = 1;
        if (reportShort && e.wanted())
            e.error(fn, 7475, "Read %zu bytes from %s, %zu were requested.", n, fd->path, count);
    }
    return n;
}

size_t writeSeq(Kfio_Fd *fd, const void *source, size_t count, int flushFlag, kr::Report &e) {
    static const char *const fn = "kfio_FileWriteSequential";
    if (!valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
        return 0;
    }
    if (!source && count > 0) {
        e.error(fn, 7610, "Invalid attempt to write NULL buffer.");
        return 0;
    }
    // A handle opened for reading takes no bytes: buffering them would only
    // make the later flush (and close) fail.
    if (count > 0 && !fd->writeAccess) {
        e.error(fn, 3, "%s is not open for writing.", fd->path);
        return 0;
    }
    // Pushed-back characters are dropped: the write goes to the position the
    // caller sees.
    if (fd->pushbackCount > 0 && seek64(fd, fd->logicalPosition, 0, e) < 0) {
        e.error(fn, 2, "Could not drop pushed-back characters of %s before writing.", fd->path);
        return 0;
    }
    size_t written = count;
    const auto capacity = static_cast<size_t>(fd->bufferCapacity);
    const bool fitsDirty = fd->dirty && count <= capacity - static_cast<size_t>(fd->bufferCursor);
    const bool fitsEmpty = fd->bufferCursor < 0 && count < capacity;
    if (count == 0) {
        // nothing to move
    } else if (fitsDirty || fitsEmpty) {
        if (fitsEmpty) {
            fd->bufferPosition = fd->logicalPosition;
            fd->bufferCursor = 0;
            fd->bufferFill = 0;
        }
        memcpy(fd->buffer + fd->bufferCursor, source, count);
        fd->bufferCursor += static_cast<int32_t>(count);
        fd->bufferFill = std::max(fd->bufferFill, fd->bufferCursor);
        fd->logicalPosition += static_cast<int64_t>(count);
        fd->dirty = 1;
    } else {
        if (kfio::flushBuffer(fd, false, e) != 0) {
            e.error(fn, 7719, "Could not flush buffer for %s before writing more data.", fd->path);
            return 0;
        }
        size_t done = 0;
        bool ok = kfio::syncPhysical(fd, fd->logicalPosition, e) &&
                  kfio::transfer(fd, true, const_cast<void *>(source), count, &done, e);
        fd->logicalPosition += static_cast<int64_t>(done);
        if (!ok) {
            e.error(fn, 7726, "Could not write %zu bytes to %s", count, fd->path);
            return done;
        }
    }
    if (flushFlag && kfio::flushBuffer(fd, true, e) != 0) {
        e.error(fn, 7743, "Unable to flush buffers for %s after writing.", fd->path);
        return 0;
    }
    return written;
}

int fileFlush(Kfio_Fd *fd, kr::Report &e) {
    static const char *const fn = "kfio_FileFlush";
    if (!valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
        return 1;
    }
    if (kfio::flushBuffer(fd, true, e) != 0) {
        e.error(fn, 2);
        return 1;
    }
    // A handle without write access has nothing of its own to flush.
    if (!fd->writeAccess || !fd->unsynced) return 0;
    if (kfio::osSync(fd->osHandle) != 0 && errno != EINVAL && errno != EROFS) {
        e.error(fn, 3, "Unable to flush the system buffers of %s\n%s", fd->path, strerror(errno));
        return 1;
    }
    fd->unsynced = 0;
    return 0;
}

int64_t sizeByHandle(Kfio_Fd *fd, const char *fn, kr::Report &e) {
    if (!valid(fd)) {
        e.error(fn, 1, "Invalid file handle");
        return -1;
    }
    struct stat st;
    if (fstat(fd->osHandle, &st) != 0) {
        e.error(fn, 2, "Unable to get the size of %s\n%s", fd->path, strerror(errno));
        return -1;
    }
    int64_t size = st.st_size;
    if (fd->dirty) size = std::max<int64_t>(size, fd->bufferPosition + fd->bufferFill);
    return size;
}

}  // namespace

namespace kfio {

size_t readSequential(Kfio_Fd *fd, void *destination, size_t count, bool reportShort,
                      kr::Report &e) {
    return readSeq(fd, destination, count, reportShort, e);
}

size_t writeSequential(Kfio_Fd *fd, const void *source, size_t count, kr::Report &e) {
    return writeSeq(fd, source, count, 0, e);
}

}  // namespace kfio

extern "C" {

KRASTER_API Kfio_Fd *kfio_Open(const char *path, const char *mode, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Open";
    kr::Report e(err);
    if (!path || !mode) {
        e.error(fn, 2, "Invalid argument: %s is NULL", path ? "the mode" : "the path");
        return nullptr;
    }
    char *expanded = kfio::expandPath(path, e);
    if (!expanded) {
        e.error(fn, 3);
        return nullptr;
    }
    // The record comes first: a "w" mode creates or truncates the file, which
    // must not happen for an open that then fails for want of memory.
    Kfio_Fd *f = kfio::newRecord(-1, expanded, mode, false);
    if (!f) {
        kmsc_HeapFree(expanded);
        e.error(fn, 4, "Insufficient memory for a file handle");
        return nullptr;
    }
    bool write = false;
    int d = kfio::openDescriptor(expanded, mode, &write, fn, e);
    if (d < 0) {
        const int saved = errno;
        kmsc_HeapFree(f->path);
        kmsc_HeapFree(f->mode);
        kmsc_HeapFree(f);
        errno = saved;
        return nullptr;
    }
    struct stat st;
    if (fstat(d, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(d);
        e.error(fn, 1, "Error opening file %s\nError %d", expanded, EISDIR);
        kmsc_HeapFree(f->path);
        kmsc_HeapFree(f->mode);
        kmsc_HeapFree(f);
        errno = 0;
        return nullptr;
    }
    f->validityMark = f->osHandle = d;
    f->writeAccess = write ? 1 : 0;
    return f;
}

KRASTER_API int kfio_Close(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_Close";
    kr::Report e(err);
    if (!fd || fd->validityMark != fd->osHandle) return 0;
    if (kfio::flushBuffer(fd, false, e) != 0) {
        e.error(fn, 6812, "Could not flush %s before closing.", fd->path);
        return 1;
    }
    if (fd->writeAccess && fd->unsynced && kfio::osSync(fd->osHandle) != 0 && errno != EINVAL &&
        errno != EROFS) {
        e.error(fn, 6812, "Could not flush %s before closing.", fd->path);
        return 1;
    }
    close(fd->osHandle);
    fd->validityMark = -1;
    fd->openFlag = 0;
    kmsc_HeapFree(fd->path);
    kmsc_HeapFree(fd->mode);
    kmsc_HeapFree(fd);
    return 0;
}

KRASTER_API int64_t kfio_Seek64(Kfio_Fd *fd, int64_t offset, int origin, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return seek64(fd, offset, origin, e);
}

KRASTER_API uint32_t kfio_Seek(Kfio_Fd *fd, int32_t offset, int origin, Kerr_ErrorReport **err) {
    kr::Report e(err);
    int64_t r = seek64(fd, offset, origin, e);
    return r < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
}

KRASTER_API int64_t kfio_Tell64(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!valid(fd)) {
        e.error("kfio_Tell", 1, "Invalid file handle");
        return -1;
    }
    return fd->logicalPosition;
}

KRASTER_API uint32_t kfio_Tell(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    int64_t r = kfio_Tell64(fd, err);
    return r < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
}

KRASTER_API size_t kfio_ReadSeq(Kfio_Fd *fd, void *destination, size_t count,
                                Kerr_ErrorReport **err) {
    kr::Report e(err);
    return readSeq(fd, destination, count, true, e);
}

KRASTER_API size_t kfio_FileWriteSequential(Kfio_Fd *fd, const void *source, size_t count,
                                            int flushFlag, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return writeSeq(fd, source, count, flushFlag, e);
}

KRASTER_API size_t kfio_WriteSeq(Kfio_Fd *fd, const void *source, size_t count,
                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    return writeSeq(fd, source, count, 0, e);
}

KRASTER_API size_t kfio_ReadDirect(Kfio_Fd *fd, int64_t offset, void *destination, size_t count,
                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_ReadDirect";
    kr::Report e(err);
    if (seek64(fd, offset, 0, e) < 0) {
        e.error(fn, 1, "kfio_Seek failed");
        return 0;
    }
    size_t n = readSeq(fd, destination, count, true, e);
    if (e.failed()) e.error(fn, 2);
    return n;
}

KRASTER_API size_t kfio_FileWriteDirect(Kfio_Fd *fd, int64_t offset, const void *source,
                                        size_t count, int flushFlag, Kerr_ErrorReport **err) {
    static const char *const fn = "kfio_FileWriteDirect";
    kr::Report e(err);
    if (seek64(fd, offset, 0, e) < 0) {
        e.error(fn, 965, "kfio_Seek failed");
        return 0;
    }
    size_t n = writeSeq(fd, source, count, flushFlag, e);
    if (e.failed()) e.error(fn, 970, "kfio_FileWriteSequential failed");
    return n;
}

KRASTER_API size_t kfio_WriteDirect(Kfio_Fd *fd, int64_t offset, const void *source, size_t count,
                                    Kerr_ErrorReport **err) {
    return kfio_FileWriteDirect(fd, offset, source, count, 1, err);
}

KRASTER_API int kfio_BufferFlush(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!valid(fd)) {
        e.error("kfio_BufferFlush", 1, "Invalid file handle");
        return 1;
    }
    return kfio::flushBuffer(fd, true, e);
}

KRASTER_API int kfio_FileFlush(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return fileFlush(fd, e);
}

KRASTER_API int kfio_Flush(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (fileFlush(fd, e) == 0) return 0;
    e.error("kfio_Flush", 7898, "Flush failed on %s", valid(fd) ? fd->path : "(invalid handle)");
    return 1;
}

KRASTER_API int64_t kfio_FileSizeGetByHandle64(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return sizeByHandle(fd, "kfio_FileSizeGetByHandle64", e);
}

KRASTER_API uint32_t kfio_FileSizeGetByHandle(Kfio_Fd *fd, Kerr_ErrorReport **err) {
    kr::Report e(err);
    int64_t size = sizeByHandle(fd, "kfio_FileSizeGetByHandle", e);
    return size < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
}

}  // extern "C"
