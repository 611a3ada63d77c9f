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
 * offsets. Byte counts are size_t.
 *
 * Network failures. A seek, read or write refused with ENETDOWN,
 * ENETUNREACH, ENETRESET, ECONNABORTED, ECONNRESET or ESTALE reopens the file
 * (a file first opened with a "w" mode is reopened with "r+") at the same
 * position and tries again, at most 8 times within one operation; the
 * handle's reopenCount counts the reopens. */
#ifndef KRASTER_KFIO_H
#define KRASTER_KFIO_H

#include "kdefs.h"
#include "kerr.h"
#include "kstr.h"

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

/* ---- Character and formatted I/O -------------------------------------- */
/* The end of the file is no failure: it leaves no report. */

/* Next byte (0 to 255), or -1 at the end of the file or, with a report, for
 * an invalid handle or a failed read. */
KRASTER_API int kfio_Fgetc(Kfio_Fd *fd, Kerr_ErrorReport **err);
/* Pushes c back (at most 4 characters; more are ignored) and steps the
 * logical position back by one. -1 is never pushed back, nor anything at
 * position 0. Returns c as an unsigned char, or -1 when nothing was pushed
 * (with a report only for an invalid handle). */
KRASTER_API int kfio_Ungetc(int c, Kfio_Fd *fd, Kerr_ErrorReport **err);
/* Reads a line: stores at most size-1 bytes, drops carriage returns, stops
 * after a line feed (which is kept) and terminates the string. Returns
 * buffer, or NULL when nothing could be read: at the end of the file, or
 * with a report for bad arguments, an invalid handle or a failed read. */
KRASTER_API char *kfio_Fgets(char *buffer, int size, Kfio_Fd *fd, Kerr_ErrorReport **err);
/* kfio_ReadSeq / kfio_FileWriteSequential of size*count bytes without a
 * report; return the bytes transferred (0 for a NULL buffer or handle). */
KRASTER_API size_t kfio_Fread(void *buffer, size_t size, size_t count, Kfio_Fd *fd);
KRASTER_API size_t kfio_Fwrite(const void *buffer, size_t size, size_t count, Kfio_Fd *fd);
/* Formatted output to a handle; return the bytes written, or -1 with a
 * report (invalid handle, NULL format, a format that cannot be expanded, a
 * failed write). The report address stands before the format. */
KRASTER_API int kfio_Fprintf(Kfio_Fd *fd, Kerr_ErrorReport **err, const char *format, ...)
    KRASTER_PRINTF(3, 4);
KRASTER_API int kfio_Vfprintf(Kfio_Fd *fd, const char *format, va_list args,
                              Kerr_ErrorReport **err);
/* Formatted output to the standard output stream; the bytes written, or -1
 * with a report. */
KRASTER_API int kfio_Printf(Kerr_ErrorReport **err, const char *format, ...) KRASTER_PRINTF(2, 3);
/* Formats into buffer (at most size bytes with the terminator); returns the
 * length of the whole formatted text, or -1 with a report (NULL format, NULL
 * buffer with a size, a format that cannot be expanded). */
KRASTER_API int kfio_Sprintf(char *buffer, size_t size, Kerr_ErrorReport **err, const char *format,
                             ...) KRASTER_PRINTF(4, 5);

/* ---- Stdio-like layer -------------------------------------------------- */
/* Errors are printed with kerr_PrintErrorReport and deleted; results follow
 * the C library's conventions (EOF is -1). */

KRASTER_API Kfio_Fd *kfio_fopen(const char *path, const char *mode);
/* Flushes and closes fd (if not NULL), then opens path. */
KRASTER_API Kfio_Fd *kfio_freopen(const char *path, const char *mode, Kfio_Fd *fd);
KRASTER_API int kfio_fclose(Kfio_Fd *fd);
KRASTER_API int kfio_fflush(Kfio_Fd *fd);
/* Return whole items transferred (bytes divided by size). */
KRASTER_API size_t kfio_fread(void *buffer, size_t size, size_t count, Kfio_Fd *fd);
KRASTER_API size_t kfio_fwrite(const void *buffer, size_t size, size_t count, Kfio_Fd *fd);
/* 0 or -1; a target inside the buffered bytes only moves the cursor. */
KRASTER_API int kfio_fseeko(Kfio_Fd *fd, int64_t offset, int whence);
/* The logical position, or -1. */
KRASTER_API int64_t kfio_ftello(Kfio_Fd *fd);
/* 0, or -1 (also for NULL arguments). */
KRASTER_API int kfio_fgetpos(Kfio_Fd *fd, int64_t *position);
KRASTER_API int kfio_fsetpos(Kfio_Fd *fd, const int64_t *position);
/* The end-of-file flag (0 for NULL). */
KRASTER_API int kfio_feof(Kfio_Fd *fd);
/* Sets the file's length; the position stays unless it was past the new
 * end, where it moves to the end. 0 or -1. */
KRASTER_API int kfio_ftruncate(Kfio_Fd *fd, int64_t length);
KRASTER_API int kfio_fprintf(Kfio_Fd *fd, const char *format, ...) KRASTER_PRINTF(2, 3);
KRASTER_API int kfio_vfprintf(Kfio_Fd *fd, const char *format, va_list args);
/* kfio_Seek returning 0 or -1. */
KRASTER_API int kfio_CompatibleFseek(Kfio_Fd *fd, int32_t offset, int origin);

/* ---- 64-bit helpers ---------------------------------------------------- */

/* Sum and difference through *result; return 1 on a carry or borrow out of
 * the high word, else 0. */
KRASTER_API int kfio_UInt64Add(uint64_t a, uint64_t b, uint64_t *result);
KRASTER_API int kfio_UInt64Sub(uint64_t a, uint64_t b, uint64_t *result);
/* -1, 0 or 1. */
KRASTER_API int kfio_UInt64Compare(uint64_t a, uint64_t b);
KRASTER_API uint64_t kfio_UInt64MultiplyFromUInt32(uint32_t a, uint32_t b);
/* Store or fetch the high or low 32-bit word of a position. */
KRASTER_API void kfio_off_tHODWSet(int64_t *position, uint32_t high);
KRASTER_API uint32_t kfio_off_tHODWGet(int64_t position);
KRASTER_API void kfio_off_tLODWSet(int64_t *position, uint32_t low);
KRASTER_API uint32_t kfio_off_tLODWGet(int64_t position);

/* ---- Search lists ------------------------------------------------------ */

/* A list of directories; the empty list is NULL. */
typedef struct Kfio_SearchList {
    struct Kfio_SearchList *next;
    char *directory; /* expanded path, heap string */
} Kfio_SearchList;

/* Expands environment variables in string, splits it at ";" and appends one
 * node per non-empty piece to the end of list. Returns the list (NULL when
 * it stays empty). On failure returns NULL with a report and leaves list as
 * it was (still the caller's). */
KRASTER_API Kfio_SearchList *kfio_CreateSLFromString(Kfio_SearchList *list, const char *string,
                                                     Kerr_ErrorReport **err);
/* As above with the variable's value, or defaultValue when it is not set. */
KRASTER_API Kfio_SearchList *kfio_CreateSLFromEnv(Kfio_SearchList *list, const char *variable,
                                                  const char *defaultValue, Kerr_ErrorReport **err);
/* A copy of the list; NULL for the empty list or with a report. */
KRASTER_API Kfio_SearchList *kfio_CreateSLFromSL(const Kfio_SearchList *list,
                                                 Kerr_ErrorReport **err);
/* Removes every node whose directory equals the expanded directory;
 * returns the new head. */
KRASTER_API Kfio_SearchList *kfio_SLRemovePath(Kfio_SearchList *list, const char *directory);
KRASTER_API void kfio_FreeSL(Kfio_SearchList *list);
/* The expanded name when it is an existing plain file; otherwise the first
 * "directory/name" of the list that exists as a file or directory. A heap
 * string, or NULL (with a report only when testing a name failed). */
KRASTER_API char *kfio_Which(const Kfio_SearchList *list, const char *name, Kerr_ErrorReport **err);
/* kfio_Which with a relative name, and the relative directories of the
 * list, taken relative to directory. */
KRASTER_API char *kfio_WhichRelative(const char *directory, const Kfio_SearchList *list,
                                     const char *name, Kerr_ErrorReport **err);
/* kfio_Which, then kfio_Open with mode; *foundName (if foundName is not
 * NULL) receives the name found as a heap string, or NULL. */
KRASTER_API Kfio_Fd *kfio_SearchListOpen(const Kfio_SearchList *list, const char *name,
                                         const char *mode, char **foundName,
                                         Kerr_ErrorReport **err);

/* ---- Temporary directories and names ----------------------------------- */

/* The calling thread's temporary directory: ORVEL_TMPDIR, else TEMP, else
 * TMPDIR, else "/tmp", expanded; it must be an existing directory with read
 * and write access. The string belongs to the thread and stays valid until
 * kfio_DirectorySetTemporary or the end of the thread. */
KRASTER_API const char *kfio_DirectoryGetTemporary(Kerr_ErrorReport **err);
/* Sets the calling thread's temporary directory (same checks). 0 or -1. */
KRASTER_API int kfio_DirectorySetTemporary(const char *directory, Kerr_ErrorReport **err);
/* kfio_MakeTemp of "directory/prefixXXXXXX" (directory NULL: the temporary
 * directory; prefix NULL or empty: "tmp."). A heap string or NULL. */
KRASTER_API char *kfio_TempName(const char *directory, const char *prefix, Kerr_ErrorReport **err);
KRASTER_API char *kfio_TempNameInTmpdir(const char *prefix, Kerr_ErrorReport **err);
/* Replaces the trailing X's (or x's) of pathTemplate in place with the
 * process id's digits, then, while the name exists, advances the first
 * replaced character through a-z with a carry into the next. Returns
 * pathTemplate, or NULL when its directory does not exist or the names run
 * out. */
KRASTER_API char *kfio_MakeTemp(char *pathTemplate);
/* A new file in the temporary directory, open for reading and writing
 * (mode "rw"); its name is removed at once, so it vanishes when closed. */
KRASTER_API Kfio_Fd *kfio_TmpFile(Kerr_ErrorReport **err);
/* A new unique file name "tmpXXXXXX" in the temporary directory; the file is
 * created empty to reserve the name. A heap string or NULL. */
KRASTER_API char *kfio_TmpName(Kerr_ErrorReport **err);

/* ---- File-system operations -------------------------------------------- */

typedef struct Kfio_StatInfo {
    int64_t size;
    uint32_t mode; /* file type and permission bits */
    uint32_t linkCount;
    uint32_t owner;
    uint32_t group;
    int64_t accessTime; /* seconds since 1970 */
    int64_t modifyTime;
    int64_t changeTime;
    uint64_t device;
    uint64_t inode;
} Kfio_StatInfo;

/* 0 when the file grants the access, else -1 with a report. Mode bits: 2
 * write, 4 read, 1 execute; 0 tests existence. */
KRASTER_API int kfio_Access(const char *path, int mode, Kerr_ErrorReport **err);
/* Creates an empty file (truncating an existing one). 0 or -1. */
KRASTER_API int kfio_Create(const char *path, uint32_t permissions, Kerr_ErrorReport **err);
KRASTER_API int kfio_Chmod(const char *path, uint32_t permissions, Kerr_ErrorReport **err);
/* 1 when the file cannot be written by the caller, 0 when it can, -1 when
 * it does not exist (report). */
KRASTER_API int kfio_IsFileReadOnly(const char *path, Kerr_ErrorReport **err);
/* 0 or -1. */
KRASTER_API int kfio_Stat(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err);
/* 1 present (info filled), 0 missing, -1 failure. The Lstat form describes a
 * symbolic link itself. */
KRASTER_API int kfio_StatIfPresent(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err);
KRASTER_API int kfio_LstatIfPresent(const char *path, Kfio_StatInfo *info, Kerr_ErrorReport **err);
/* Sets the modification (and access) time, seconds since 1970. 0 or -1. */
KRASTER_API int kfio_SetModTime(const char *path, int64_t seconds, Kerr_ErrorReport **err);
/* 1 for an existing name that is not a directory, else 0; a name that
 * cannot be tested (NULL, an expansion or status failure other than a
 * missing name) gives 0 with a report. */
KRASTER_API int kfio_FileExists(const char *path, Kerr_ErrorReport **err);
/* 1 for an existing directory, else 0 (with a report as kfio_FileExists). */
KRASTER_API int kfio_IsDirectory(const char *path, Kerr_ErrorReport **err);
/* 0 missing, 1 directory, 2 file; -1 when the name cannot be tested. */
KRASTER_API int kfio_FileNameExistAsFileOrDir(const char *path, Kerr_ErrorReport **err);
KRASTER_API int kfio_MakeDir(const char *path, Kerr_ErrorReport **err);
KRASTER_API int kfio_ChangeDir(const char *path, Kerr_ErrorReport **err);
/* The current directory as a heap string, or NULL. */
KRASTER_API char *kfio_CurrentDirName(Kerr_ErrorReport **err);
/* The directory holding path ("/a/b" gives "/a", "/a" gives "/", "a"
 * gives "."), as a heap string. */
KRASTER_API char *kfio_UpDir(const char *path, Kerr_ErrorReport **err);
/* Copies a directory tree into destination (created if missing). 0 or -1. */
KRASTER_API int kfio_DirectoryCopy(const char *source, const char *destination,
                                   Kerr_ErrorReport **err);
/* Copies a file; the destination is opened with "w+b". 0 or -1. */
KRASTER_API int kfio_FileCopy(const char *source, const char *destination, Kerr_ErrorReport **err);
/* Renames, replacing an existing target (across file systems by copying).
 * 0 or -1. */
KRASTER_API int kfio_FileNameChange(const char *oldPath, const char *newPath,
                                    Kerr_ErrorReport **err);
KRASTER_API int kfio_DirectoryRemove(const char *path, Kerr_ErrorReport **err);
/* Removes a directory tree; entries named "RECYCLED" (any case) are left,
 * and so is every directory holding one. Symbolic links are removed, not
 * followed. 0 or -1. */
KRASTER_API int kfio_DirectoryRemoveRecursive(const char *path, Kerr_ErrorReport **err);
/* Names (not paths) of the entries of directory matching the shell pattern
 * (NULL: all), sorted, without "." and "..". NULL with a report on failure;
 * free with kstr_StringListFree. */
KRASTER_API Kstr_StringList *kfio_FindFilesInPath(const char *directory, const char *pattern,
                                                  Kerr_ErrorReport **err);
/* The first name that does not exist yet, made from name by incrementing
 * the number at the end of its base name ("scan.img" -> "scan1.img",
 * "scan9.img" -> "scan10.img"). A heap string or NULL. */
KRASTER_API char *kfio_NextFilename(const char *name, Kerr_ErrorReport **err);
/* Low 32 bits of the size (0xFFFFFFFF on failure), or the whole size (-1). */
KRASTER_API uint32_t kfio_FileSizeGet(const char *path, Kerr_ErrorReport **err);
KRASTER_API int64_t kfio_FileSizeExtendedGet(const char *path, Kerr_ErrorReport **err);
/* Bytes, or blocks of blockSize bytes, available to the caller on the file
 * system holding path; -1 on failure. */
KRASTER_API int64_t kfio_BytesAvailable(const char *path, Kerr_ErrorReport **err);
KRASTER_API int64_t kfio_BlocksAvailable(const char *path, int64_t blockSize,
                                         Kerr_ErrorReport **err);
/* 1 when at least `bytes` are available, 0 (with a report) when not, -1 on
 * failure. */
KRASTER_API int kfio_CheckBytesAvailable(const char *path, int64_t bytes, Kerr_ErrorReport **err);
/* 1 when the first 4096 bytes are text (printable ASCII, tab, line feed,
 * carriage return, form feed), 0 when not, -1 on failure. */
KRASTER_API int kfio_IsFileAscii(const char *path, Kerr_ErrorReport **err);
/* 1 when the (expanded) path does not start with "/"; 0 otherwise, with a
 * report for a NULL path or a failed expansion. */
KRASTER_API int kfio_PathNameIsRelative(const char *path, Kerr_ErrorReport **err);
/* 1 when name is not empty and holds only letters, digits, ".", "-" and
 * "_"; 0 otherwise, with a report for a NULL name. */
KRASTER_API int kfio_FileNameIsPortable(const char *name, Kerr_ErrorReport **err);
/* Files here carry no version resources: NULL with a report. */
KRASTER_API char *kfio_GetFileVersionInfoField(const char *path, const char *field,
                                               Kerr_ErrorReport **err);
/* Fixed answers: every file system counts as local (1); 0 open files. */
KRASTER_API int kfio_FileSystemIsLocal(const char *path);
KRASTER_API int kfio_CountOpenFiles(void);

/* ---- Memory mapping (not provided) ------------------------------------- */
/* These do nothing and hand out no mapping, so callers fall back to reads. */

typedef struct Kfio_Mmap Kfio_Mmap;
KRASTER_API Kfio_Mmap *kfio_MmapCreate(Kfio_Fd *fd, int writable, Kerr_ErrorReport **err);
KRASTER_API void kfio_MmapDestroy(Kfio_Mmap *map);
KRASTER_API int kfio_MmapMap(Kfio_Mmap *map, Kerr_ErrorReport **err);
KRASTER_API int kfio_MmapUnmap(Kfio_Mmap *map, Kerr_ErrorReport **err);
KRASTER_API void *kfio_MmapMapExtent(Kfio_Mmap *map, int64_t offset, size_t size,
                                     Kerr_ErrorReport **err);
KRASTER_API int kfio_MmapUnmapExtent(Kfio_Mmap *map, void *address, size_t size,
                                     Kerr_ErrorReport **err);
KRASTER_API void *kfio_MmapAddressGet(Kfio_Mmap *map);
KRASTER_API void *kfio_Mmap(Kfio_Fd *fd, int64_t offset, size_t size, int writable,
                            Kerr_ErrorReport **err);
KRASTER_API int kfio_Munmap(void *address, size_t size);

/* ---- Deleting files ---------------------------------------------------- */

/* Asks the user a question; returns the button pressed. */
typedef int (*Kfio_QueryFunction)(const char *message, int buttons);
#define KFIO_QUERY_RETRY_CANCEL 37 /* button flags of the delete question */
#define KFIO_ANSWER_CANCEL 2       /* the answer without a query function */
#define KFIO_ANSWER_RETRY 4

/* Deletes a file; a missing file is not an error. When the OS refuses, the
 * query function is asked (retry or cancel) and the delete retried while it
 * answers KFIO_ANSWER_RETRY. 0 or -1. */
KRASTER_API int kfio_FileUnlink(const char *path, Kerr_ErrorReport **err);

/* ---- Stat cache -------------------------------------------------------- */

/* Facts about one file, each determined on first request. Options of
 * kfio_StatCacheGet/Set, each followed by the address of its value: */
#define KFIO_STAT_FILE_NAME 1        /* const char *: the name (owned by the cache) */
#define KFIO_STAT_READ_ACCESS 2      /* int32_t: caller may read */
#define KFIO_STAT_WRITE_ACCESS 3     /* int32_t: caller may write */
#define KFIO_STAT_EXECUTE_ACCESS 4   /* int32_t: caller may execute or search */
#define KFIO_STAT_IS_LOCAL 5         /* int32_t: not on a network file system */
#define KFIO_STAT_SIZE 6             /* int32_t: size, at most 2147483647 (warning) */
#define KFIO_STAT_SIZE64 7           /* int64_t: size */
#define KFIO_STAT_EXISTS 8           /* int32_t: the name exists */
#define KFIO_STAT_IS_DIRECTORY 9     /* int32_t */
#define KFIO_STAT_IS_REGULAR 10      /* int32_t: a plain file */
#define KFIO_STAT_IS_SYMLINK 11      /* int32_t: the name is a symbolic link */
#define KFIO_STAT_ACCESS_TIME 12     /* int64_t: seconds since 1970 */
#define KFIO_STAT_MODIFY_TIME 13     /* int64_t */
#define KFIO_STAT_CHANGE_TIME 14     /* int64_t: status change */
#define KFIO_STAT_PERMISSIONS 15     /* int32_t: permission bits (07777) */
#define KFIO_STAT_OWNER 16           /* int64_t: user id */
#define KFIO_STAT_GROUP 17           /* int64_t: group id */
#define KFIO_STAT_LINK_COUNT 18      /* int64_t */
#define KFIO_STAT_DEVICE 19          /* int64_t: device of the file system */
#define KFIO_STAT_INODE 20           /* int64_t */
#define KFIO_STAT_BLOCK_SIZE 21      /* int64_t: preferred transfer size */
#define KFIO_STAT_BLOCKS 22          /* int64_t: 512-byte blocks allocated */
#define KFIO_STAT_READ_ONLY 23       /* int32_t: no write permission bit set */
#define KFIO_STAT_BYTES_AVAILABLE 24 /* int64_t: free bytes for the caller on its file system */
#define KFIO_STAT_FS_TYPE 25         /* int64_t: file-system type number */
#define KFIO_STAT_IS_ASCII 26        /* int32_t: starts with text only */
#define KFIO_STAT_OPTION_COUNT 26

typedef struct Kfio_StatCache Kfio_StatCache;

/* Allocates *cache for fileName, or resets an existing one. 0 or -1. */
KRASTER_API int kfio_StatCacheCreate(const char *fileName, Kfio_StatCache **cache,
                                     Kerr_ErrorReport **err);
/* Pairs of option and value address, ended by option 0. An option outside
 * 1 to 26 stops the list. 0, or -1 with a report. */
KRASTER_API int kfio_StatCacheGet(Kfio_StatCache *cache, Kerr_ErrorReport **err, ...);
/* Pairs of option and address of the value to store, ended by option 0;
 * setting the file name forgets every other fact. 0 or -1. */
KRASTER_API int kfio_StatCacheSet(Kfio_StatCache *cache, Kerr_ErrorReport **err, ...);
KRASTER_API void kfio_StatCacheFree(Kfio_StatCache *cache);

/* ---- Callbacks --------------------------------------------------------- */

/* Both are installed inside the global critical section and return the
 * previous function; NULL restores the default (answer 2; no log). */
KRASTER_API Kfio_QueryFunction kfio_SetQueryFunction(Kfio_QueryFunction function);
/* Log callback: told about events worth a log line (a reopen after a network
 * failure). */
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
