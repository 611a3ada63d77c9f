// Internals shared by the kfio sources: counted OS calls with fault
// injection, reopen-and-retry, the transfer loop and buffer helpers.
#pragma once

#include <kraster/kfio.h>

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <new>

#include "core/report.hpp"

namespace kfio {

// Reopens after network failures within one operation before giving up, so
// that a failure that never clears cannot make an operation loop forever.
constexpr int kRetryLimit = 8;

// OS calls of the handle layer; each counts itself and honours injected
// faults. They return what the OS call returns, with errno set on failure.
int osOpen(const char *path, int flags, mode_t permissions);
off_t osSeek(int descriptor, off_t offset, int whence);
ssize_t osRead(int descriptor, void *buffer, size_t count);
ssize_t osWrite(int descriptor, const void *buffer, size_t count);
int osSync(int descriptor);

// The errno values after which a handle is reopened and the call retried.
bool isNetworkError(int error);

// Opens a descriptor for an expanded path with the access and disposition
// the mode asks for; reports under `function`. Sets *write to whether the
// descriptor has write access. Returns the descriptor or -1.
int openDescriptor(const char *path, const char *mode, bool *write, const char *function,
                   kr::Report &e);

// Reopens fd's file after a network failure, placing the new descriptor
// where the old one stood. Returns 0 or -1 with a report.
int reopen(Kfio_Fd *fd, kr::Report &e);

// Moves the OS file pointer (with retries); reports as kfio_Seek does, with
// `messageOffset` in the messages. Returns the new position or -1.
int64_t positionOs(Kfio_Fd *fd, int64_t offset, int whence, int64_t messageOffset, kr::Report &e);
// Puts the OS file pointer at `position` unless it is there already.
bool syncPhysical(Kfio_Fd *fd, int64_t position, kr::Report &e);

// Reads or writes count bytes at the physical position, reopening after
// network failures. *done receives the bytes processed; a read stops early at
// the end of the file. Returns false with a report on failure.
bool transfer(Kfio_Fd *fd, bool write, void *memory, size_t count, size_t *done, kr::Report &e);

// Writes a dirty buffer out and empties the buffer. With `reposition` the OS
// pointer is then moved to the next byte to read. Returns 0 or 1.
int flushBuffer(Kfio_Fd *fd, bool reposition, kr::Report &e);

inline bool valid(const Kfio_Fd *fd) {
    return fd && fd->openFlag == 1 && fd->osHandle >= 0 && fd->validityMark == fd->osHandle;
}

inline void emptyBuffer(Kfio_Fd *fd) {
    fd->bufferCursor = -1;
    fd->bufferPosition = -1;
    fd->bufferFill = 0;
    fd->dirty = 0;
}

// kfio_ReadSeq, reporting a short read only with `reportShort` (the end of
// the file is no failure for character reads), and kfio_WriteSeq.
size_t readSequential(Kfio_Fd *fd, void *destination, size_t count, bool reportShort,
                      kr::Report &e);
size_t writeSequential(Kfio_Fd *fd, const void *source, size_t count, kr::Report &e);

// Expands environment variables in a path; "nul" becomes "/dev/null".
// Returns a heap string or NULL with a report.
char *expandPath(const char *path, kr::Report &e);

// A fresh handle record for an open descriptor; takes over `path` (a heap
// string) and copies `mode`. NULL when memory runs out (nothing is taken
// over then).
Kfio_Fd *newRecord(int descriptor, char *path, const char *mode, bool write);

struct HeapFree {
    void operator()(void *p) const;
};
using HeapString = std::unique_ptr<char, HeapFree>;

// Runs body, turning std::bad_alloc into a report of `function`; returns
// `failed` then.
template <typename T, typename Body>
T guarded(kr::Report &e, const char *function, T failed, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        e.error(function, 99, "Insufficient memory");
        return failed;
    }
}

// Calls the installed log function, if any, with a formatted message.
void log(const char *format, ...) KRASTER_PRINTF(1, 2);

}  // namespace kfio
