// The handle layer's contact with the OS: counted calls with fault
// injection, opening by mode, reopen-and-retry after network failures and
// the read/write loop.
#include <kraster/kfio.h>
#include <kraster/kthr.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "core/kfio_internal.hpp"

namespace kfio {
namespace {

struct Fault {
    std::atomic<long> remaining{0};
    std::atomic<int> error{0};
};

Fault g_faults[KFIO_OSCALL_KINDS];
std::atomic<long> g_calls[KFIO_OSCALL_KINDS];

// Counts the call; true (with errno set) when an injected fault takes it.
bool intercepted(int kind) {
    g_calls[kind].fetch_add(1, std::memory_order_relaxed);
    Fault &f = g_faults[kind];
    if (f.remaining.load(std::memory_order_relaxed) <= 0) return false;
    if (f.remaining.fetch_sub(1) <= 0) {
        f.remaining.store(0);
        return false;
    }
    errno = f.error.load();
    return true;
}

Kfio_LogFunction g_logFunction = nullptr;

struct ModeRow {
    const char *names[5];
    int flags;
    bool write;
    bool testWrite;  // an existing file must first open for writing alone
};

const ModeRow kModes[] = {
    {{"w", "wb", "w+", "w+b", "wb+"}, O_RDWR | O_CREAT | O_TRUNC, true, false},
    {{"a", "ab", "a+", "a+b", "ab+"}, O_RDWR | O_CREAT, true, false},
    {{"r+", "r+b", "rb+", nullptr, nullptr}, O_RDWR, true, true},
};

const ModeRow *findMode(const char *mode) {
    for (const ModeRow &row : kModes)
        for (const char *name : row.names)
            if (name && strcasecmp(name, mode) == 0) return &row;
    return nullptr;
}

}  // namespace

int osOpen(const char *path, int flags, mode_t permissions) {
    if (intercepted(KFIO_OSCALL_OPEN)) return -1;
    int d;
    do d = open(path, flags | O_CLOEXEC, permissions);
    while (d < 0 && errno == EINTR);
    return d;
}

off_t osSeek(int descriptor, off_t offset, int whence) {
    if (intercepted(KFIO_OSCALL_SEEK)) return -1;
    return lseek(descriptor, offset, whence);
}

ssize_t osRead(int descriptor, void *buffer, size_t count) {
    if (intercepted(KFIO_OSCALL_READ)) return -1;
    return read(descriptor, buffer, count);
}

ssize_t osWrite(int descriptor, const void *buffer, size_t count) {
    if (intercepted(KFIO_OSCALL_WRITE)) return -1;
    return write(descriptor, buffer, count);
}

int osSync(int descriptor) {
    if (intercepted(KFIO_OSCALL_SYNC)) return -1;
    return fsync(descriptor);
}

bool isNetworkError(int error) {
    switch (error) {
        case ENETDOWN:
        case ENETUNREACH:
        case ENETRESET:
        case ECONNABORTED:
        case ECONNRESET:
        case ESTALE:
            return true;
        default:
            return false;
    }
}

int openDescriptor(const char *path, const char *mode, bool *write, const char *function,
                   kr::Report &e) {
    const ModeRow *row = findMode(mode);
    const int flags = row ? row->flags : O_RDONLY;
    *write = row && row->write;
    if (row && row->testWrite) {
        int probe = osOpen(path, O_WRONLY, 0);
        if (probe < 0) {
            const int code = errno;
            e.error(function, 1, "Cannot gain write access to file %s\nError %d", path, code);
            errno = (code == EACCES || code == EPERM) ? EACCES : 0;
            return -1;
        }
        close(probe);
    }
    int d = osOpen(path, flags, 0666);
    if (d < 0) {
        const int code = errno;
        e.error(function, 1, "Error opening file %s\nError %d", path, code);
        errno = (code == EACCES || code == EPERM) ? EACCES : 0;
        return -1;
    }
    return d;
}

int reopen(Kfio_Fd *fd, kr::Report &e) {
    static const char *const fn = "kfio_Win32Reopen";
    // A file first opened for writing is reopened for update so that its
    // contents survive.
    const char *mode = strpbrk(fd->mode, "wW") ? "r+" : fd->mode;
    bool write = false;
    int d = openDescriptor(fd->path, mode, &write, fn, e);
    if (d < 0) {
        e.error(fn, 7517, "Unable to reopen %s", fd->path);
        return -1;
    }
    // The new descriptor stands where the old one stood, so an interrupted
    // transfer goes on with its next byte.
    if (fd->physicalPosition != 0 && osSeek(d, fd->physicalPosition, SEEK_SET) < 0) {
        close(d);
        e.error(fn, 7526, "Unable to position %s to %" PRId64 " after reopenning.", fd->path,
                fd->physicalPosition);
        return -1;
    }
    close(fd->osHandle);
    fd->osHandle = fd->validityMark = d;
    ++fd->reopenCount;
    // Buffered bytes read before the failure may be stale now; unwritten
    // ones are the caller's data and stay.
    if (!fd->dirty) emptyBuffer(fd);
    log("Reopened %s after a network failure (reopen %d)", fd->path, fd->reopenCount);
    return 0;
}

int64_t positionOs(Kfio_Fd *fd, int64_t offset, int whence, int64_t messageOffset, kr::Report &e) {
    static const char *const fn = "kfio_Seek";
    for (int attempt = 0;; ++attempt) {
        off_t r = osSeek(fd->osHandle, offset, whence);
        if (r >= 0) {
            fd->physicalPosition = r;
            return r;
        }
        const int code = errno;
        if (isNetworkError(code) && attempt < kRetryLimit) {
            if (reopen(fd, e) == 0) continue;
            e.error(fn, 6928,
                    "Unable to reopen file to retry seek to byte offset %" PRId64 " in %s\n%s",
                    messageOffset, fd->path, strerror(code));
            return -1;
        }
        e.error(fn, 6944, "Unable to seek to byte offset %" PRId64 " in %s\n%s", messageOffset,
                fd->path, strerror(code));
        return -1;
    }
}

bool syncPhysical(Kfio_Fd *fd, int64_t position, kr::Report &e) {
    if (fd->physicalPosition == position) return true;
    return positionOs(fd, position, SEEK_SET, position, e) >= 0;
}

bool transfer(Kfio_Fd *fd, bool write, void *memory, size_t count, size_t *done, kr::Report &e) {
    static const char *const fn = "kfio_Transfer";
    auto *p = static_cast<unsigned char *>(memory);
    size_t n = 0;
    int retries = 0;
    while (n < count) {
        ssize_t r = write ? osWrite(fd->osHandle, p + n, count - n)
                          : osRead(fd->osHandle, p + n, count - n);
        if (r > 0) {
            n += static_cast<size_t>(r);
            fd->physicalPosition += r;
            continue;
        }
        if (r == 0) {
            if (!write) break;  // end of file
            errno = EIO;        // a write that makes no progress
        }
        const int code = errno;
        if (code == EINTR) continue;
        if (isNetworkError(code) && retries < kRetryLimit) {
            ++retries;
            if (reopen(fd, e) == 0) continue;
        }
        *done = n;
        e.error(fn, 7264,
                "File I/O operation failed: only %zu of %zu bytes processed.\n Error no. %d: %s", n,
                count, code, strerror(code));
        return false;
    }
    if (write && n > 0) fd->unsynced = 1;
    *done = n;
    return true;
}

int flushBuffer(Kfio_Fd *fd, bool reposition, kr::Report &e) {
    static const char *const fn = "kfio_BufferFlush";
    if (fd->dirty) {
        if (!syncPhysical(fd, fd->bufferPosition, e)) {
            e.error(fn, 7925, "Unable to position %s for flush.", fd->path);
            return 1;
        }
        size_t done = 0;
        if (!transfer(fd, true, fd->buffer, static_cast<size_t>(fd->bufferFill), &done, e)) {
            // The buffer stays dirty: a later flush writes it again.
            e.error(fn, 7932, "Unable to write buffer to %s for flush.", fd->path);
            return 1;
        }
    }
    emptyBuffer(fd);
    // Pushed-back characters stand in front of the next byte to read.
    if (reposition && !syncPhysical(fd, fd->logicalPosition + fd->pushbackCount, e)) {
        e.error(fn, 7938, "Unable to re-position %s after flush.", fd->path);
        return 1;
    }
    return 0;
}

void log(const char *format, ...) {
    kthr_ThreadUnsafeCodeEnter(0);
    Kfio_LogFunction function = g_logFunction;
    if (function) {
        char message[1024];
        va_list ap;
        va_start(ap, format);
        vsnprintf(message, sizeof message, format, ap);
        va_end(ap);
        function(message);
    }
    kthr_ThreadUnsafeCodeExit();
}

}  // namespace kfio

extern "C" {

KRASTER_API void kfio_FaultInject(int kind, long count, int errnoValue) {
    if (kind < 0 || kind >= KFIO_OSCALL_KINDS) return;
    kfio::g_faults[kind].error.store(errnoValue);
    kfio::g_faults[kind].remaining.store(count > 0 ? count : 0);
}

KRASTER_API long kfio_OsCallCount(int kind) {
    if (kind < 0 || kind >= KFIO_OSCALL_KINDS) return 0;
    return kfio::g_calls[kind].load();
}

KRASTER_API Kfio_LogFunction kfio_SetLogFunction(Kfio_LogFunction function) {
    kthr_ThreadUnsafeCodeEnter(0);
    Kfio_LogFunction previous = kfio::g_logFunction;
    kfio::g_logFunction = function;
    kthr_ThreadUnsafeCodeExit();
    return previous;
}

}  // extern "C"
