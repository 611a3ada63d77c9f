/* Buffered file access: one handle with 64-bit positions, an adaptive
 * read/write buffer and reopen-and-retry after network failures.
 *
 * Paths pass through environment expansion ($NAME, ${NAME}); "/" is kept and
 * the device name "nul" (any case) means "/dev/null".
 *
 * Positions. The handle keeps 64-bit positions (int64_t). kfio_Seek takes a
 * signed 32-bit offset, sign-extended to 64 bits before it is applied, and
 * returns the low 32 bits of the new position; kfio_Seek64, kfio_Tell64 and
 * the stdio-like layer (kfio_fseeko, kfio_ftello ...) carry whole 64-bit
 * offsets. Byte counts are size_t. */
#ifndef KRASTER_KFIO_H
#define KRASTER_KFIO_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

#define KFIO_BUFFER_SIZE 16384
#define KFIO_BUFFER_MIN 2048
#define KFIO_PUSHBACK_MAX 4

typedef struct Kfio_Fd {
    int validityMark;      /* copy of osHandle while open; -1 after close */
    int osHandle;          /* the descriptor all I/O uses */
    int32_t endOfFile;     /* set by a short read; cleared by Ungetc and seeks */
    int32_t pushbackCount; /* 0 to 4 */
    unsigned char pushback[KFIO_PUSHBACK_MAX];
    char *path;               /* expanded path */
    char *mode;               /* mode string the file was opened with */
    int32_t reopenCount;      /* reopens after network failures */
    int64_t logicalPosition;  /* the position the caller sees */
    int64_t physicalPosition; /* the position of the descriptor */
    int32_t openFlag;         /* 1 */
    int32_t writeAccess;      /* 1 if opened with write access */
    unsigned char buffer[KFIO_BUFFER_SIZE];
    int32_t bufferCursor;        /* offset of the logical position in the buffer; -1 empty */
    int32_t dirty;               /* 1 if the buffer holds unwritten data */
    int64_t bufferPosition;      /* file position of the first buffer byte; -1 none */
    int32_t bufferFill;          /* valid bytes in the buffer */
    int32_t bufferCapacity;      /* 2048 to 16384 */
    int32_t randomSeekCount;     /* consecutive seeks that moved the position */
    int32_t sequentialReadCount; /* consecutive reads that went to the file */
    /* Internal: 1 while bytes written through the handle have not been
     * flushed to the device (the OS flush is skipped otherwise). */
    int32_t unsynced;
} Kfio_Fd;

/* ---- Core handle operations ------------------------------------------- */

/* Opens a file. Modes (compared ignoring case): "w", "wb", "w+", "w+b",
 * "wb+" create or truncate, read and write; "a", "ab", "a+", "a+b", "ab+"
 * open or create keeping the contents, read and write, position 0; "r+",
 * "r+b", "rb+" open an existing file for reading and writing; anything else
 * opens an existing file for reading. Directories cannot be opened. On
 * failure errno is 13 when access was denied, else 0. */
KRASTER_API Kfio_Fd *kfio_Open(const char *path, const char *mode, Kerr_ErrorReport **err);
/* Writes the buffer out, flushes the OS buffers, closes and frees the
 * handle. Returns 0, or 1 (file left open) when the buffer cannot be
 * written out. NULL, or a record whose validity mark differs from its OS
 * handle, is not touched. */
KRASTER_API int kfio_Close(Kfio_Fd *fd, Kerr_ErrorReport **err);

/* Moves the logical position: origin 0 from the start, 1 from the current
 * position, 2 from the end. A target inside the buffered bytes only moves
 * the cursor (no system call). Clears the end-of-file flag and drops
 * pushed-back characters. kfio_Seek returns the low 32 bits of the new
 * position (0xFFFFFFFF on failure; check the report); kfio_Seek64 returns the
 * new position or -1. */
KRASTER_API uint32_t kfio_Seek(Kfio_Fd *fd, int32_t offset, int origin, Kerr_ErrorReport **err);
KRASTER_API int64_t kfio_Seek64(Kfio_Fd *fd, int64_t offset, int origin, Kerr_ErrorReport **err);
/* The logical position (low 32 bits, or the whole position). Unlike a seek
 * by 0 it keeps the buffer, the pushed-back characters and the end-of-file
 * flag. 0xFFFFFFFF / -1 for an invalid handle. */
KRASTER_API uint32_t kfio_Tell(Kfio_Fd *fd, Kerr_ErrorReport **err);
KRASTER_API int64_t kfio_Tell64(Kfio_Fd *fd, Kerr_ErrorReport **err);

/* Reads up to count bytes at the logical position: pushed-back characters
 * first, then buffered bytes, then the file (through the buffer for less
 * than its capacity, directly otherwise). Returns the bytes delivered. A
 * short read sets the end-of-file flag and, only when err is not NULL,
 * reports "Read %d bytes from %s, %d were requested." (code 7475). */
KRASTER_API size_t kfio_ReadSeq(Kfio_Fd *fd, void *destination, size_t count,
                                Kerr_ErrorReport **err);
/* kfio_FileWriteSequential with the flush flag 0. */
KRASTER_API size_t kfio_WriteSeq(Kfio_Fd *fd, const void *source, size_t count,
                                 Kerr_ErrorReport **err);
/* Writes count bytes at the logical position, through the buffer when they
 * fit. With flushFlag set the buffer is written out afterwards. Returns
 * count on success, else the bytes known to have reached the file. */
KRASTER_API size_t kfio_FileWriteSequential(Kfio_Fd *fd, const void *source, size_t count,
                                            int flushFlag, Kerr_ErrorReport **err);
/* Seek from the start to offset, then kfio_ReadSeq; returns the bytes read
 * (short-read reports only when err is not NULL). */
KRASTER_API size_t kfio_ReadDirect(Kfio_Fd *fd, int64_t offset, void *destination, size_t count,
                                   Kerr_ErrorReport **err);
/* Seek from the start to offset, then write; kfio_WriteDirect always writes
 * the buffer out afterwards. Return as kfio_FileWriteSequential (0 when the
 * seek fails). */
KRASTER_API size_t kfio_WriteDirect(Kfio_Fd *fd, int64_t offset, const void *source, size_t count,
                                    Kerr_ErrorReport **err);
KRASTER_API size_t kfio_FileWriteDirect(Kfio_Fd *fd, int64_t offset, const void *source,
                                        size_t count, int flushFlag, Kerr_ErrorReport **err);

/* Writes a dirty buffer out and empties the buffer; the OS handle is then
 * positioned at the next byte to read. Returns 0, or 1 with a report. */
KRASTER_API int kfio_BufferFlush(Kfio_Fd *fd, Kerr_ErrorReport **err);
/* kfio_BufferFlush, then flushes the OS buffers of a handle with write
 * access. Returns 0 or 1. */
KRASTER_API int kfio_FileFlush(Kfio_Fd *fd, Kerr_ErrorReport **err);
/* kfio_FileFlush; a failure is wrapped as "Flush failed on %s". Returns 0 or 1. */
KRASTER_API int kfio_Flush(Kfio_Fd *fd, Kerr_ErrorReport **err);

/* Size of the file including buffered bytes not yet written: the low 32
 * bits (0xFFFFFFFF on failure), or the whole size (-1 on failure). */
KRASTER_API uint32_t kfio_FileSizeGetByHandle(Kfio_Fd *fd, Kerr_ErrorReport **err);
KRASTER_API int64_t kfio_FileSizeGetByHandle64(Kfio_Fd *fd, Kerr_ErrorReport **err);

/* ---- Character and formatted I/O (no reports) ------------------------- */

/* Next byte (0 to 255) or -1 at the end of the file or on failure. */
KRASTER_API int kfio_Fgetc(Kfio_Fd *fd);
/* Pushes c back (at most 4 characters; more are ignored) and steps the
 * logical position back by one. -1 is never pushed back, nor anything at
 * position 0. Returns c as an unsigned char, or -1 when nothing was pushed. */
KRASTER_API int kfio_Ungetc(int c, Kfio_Fd *fd);
/* Reads a line: stores at most size-1 bytes, drops carriage returns, stops
 * after a line feed (which is kept) and terminates the string. Returns
 * buffer, or NULL when nothing could be read. */
KRASTER_API char *kfio_Fgets(char *buffer, int size, Kfio_Fd *fd);
/* kfio_ReadSeq / kfio_FileWriteSequential of size*count bytes without a
 * report; return the bytes transferred (0 for a NULL buffer or handle). */
KRASTER_API size_t kfio_Fread(void *buffer, size_t size, size_t count, Kfio_Fd *fd);
KRASTER_API size_t kfio_Fwrite(const void *buffer, size_t size, size_t count, Kfio_Fd *fd);
/* Formatted output to a handle; return the bytes written or -1. */
KRASTER_API int kfio_Fprintf(Kfio_Fd *fd, const char *format, ...) KRASTER_PRINTF(2, 3);
KRASTER_API int kfio_Vfprintf(Kfio_Fd *fd, const char *format, va_list args);
/* Formatted output to the standard output stream. */
KRASTER_API int kfio_Printf(const char *format, ...) KRASTER_PRINTF(1, 2);
/* Formats into buffer (at most size bytes with the terminator); returns the
 * length of the whole formatted text, or -1. */
KRASTER_API int kfio_Sprintf(char *buffer, size_t size, const char *format, ...)
    KRASTER_PRINTF(3, 4);

/* ---- Callbacks --------------------------------------------------------- */

/* Log callback: told about events worth a log line (a reopen after a network
 * failure). Installed inside the global critical section; returns the
 * previous function. */
typedef void (*Kfio_LogFunction)(const char *message);
KRASTER_API Kfio_LogFunction kfio_SetLogFunction(Kfio_LogFunction function);

/* ---- Testing aids ------------------------------------------------------ */

/* Kinds of OS call the handle layer makes. */
#define KFIO_OSCALL_OPEN 0
#define KFIO_OSCALL_SEEK 1
#define KFIO_OSCALL_READ 2
#define KFIO_OSCALL_WRITE 3
#define KFIO_OSCALL_SYNC 4
#define KFIO_OSCALL_KINDS 5

/* Testing aid: the next `count` OS calls of `kind` fail with errno
 * `errnoValue` without reaching the OS (count 0 switches injection off for
 * that kind). Process-wide. */
KRASTER_API void kfio_FaultInject(int kind, long count, int errnoValue);
/* Testing aid: number of OS calls of `kind` made so far by the process,
 * injected failures included. */
KRASTER_API long kfio_OsCallCount(int kind);

KRASTER_END_DECLS

#endif
