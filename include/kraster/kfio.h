/* Buffered file access: one handle with 64-bit positions, an adaptive
 * read/write buffer and reopen-and-retry after network failures. */
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
} Kfio_Fd;

KRASTER_API Kfio_Fd *kfio_Open(const char *path, const char *mode, Kerr_ErrorReport **err);
/* Returns 0, or 1 (file left open) when the buffer cannot be written out. */
KRASTER_API int kfio_Close(Kfio_Fd *fd, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
