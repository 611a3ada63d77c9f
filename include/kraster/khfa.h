/* HFA container files: one disk file holding a tree of named, typed entries
 * and the MIF dictionary that describes the types of their data.
 *
 * File layout. Every fixed record is a MIF object (little-endian, no
 * padding). A position is an unsigned 32-bit offset from the start of the
 * file; 0 means "none".
 *   - header tag (20 bytes) at 0: label "KHFA_HEADER_TAG" + NUL (16 bytes),
 *     headerPtr (u32), the position of the file header (64 in files made
 *     here; bytes 20 to 63 are never written);
 *   - file header (18 bytes) at headerPtr: version (i32), freeList (u32),
 *     rootEntryPtr (u32), entryHeaderLength (i16, 128), dictionaryPtr (u32);
 *   - entry records (Khfa_Entry, 128 bytes), entry data blocks, the
 *     dictionary text, and free blocks. Each free block starts with an 8-byte
 *     node {next free block (u32), size of this block (i32)}; the free blocks
 *     form a list in increasing order of position, never touch and are never
 *     smaller than 8 bytes.
 * A new file holds the tag at 0, the header at 64, the root entry ("root" of
 * type "root") at 82 and the dictionary at 210. No allocation lets the file
 * reach 2^31 bytes.
 *
 * Handles. One Khfa_File per open file name per process, shared by every
 * holder and reference-counted: each successful create or open of a name
 * must be matched by one khfa_FileClose. Opening a name held read-only with
 * a read-write mode reopens the file for writing, for all holders.
 *
 * Threads. The open-file list and every operation on a handle run inside the
 * process-wide thread-unsafe section (kthr_ThreadUnsafeCodeEnter(0)), so a
 * handle may be shared across threads; holders that share a handle share its
 * current entry and options too.
 *
 * Change protocol. Each handle has a change state: stale (-1, re-read
 * header, dictionary and entry cache from disk before the next operation),
 * idle (0), busy (1, an operation runs) or modified (2). When the outermost
 * operation on a handle ends in the modified state (the file grew, or a
 * writable file was flushed), the file-changed callback is called with the
 * handle, then the state returns to idle.
 *
 * Corrupt files. Positions read from a file are checked against the tracked
 * end of file and the free list against loops and overlaps; such faults end
 * in reports (or, while allocating, a warning and a shortened free list),
 * never in reads outside the file. */
#ifndef KRASTER_KHFA_H
#define KRASTER_KHFA_H

#include "kdefs.h"
#include "kerr.h"
#include "kfio.h"
#include "kint.h"
#include "kmet.h"
#include "kmif.h"
#include "kstr.h"

#include <stdio.h>

KRASTER_BEGIN_DECLS

/* An open HFA file (opaque). */
typedef struct Khfa_File Khfa_File;

/* An entry record in host form (design "Khfa_Entry"; 128 bytes in the
 * file). Positions are file offsets, 0 for none. */
typedef struct Khfa_Entry {
    uint32_t next;    /* next sibling; 0 = last child */
    uint32_t prev;    /* previous sibling; 0 = first child */
    uint32_t parent;  /* parent entry; 0 for the root */
    uint32_t child;   /* first child; 0 = no children */
    uint32_t data;    /* data block; 0 = no data */
    int32_t dataSize; /* size of the data block in bytes */
    char name[64];    /* NUL-terminated, at most 63 characters */
    char type[32];    /* name of the MIF design of the data, NUL-terminated */
    double modTime;   /* last modification, seconds since 1970-01-01 UTC */
} Khfa_Entry;

#define KHFA_HEADER_TAG "KHFA_HEADER_TAG"
#define KHFA_HEADER_TAG_SIZE 20  /* bytes of the header tag in the file */
#define KHFA_FILE_HEADER_SIZE 18 /* bytes of the file header in the file */
#define KHFA_ENTRY_SIZE 128      /* bytes of an entry record in the file */
#define KHFA_FREE_NODE_SIZE 8    /* bytes of a free-list node; the smallest block */
#define KHFA_HEADER_PTR 64       /* headerPtr of files created here */
#define KHFA_FILE_VERSION 1      /* version of files created here */
#define KHFA_MAX_END 0x7FFFFFFF  /* largest end position an allocation may reach */
#define KHFA_MIN_FILE_SIZE 38    /* header tag plus file header */
/* Position argument of the data reads and writes meaning "the current file
 * position" (sequential access). */
#define KHFA_SEQUENTIAL_POSITION 0xFFFFFFFFu

/* Change states (see above). */
#define KHFA_CHANGE_STALE (-1)
#define KHFA_CHANGE_IDLE 0
#define KHFA_CHANGE_BUSY 1
#define KHFA_CHANGE_MODIFIED 2

/* File options. An option list is an array of intptr_t words: a code, its
 * argument words, ..., ended by a 0 code. Each argument is one word of the
 * type given here. */
/* intptr_t on (1) or off (0), intptr_t extent: map the file into memory when
 * on and the file is read-only or on a local file system; otherwise unmap.
 * (The file layer provides no mapping here, so reads stay ordinary reads.) */
#define KHFA_FILE_OPTION_MMAP 1
/* intptr_t on (1) or off (0). Off: header rewrites are deferred and the free
 * list lives in memory (bulk writing); on: the cached free list and the
 * header are written out at once. Closing a file switches it back on. */
#define KHFA_FILE_OPTION_FLUSH_ON_WRITE 2
/* intptr_t on (1) or off (0). Off: batch mode (entry cache off); on: cached
 * mode. Batch mode appends entries without the path and entry tables: the
 * entry current when it starts is its start entry (not renamed while it
 * lasts); khfa_EntryWrite allows only KHFA_WRITE_FIRST_CHILD of an entry
 * without children, KHFA_WRITE_NEXT of an entry without a next sibling and
 * KHFA_WRITE_CURRENT; khfa_EntrySeek allows only KHFA_SEEK_PARENT (NULL at
 * the start entry); khfa_EntryDelete is refused. New records are written at
 * once, into entry space taken from the file in 64 KiB regions; the header
 * and the free list stay in memory (as with write-through off) until batch
 * mode ends, which returns the unused entry space, writes them out and
 * enters the current entry and its ancestors in the tables again. Closing a
 * file ends batch mode. */
#define KHFA_FILE_OPTION_CACHE 3
/* const char *newName: flushes and closes the file, renames it on disk and
 * reopens it under the new name with mode "r+"; the handle stays the same.
 * A NULL name is the warning "Destination file name not specified for file
 * rename". */
#define KHFA_FILE_OPTION_RENAME 4
/* Five words: two unused, intptr_t on (1) or off (0), intptr_t extent,
 * intptr_t mapping mode: as KHFA_FILE_OPTION_MMAP with a mapping mode. */
#define KHFA_FILE_OPTION_MMAP_EXTENT 5
/* intptr_t report (1 or 0); open only: with 0, opening a file that is not an
 * HFA file returns NULL without a report. */
#define KHFA_FILE_OPTION_REPORT_NOT_HFA 6
/* intptr_t value: non-zero restores saved entry positions by file position. */
#define KHFA_FILE_OPTION_SEEK_BY_POSITION 7

/* Called with the handle when an operation has modified the file. */
typedef void (*Khfa_FileChangedCallback)(Khfa_File *file);

/* ---- Package ----------------------------------------------------------- */

/* Creates the HFA package state (the empty open-file list) in the toolkit's
 * slot if it is not there yet. Returns 0, or -1 with a report. */
KRASTER_API int khfa_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
/* From now on every open or create that does not find its name in the
 * open-file list fails with "Khfa package is disabled". */
KRASTER_API void khfa_Disable(void);
/* Installs a process-wide callback (NULL removes it). With callInside 0 the
 * callback runs inside the thread-unsafe section, otherwise outside it. */
KRASTER_API void khfa_SetFileChangedCallback(Khfa_FileChangedCallback callback, int callInside);

/* ---- Opening and closing ----------------------------------------------- */
/* A NULL toolkit means kint_GetInit(). */

/* Creates (truncates) the file and returns its handle, or NULL with a report
 * (a failed create leaves no file behind). A name already open returns the
 * open handle with one more reference and does not touch the file. */
KRASTER_API Khfa_File *khfa_FileCreate(const char *name, Kint_InitToolkitData *toolkit,
                                       Kerr_ErrorReport **err);
KRASTER_API Khfa_File *khfa_FileCreateWithOptions(const char *name, Kint_InitToolkitData *toolkit,
                                                  Kerr_ErrorReport **err, const intptr_t *options);
/* Opens an HFA file with a file-layer mode ("r" or "rb" read-only; anything
 * else, such as "r+", read-write). A name already open returns the open
 * handle with one more reference. A file that is not an HFA file fails with
 * "File %s is not an KHFA file" (or returns NULL silently with
 * KHFA_FILE_OPTION_REPORT_NOT_HFA 0). errno is that of a failed open of the
 * file, else 0. Options: unknown codes are warned about and end the list;
 * failures to apply them are warnings and the open succeeds. */
KRASTER_API Khfa_File *khfa_FileOpen(const char *name, const char *mode,
                                     Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
KRASTER_API Khfa_File *khfa_FileOpenWithOptions(const char *name, const char *mode,
                                                Kint_InitToolkitData *toolkit,
                                                Kerr_ErrorReport **err, const intptr_t *options);
/* kfio_Which(searchList, name), then khfa_FileOpen of the name found. */
KRASTER_API Khfa_File *khfa_SearchListFileOpen(const char *name, const Kfio_SearchList *searchList,
                                               const char *mode, Kint_InitToolkitData *toolkit,
                                               Kerr_ErrorReport **err);
/* Drops one reference; the last one flushes (a failure is printed), switches
 * write-through back on, closes the file and frees the handle. NULL is
 * accepted. Returns 0, or -1 with a report. */
KRASTER_API int khfa_FileClose(Khfa_File *file, Kerr_ErrorReport **err);
/* 1 if a handle of this name is open, 0 if not, -1 with a report. */
KRASTER_API int khfa_FileIsOpen(const char *name, Kint_InitToolkitData *toolkit,
                                Kerr_ErrorReport **err);
/* The file's version when it is an HFA file with a dictionary (1 for an open
 * name), else 0; failures are printed and give 0. */
KRASTER_API int32_t khfa_IsHFAFile(const char *name, Kerr_ErrorReport **err);
/* Marks the open handle of this name stale: its next operation re-reads the
 * header, dictionary and entry cache from disk. Returns 0 (also when the
 * name is not open), or -1 with a report. */
KRASTER_API int khfa_FileReinitialize(const char *name, Kerr_ErrorReport **err);

/* ---- Handle operations ------------------------------------------------- */

/* Applies an option list (KHFA_FILE_OPTION_*; code 6 is ignored). Returns 0,
 * or -1 with a report (options before the failing one stay applied; an
 * unknown code fails with "Illegal option %ld"). */
KRASTER_API int khfa_FileChange(Khfa_File *file, const intptr_t *options, Kerr_ErrorReport **err);
/* 1 while write-through is off, else 0 (0 for NULL). */
KRASTER_API int khfa_FileIsNotFlushedOnWrite(const Khfa_File *file);
/* Writes a modified dictionary (where it fits, else in new space, freeing the
 * old) and the header, and flushes the OS buffers. While write-through is off
 * only the OS buffers are flushed. Returns 0, or -1 with a report. */
KRASTER_API int khfa_FileFlush(Khfa_File *file, Kerr_ErrorReport **err);
/* The tracked end of file in bytes (-1 for NULL). */
KRASTER_API int64_t khfa_FileSize(const Khfa_File *file);
/* The file's name (owned by the handle; valid until the file is renamed or
 * closed), or NULL. */
KRASTER_API const char *khfa_FileName(const Khfa_File *file);
/* The file's dictionary (owned by the handle; designs added to it are
 * written by the next flush), or NULL. */
KRASTER_API Kmif_Dictionary *khfa_FileDictionary(const Khfa_File *file);
/* 1 when the file is open read-only, 0 when writable, -1 for NULL. */
KRASTER_API int khfa_FileIsReadOnly(const Khfa_File *file);
/* Number of holders of the handle (0 for NULL). */
KRASTER_API int32_t khfa_FileReferenceCount(const Khfa_File *file);
/* The change state (KHFA_CHANGE_*; KHFA_CHANGE_IDLE for NULL). */
KRASTER_API int khfa_FileChangeState(const Khfa_File *file);

/* ---- Space ------------------------------------------------------------- */

/* Allocates size bytes (at least 8), first fit with splitting, else at the
 * end of the file. Returns the position, or 0 with a report. */
KRASTER_API uint32_t khfa_NextFreePos(Khfa_File *file, int32_t size, Kerr_ErrorReport **err);
/* Returns a block to the free list, merging it with free blocks it touches.
 * Blocks smaller than 8 bytes are not tracked (nothing happens). A block
 * outside the file or overlapping free space is refused. Returns 0, or -1
 * with a report. */
KRASTER_API int khfa_FreeSpace(Khfa_File *file, uint32_t position, int32_t size,
                               Kerr_ErrorReport **err);
/* Sum of the sizes of the free blocks. A corrupt list ends the walk with
 * "Corrupt free list" and the sum so far is returned; -1 for an invalid
 * handle. */
KRASTER_API int64_t khfa_FileFreeSpaceSize(Khfa_File *file, Kerr_ErrorReport **err);
/* Prints each free block to the standard error stream as
 * "Pointer %ld is %ld bytes...next @%ld\n"; a corrupt link prints
 * "Corrupt file!\n" and stops. Returns 0, or -1 with a report. */
KRASTER_API int khfa_ShowFreeSpace(Khfa_File *file, Kerr_ErrorReport **err);

/* ---- Data at positions ------------------------------------------------- */
/* position KHFA_SEQUENTIAL_POSITION means the current file position. Reads
 * and writes must lie inside the tracked end of file. A read with a NULL
 * destination only moves the file position to position. Return the bytes
 * moved, or -1 with a report. */

/* Reads size bytes and decodes them into *hostObject (see kmif_ConvertToHost;
 * a NULL *hostObject is allocated). */
KRASTER_API int32_t khfa_FileHostDataRead(Khfa_File *file, uint32_t position,
                                          const Kmif_Design *design, int32_t size,
                                          void **hostObject, Kerr_ErrorReport **err);
/* Encodes the host object (its encoding must not exceed size bytes) and
 * writes it. */
KRASTER_API int32_t khfa_FileHostDataWrite(Khfa_File *file, uint32_t position,
                                           const Kmif_Design *design, int32_t size,
                                           const void *hostObject, Kerr_ErrorReport **err);
/* Raw bytes. */
KRASTER_API int32_t khfa_FileMIFDataRead(Khfa_File *file, uint32_t position, int32_t size,
                                         void *buffer, Kerr_ErrorReport **err);
KRASTER_API int32_t khfa_FileMIFDataWrite(Khfa_File *file, uint32_t position, int32_t size,
                                          const void *buffer, Kerr_ErrorReport **err);

/* ---- Dictionary in the file -------------------------------------------- */

/* Decodes the dictionary text at position (at most length bytes; length 0:
 * up to the end of the file) into *dictionary (a new one when NULL). Returns
 * the length of the text read, or -1 with a report. */
KRASTER_API int32_t khfa_DictionaryRead(Khfa_File *file, Kmif_Dictionary **dictionary,
                                        uint32_t position, int32_t length, Kerr_ErrorReport **err);
/* Writes the dictionary text: in place at *position when it is as long as
 * *length or at least 8 bytes shorter (the freed tail goes back to the free
 * list), else in newly allocated space (the old space is left to the caller,
 * see khfa_DictionaryDelete). Updates *position and *length. flags is
 * reserved (0). Returns 0, or -1 with a report. */
KRASTER_API int khfa_DictionaryWrite(Khfa_File *file, const Kmif_Dictionary *dictionary,
                                     uint32_t *position, int32_t *length, int flags,
                                     Kerr_ErrorReport **err);
/* Returns a dictionary's old space to the free list. Returns 0, or -1 with a
 * report. */
KRASTER_API int khfa_DictionaryDelete(Khfa_File *file, uint32_t position, int32_t length,
                                      Kerr_ErrorReport **err);
/* Writes the header from the handle at headerPtr (nothing while
 * write-through is off). Returns 0, or -1 with a report. */
KRASTER_API int khfa_HeaderReWrite(Khfa_File *file, Kerr_ErrorReport **err);

/* ---- Entry tree -----------------------------------------------------------
 * Each handle has one current entry (the root after opening), named by its
 * path: ":" for the root, ":a:b" for the entry b below the child a of the
 * root. A path starting with ":" is absolute; any other path is resolved from
 * the current entry's parent (its first name names a sibling of the current
 * entry or the entry itself; at the root, a child of the root). Names are at
 * most 63 characters, types at most 31, compared case-sensitively. */

/* Seek methods of khfa_EntrySeek. */
#define KHFA_SEEK_ROOT 0
#define KHFA_SEEK_NEXT 1
#define KHFA_SEEK_PREV 2
#define KHFA_SEEK_FIRST_SIBLING 3
#define KHFA_SEEK_LAST_SIBLING 4
#define KHFA_SEEK_CHILD 5
#define KHFA_SEEK_PARENT 6
#define KHFA_SEEK_SIBLING_BY_NAME 7    /* from the current entry forward */
#define KHFA_SEEK_PATH 8               /* absolute or relative path */
#define KHFA_SEEK_NEXT_IN_TREE 9       /* depth-first pre-order */
#define KHFA_SEEK_NEXT_TYPE_IN_TREE 10 /* 9 until the type matches */
#define KHFA_SEEK_NEXT_NAME_IN_TREE 11 /* 9 until the name matches */
#define KHFA_SEEK_CHILD_BY_NAME 12     /* first child, then 13 */
#define KHFA_SEEK_SIBLING_NAME_HASHED 13
#define KHFA_SEEK_CHILD_BY_TYPE 14 /* first child, then 16 */
#define KHFA_SEEK_FIRST_SIBLING_BY_TYPE 15
#define KHFA_SEEK_SIBLING_BY_TYPE 16  /* as 7, comparing the type */
#define KHFA_SEEK_POSITION_BY_PATH 17 /* a path text known to the path table */
#define KHFA_SEEK_SEQUENTIAL 18       /* the record at the current file position */

/* Write modes of khfa_EntryWrite. At the root every mode but
 * KHFA_WRITE_FIRST_CHILD is taken as KHFA_WRITE_LAST_CHILD. */
#define KHFA_WRITE_CURRENT 0 /* rename / retype the current entry */
#define KHFA_WRITE_NEXT 1
#define KHFA_WRITE_PREV 2
#define KHFA_WRITE_FIRST_CHILD 3
#define KHFA_WRITE_LAST_CHILD 4

#define KHFA_MAX_NAME_LENGTH 63
#define KHFA_MAX_TYPE_LENGTH 31

/* A saved current entry: its path text (with the trailing ":") and position. */
typedef struct Khfa_EntryPosition {
    char *path;
    uint32_t position;
} Khfa_EntryPosition;

/* Moves the current entry. Returns the current entry record (owned by the
 * handle, valid until the next operation) or NULL: without a report when
 * the target does not exist (the current entry is then the last one the
 * seek reached), with one on a fault. */
KRASTER_API Khfa_Entry *khfa_EntrySeek(Khfa_File *file, int method, const char *name,
                                       Kerr_ErrorReport **err);
/* Creates (modes 1-4) or changes (mode 0) an entry; it is current afterwards.
 * NULL name or type: unchanged (mode 0) or empty (a new entry needs a name).
 * Returns the current entry record or NULL with a report. */
KRASTER_API Khfa_Entry *khfa_EntryWrite(Khfa_File *file, int mode, const char *name,
                                        const char *type, Kerr_ErrorReport **err);
/* Deletes the current entry with its subtree, freeing the entry records and
 * data blocks; the previous sibling (else the parent) is current afterwards.
 * At the root only the children are deleted. Returns 0, or -1 with a report. */
KRASTER_API int khfa_EntryDelete(Khfa_File *file, Kerr_ErrorReport **err);
/* Moves the entry at fromPath with its subtree to toPath (the last child of
 * toPath's parent, named by toPath's last name). Relative paths are taken
 * below the current entry. Refused when toPath exists, a parent is missing,
 * or toPath lies inside the moved subtree. Returns 0, or -1 with a report. */
KRASTER_API int khfa_EntryMove(Khfa_File *file, const char *fromPath, const char *toPath,
                               Kerr_ErrorReport **err);
/* The current path without its trailing ":" (":" for the root), a heap string. */
KRASTER_API char *khfa_CurrentEntryPath(Khfa_File *file, Kerr_ErrorReport **err);

/* Saved positions: get allocates, set makes the saved entry current again
 * (by path, or by position through the path table with
 * KHFA_FILE_OPTION_SEEK_BY_POSITION), free releases and nulls *position. */
KRASTER_API Khfa_EntryPosition *khfa_EntryPositionGet(Khfa_File *file, Kerr_ErrorReport **err);
KRASTER_API Khfa_EntryPosition *khfa_EntryGetCurrentPosition(Khfa_File *file,
                                                             Kerr_ErrorReport **err);
KRASTER_API int khfa_EntryPositionSet(Khfa_File *file, const Khfa_EntryPosition *position,
                                      Kerr_ErrorReport **err);
KRASTER_API int khfa_EntrySetCurrentPosition(Khfa_File *file, const Khfa_EntryPosition *position,
                                             Kerr_ErrorReport **err);
KRASTER_API void khfa_EntryPositionFree(Khfa_EntryPosition **position, Kerr_ErrorReport **err);

/* 1 when the current entry's next, prev or child is set, 0 if not, -1 with a
 * report. */
KRASTER_API int khfa_EntryCurrentHasNext(Khfa_File *file, Kerr_ErrorReport **err);
KRASTER_API int khfa_EntryCurrentHasPrev(Khfa_File *file, Kerr_ErrorReport **err);
KRASTER_API int khfa_EntryCurrentHasChild(Khfa_File *file, Kerr_ErrorReport **err);
/* Seeks without moving the current entry: returns a copy of the record found
 * in one process-wide record (overwritten by the next peek), or NULL. */
KRASTER_API Khfa_Entry *khfa_EntryPeek(Khfa_File *file, int method, const char *name,
                                       Kerr_ErrorReport **err);

/* ---- Objects stored in entries -------------------------------------------
 * nodePath (may be NULL) is sought with KHFA_SEEK_PATH first; then the entry
 * is written with mode/name/type, or sought with method/name. */

/* Stores the host object (converted with design) as the data of the entry.
 * Mode 0 reuses the old data block when the object fits in it. Returns 0, or
 * -1 with a report. */
KRASTER_API int khfa_ObjectWrite(Khfa_File *file, const char *nodePath, const char *name,
                                 const char *type, int mode, const void *object,
                                 const Kmif_Design *design, Kerr_ErrorReport **err);
/* The same with size bytes already in file form. */
KRASTER_API int khfa_ObjectDataWrite(Khfa_File *file, const char *nodePath, const char *name,
                                     const char *type, int mode, const void *data, int32_t size,
                                     Kerr_ErrorReport **err);
/* Reads the entry's data into *object (allocated when NULL; see
 * kmif_ConvertToHost). A NULL object or an entry without data reads nothing.
 * A missing entry is the error "Object read failure!". Returns 0 or -1. */
KRASTER_API int khfa_ObjectRead(Khfa_File *file, const char *nodePath, const char *name, int method,
                                void **object, const Kmif_Design *design, Kerr_ErrorReport **err);
/* As khfa_ObjectRead, but a missing entry returns 0 without a report; 1 when
 * read, -1 with a report. */
KRASTER_API int khfa_ObjectReadIfPresent(Khfa_File *file, const char *nodePath, const char *name,
                                         int method, void **object, const Kmif_Design *design,
                                         Kerr_ErrorReport **err);
/* The entry's data in file form in a new heap buffer (*data, *size; NULL and
 * 0 when it has none). 1 when found, 0 when missing, -1 with a report. */
KRASTER_API int khfa_ObjectDataReadIfPresent(Khfa_File *file, const char *nodePath,
                                             const char *name, int method, void **data,
                                             int32_t *size, Kerr_ErrorReport **err);
/* Deletes the entry found (with its subtree). Returns 0, or -1 with a report. */
KRASTER_API int khfa_ObjectDelete(Khfa_File *file, const char *nodePath, const char *name,
                                  int method, Kerr_ErrorReport **err);
/* Copies the object of the entry srcNodePath (found with KHFA_SEEK_PATH)
 * into a new entry dstName written with mode below dstNodePath of
 * destination, with the same type; the design is taken from the source's
 * dictionary by the type name and added to the destination's dictionary
 * when missing. options must be NULL (or start with 0). Returns 0 or -1. */
KRASTER_API int khfa_ObjectCopy(Khfa_File *source, const char *srcNodePath, Khfa_File *destination,
                                const char *dstNodePath, const char *dstName, int mode,
                                const intptr_t *options, Kerr_ErrorReport **err);
/* The paths of every entry below startPath (or the current entry) in
 * depth-first pre-order whose name and type match (NULL matches all). */
KRASTER_API Kstr_StringList *khfa_ObjectList(Khfa_File *file, const char *startPath,
                                             const char *name, const char *type,
                                             Kerr_ErrorReport **err);

/* Prints the entry tree below startPath (NULL: the whole file) to stream
 * (NULL: standard output): each entry with its type, modification time and
 * the values of its object. Returns 0, or -1 with a report. */
KRASTER_API int khfa_ListFile(Khfa_File *file, const char *startPath, FILE *stream,
                              Kerr_ErrorReport **err);

/* ---- Block streams ----------------------------------------------------------
 * A growable byte stream stored in an HFA file as blocks of blocksize bytes
 * taken from the file's space. Its node entry (type "Khfa_CacheNode") holds
 * {blocksize, blockcount, bytecount, rootptr} (four l items). The root index
 * block at rootptr holds blocksize / 4 block positions (u32, design
 * "Khfa_CacheIndex"); when the stream has more blocks than that, the index
 * is itself a block stream of the same block size whose blocks hold the
 * positions in block order, with as many levels as needed, and the root
 * index block holds the top level. A stream object keeps a few block
 * buffers (slots, replaced round-robin, dirty ones written back first).
 * bytecount runs one above the highest position written. The node records
 * the counts when the stream is closed. A stream is not shared between
 * threads. */

/* An open block stream (opaque). */
typedef struct Khfa_Cache Khfa_Cache;

/* The node object of a stream (design "Khfa_CacheNode"). */
typedef struct Khfa_CacheNode {
    int32_t blocksize;  /* bytes per block */
    int32_t blockcount; /* data blocks */
    int32_t bytecount;  /* logical length */
    int32_t rootptr;    /* position of the root index block */
} Khfa_CacheNode;

/* Block I/O of a stream; a NULL member takes the default. design is NULL for
 * data blocks (raw bytes) and the index design for index blocks (host form:
 * blocksize / 4 uint32_t). Defaults: allocate = khfa_NextFreePos (the blocks
 * of one stream are taken from the file in runs of 4 growing to 64 blocks,
 * at most 1 MiB, and the unused rest is returned by close and free),
 * release = khfa_FreeSpace, read and write move size bytes at position
 * (converted with design when it is given; data blocks written back next
 * to each other are written together). release, read and write return 0,
 * or -1 with a report; allocate a position, or 0. */
typedef struct Khfa_CacheIO {
    uint32_t (*allocate)(Khfa_File *file, int32_t size, Kerr_ErrorReport **err);
    int (*release)(Khfa_File *file, uint32_t position, int32_t size, Kerr_ErrorReport **err);
    int (*read)(Khfa_File *file, uint32_t position, int32_t size, void *buffer,
                const Kmif_Design *design, Kerr_ErrorReport **err);
    int (*write)(Khfa_File *file, uint32_t position, int32_t size, const void *buffer,
                 const Kmif_Design *design, Kerr_ErrorReport **err);
} Khfa_CacheIO;

#define KHFA_CACHE_BLOCK_SIZE 1024 /* block size of streams made by khfa_CacheCreate */
#define KHFA_CACHE_SLOTS 2         /* buffer slots of streams made by khfa_CacheCreate */
#define KHFA_CACHE_MAX_BLOCK_SIZE (1 << 20)
#define KHFA_CACHE_MAX_SLOTS 1024

/* The shared "Khfa_CacheNode" design (owned by the library), or NULL. */
KRASTER_API const Kmif_Design *khfa_CacheInit(Kerr_ErrorReport **err);
/* Opens the HFA file read-write, creating it when it does not exist. */
KRASTER_API Khfa_File *khfa_CacheFileOpen(const char *name, Kint_InitToolkitData *toolkit,
                                          Kerr_ErrorReport **err);
/* Closes a file opened with khfa_CacheFileOpen. 0, or -1 with a report. */
KRASTER_API int khfa_CacheFileClose(Khfa_File *file, Kerr_ErrorReport **err);
/* Creates an empty stream (block size 1024, 2 slots) whose node is written
 * as the last child of the parent of the node path in name ("file(:a:b)"
 * makes b below :a; the parent must exist, the node must not). With a NULL
 * file the file of name is opened or created, and closed with the stream.
 * Returns the stream, or NULL with a report. */
KRASTER_API Khfa_Cache *khfa_CacheCreate(Khfa_File *file, const char *name,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
/* Opens the stream whose node is named by name (as khfa_CacheCreate). The
 * current position is 0. */
KRASTER_API Khfa_Cache *khfa_CacheOpen(Khfa_File *file, const char *name,
                                       Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
/* Builds a stream object over blocks of file: rootptr 0 allocates a new
 * root index block, otherwise blockcount blocks are reached from it. io may
 * be NULL (defaults). blocksize: a multiple of 4 from 8 to
 * KHFA_CACHE_MAX_BLOCK_SIZE; slots: 1 to KHFA_CACHE_MAX_SLOTS. */
KRASTER_API Khfa_Cache *khfa_CacheNew(Khfa_File *file, const Khfa_CacheIO *io, int32_t blocksize,
                                      int32_t slots, int32_t blockcount, uint32_t rootptr,
                                      Kerr_ErrorReport **err);
/* Moves the position (whence 0 from the start, 1 from the current
 * position, 2 from the end: bytecount - 1 + offset), adding blocks until the
 * target block exists; returns that block's buffer, or NULL with a report. */
KRASTER_API void *khfa_CacheSeek(Khfa_Cache *stream, int64_t offset, int whence,
                                 Kerr_ErrorReport **err);
/* Move up to count bytes at the current position and advance it. A read
 * stops at bytecount; a write sets bytecount to position + 1 when the new
 * position is not below it (also for count 0). Return the bytes moved, or
 * -1 with a report. */
KRASTER_API int32_t khfa_CacheRead(Khfa_Cache *stream, void *buffer, int32_t count,
                                   Kerr_ErrorReport **err);
KRASTER_API int32_t khfa_CacheWrite(Khfa_Cache *stream, const void *buffer, int32_t count,
                                    Kerr_ErrorReport **err);
/* The current byte position, or -1 with a report. */
KRASTER_API int64_t khfa_CacheGetCurrPos(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* The logical length (bytecount) and number of blocks, or -1 with a report. */
KRASTER_API int64_t khfa_CacheByteCount(Khfa_Cache *stream, Kerr_ErrorReport **err);
KRASTER_API int32_t khfa_CacheBlockCount(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* The buffer holding a block (0 to blockcount - 1), fetched into a slot;
 * forWrite marks it dirty. Valid until the next call on the stream. */
KRASTER_API void *khfa_CacheGetBlock(Khfa_Cache *stream, int32_t block, int forWrite,
                                     Kerr_ErrorReport **err);
/* The index element holding a block's position (block may equal blockcount
 * when the index has room for it). Valid until the next call. */
KRASTER_API uint32_t *khfa_CacheGetBlockPtrAddr(Khfa_Cache *stream, int32_t block, int forWrite,
                                                Kerr_ErrorReport **err);
/* Adds one block at the end. 0, or -1 with a report. */
KRASTER_API int khfa_CacheExtend(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* Does nothing (streams do not shrink); returns 0. */
KRASTER_API int khfa_CacheReduce(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* Writes every dirty slot and index block. 0, or -1 with a report. */
KRASTER_API int khfa_CacheFlush(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* The position of the root index block, or 0 with a report. */
KRASTER_API uint32_t khfa_CacheRootPtr(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* Flushes, rewrites the node with the current counts and root, and frees
 * the stream (also on failure). 0, or -1 with a report. */
KRASTER_API int khfa_CacheClose(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* Frees the stream without writing its blocks or node (NULL is accepted). */
KRASTER_API int khfa_CacheFree(Khfa_Cache *stream, Kerr_ErrorReport **err);
/* Returns every block of the named stream to the free list and deletes its
 * node entry. 0, or -1 with a report. */
KRASTER_API int khfa_CacheDelete(Khfa_File *file, const char *name, Kint_InitToolkitData *toolkit,
                                 Kerr_ErrorReport **err);

/* ---- Record tables -----------------------------------------------------------
 * A record table is a named set of fixed-length text records kept in a block
 * stream of an HFA file: record i lies at byte i x record length of the
 * stream "file(:table)". A record is its fields' texts one after another,
 * each padded to its width and followed by the separator '|' (none after
 * the last), so its length is the sum of the widths plus the number of
 * fields minus 1. Fields are printed left-justified: char "%-Ws", float
 * "%-W.Plg" (P = W - 6), int "%-Wld", bool "%-Wd", datetime "%-Ws". The file
 * also holds the master table "file(:master)", one record per table:
 * Name (char 26), Type (int 8), Indexed (int 8), Reclen (int 8) and Format
 * (char 194, the name "<table>_design" of its record design): 248 bytes.
 * The designs' fields are records of the table "file(:field)": Design (char
 * 26), Name (char 26), Type (int 8), Width (int 8). Field and table names
 * are at most 26 characters. */

#define KHFA_FIELD_CHAR 0     /* width from the design */
#define KHFA_FIELD_FLOAT 1    /* width 16 */
#define KHFA_FIELD_INT 2      /* width 8 */
#define KHFA_FIELD_BOOL 3     /* width 2 */
#define KHFA_FIELD_DATETIME 4 /* width 15 */
#define KHFA_TABLE_NAME_MAX 26

typedef struct Khfa_TableField {
    char name[KHFA_TABLE_NAME_MAX + 1];
    int32_t type;  /* KHFA_FIELD_* */
    int32_t width; /* characters */
} Khfa_TableField;

/* A record design: its fields and the record length. */
typedef struct Khfa_TableDesign {
    int32_t fieldCount;
    Khfa_TableField *fields;
    int32_t recordLength;
} Khfa_TableDesign;

/* One record in memory: its design (borrowed) and its text (recordLength
 * characters and a terminating 0). */
typedef struct Khfa_TableRecord {
    const Khfa_TableDesign *design;
    char *text;
} Khfa_TableRecord;

/* An open table (opaque). */
typedef struct Khfa_Table Khfa_Table;

/* A design of fieldCount fields: names (1 to 26 characters, distinct),
 * types (KHFA_FIELD_*), and widths (used for char fields only, 1 to 4096).
 * Free it with khfa_TableDesignFree. */
KRASTER_API Khfa_TableDesign *khfa_TableDesignCreate(int32_t fieldCount, const char *const *names,
                                                     const int32_t *types, const int32_t *widths,
                                                     Kerr_ErrorReport **err);
/* The design of a table from a text file: the first line (at most 80
 * characters) containing the table's name gives "name count"; each of the
 * next count lines gives "field type width" (type words char, float, int,
 * bool, datetime in any case; the width counts for char only). */
KRASTER_API Khfa_TableDesign *khfa_TableDesignCreateFromFile(const char *fileName,
                                                             const char *tableName,
                                                             Kerr_ErrorReport **err);
KRASTER_API void khfa_TableDesignFree(Khfa_TableDesign *design);

/* A record of a design, every field blank. */
KRASTER_API Khfa_TableRecord *khfa_TableRecordStructureCreate(const Khfa_TableDesign *design,
                                                              Kerr_ErrorReport **err);
KRASTER_API void khfa_TableRecordStructureFree(Khfa_TableRecord *record);
/* Re-lays a record for another design: fields of the same name keep their
 * text (cut to the new width), the others are blank. 0 or -1. */
KRASTER_API int khfa_TableRecordStructureChange(Khfa_TableRecord *record,
                                                const Khfa_TableDesign *design,
                                                Kerr_ErrorReport **err);
/* A field's text without its trailing blanks, copied into value (size bytes
 * with the terminating 0; a longer text is refused). 0 or -1. */
KRASTER_API int khfa_GetRecordFieldByName(const Khfa_TableRecord *record, const char *name,
                                          char *value, int32_t size, Kerr_ErrorReport **err);
KRASTER_API int khfa_GetRecordFieldByIndex(const Khfa_TableRecord *record, int32_t index,
                                           char *value, int32_t size, Kerr_ErrorReport **err);
/* Sets a field from text, printed with its type's format: float, int and
 * bool fields take a number (bool 0 or 1); a value that is not of the type
 * or does not fit the width is refused ("Error modifying record") and the
 * field is left as it was. 0 or -1. */
KRASTER_API int khfa_ModifyRecordFieldByName(Khfa_TableRecord *record, const char *name,
                                             const char *value, Kerr_ErrorReport **err);
KRASTER_API int khfa_ModifyRecordFieldByIndex(Khfa_TableRecord *record, int32_t index,
                                              const char *value, Kerr_ErrorReport **err);

/* Creates an empty table of the design in an HFA file open for writing:
 * the master and field tables are made when missing; the name must be new.
 * Returns the open table, or NULL with a report (what was made of it is
 * removed again). */
KRASTER_API Khfa_Table *khfa_TableCreate(Khfa_File *file, const char *tableName,
                                         const Khfa_TableDesign *design,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
/* Opens a table of the file by its master record and field records. */
KRASTER_API Khfa_Table *khfa_TableOpen(Khfa_File *file, const char *tableName,
                                       Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);
/* A table object over an open stream and a design (both borrowed): what
 * khfa_TableCreate and khfa_TableOpen build. */
KRASTER_API Khfa_Table *khfa_TableNew(Khfa_Cache *stream, const Khfa_TableDesign *design,
                                      Kerr_ErrorReport **err);
/* Closes the table's stream (writing it) and frees the table. 0 or -1. */
KRASTER_API int khfa_TableClose(Khfa_Table *table, Kerr_ErrorReport **err);
/* Frees the table object (and, for tables made by khfa_TableCreate and
 * khfa_TableOpen, their stream and design) without writing. */
KRASTER_API void khfa_TableFree(Khfa_Table *table);
/* The table's design and its current record (owned by the table). */
KRASTER_API const Khfa_TableDesign *khfa_TableDesignGet(const Khfa_Table *table);
KRASTER_API Khfa_TableRecord *khfa_TableCurrentRecord(Khfa_Table *table);
/* Number of records stored. */
KRASTER_API int32_t khfa_TableRecordCount(Khfa_Table *table, Kerr_ErrorReport **err);
/* Seeks the table's stream to index x recordLength. 0 or -1. */
KRASTER_API int khfa_TableRecordSeek(Khfa_Table *table, int32_t index, int32_t recordLength,
                                     Kerr_ErrorReport **err);
/* Reads record index (below the record count) into the current record and
 * returns it; khfa_TableRecordNext reads the one after the last read. */
KRASTER_API Khfa_TableRecord *khfa_TableRecordRead(Khfa_Table *table, int32_t index,
                                                   Kerr_ErrorReport **err);
KRASTER_API Khfa_TableRecord *khfa_TableRecordNext(Khfa_Table *table, Kerr_ErrorReport **err);
/* Copies a record of the table's design into the current record. 0 or -1. */
KRASTER_API int khfa_TableRecordLoad(Khfa_Table *table, const Khfa_TableRecord *record,
                                     Kerr_ErrorReport **err);
/* Writes the current record as record index (at most the record count:
 * writing at the count appends). 0 or -1. */
KRASTER_API int khfa_TableRecordWrite(Khfa_Table *table, int32_t index, Kerr_ErrorReport **err);

/* ---- File copy --------------------------------------------------------------
 * A whole HFA file is copied entry by entry into a new file built under a
 * temporary name in the destination's directory, which takes the
 * destination's name only when the copy is complete; the copy holds no free
 * space. The tree is copied depth first with names, types, data and
 * modification times; the source's whole dictionary is carried over.
 * Entries of type "Khfa_Data" and "Khfa_FreeListNode" (and every entry of
 * type "root") must have no data ("Cannot copy data for node of type %s").
 * Data whose type has a design is read and written through the design;
 * data of a type without a design is copied as bytes (with a warning); the
 * blocks of a block stream (type "Khfa_CacheNode") are copied with it. The
 * new file gets the source file's modification time and permissions. The
 * source's current entry is kept. */

/* Copy options: codes 1 to 4 are accepted and have no effect here; other
 * codes are warned about ("Unrecognized copy option %d - ignored."). */
#define KHFA_COPY_OPTION_FIRST 1
#define KHFA_COPY_OPTION_LAST 4

/* Copies the file source to destination (which must not be open here).
 * The options after err are int codes ended by 0. 0, or -1 with a report
 * (nothing is left under the temporary name, and the destination is
 * untouched unless the final rename itself failed). */
KRASTER_API int khfa_FileCopy(const char *source, const char *destination,
                              Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...);
/* The same with the options as an array of intptr_t codes ended by 0 (or
 * NULL). */
KRASTER_API int khfa_FileCopyWithOptions(const char *source, const char *destination,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         const intptr_t *options);
/* Writes the source's current entry into destination with the same name and
 * type, with mode relative to destination's current entry (the new entry is
 * current afterwards). The source root (and any entry of type "root") is
 * not written: the destination's current entry stands for it. Returns 1
 * when an entry was written, 0 when it was not, -1 with a report. */
KRASTER_API int khfa_CopyGenericEntry(Khfa_File *source, Khfa_File *destination, int mode,
                                      Kerr_ErrorReport **err);
/* Copies the data of the source's current entry into the destination's
 * current entry (by the rules above). 0, or -1 with a report. */
KRASTER_API int khfa_CopyGenericData(Khfa_File *source, Khfa_File *destination,
                                     Kerr_ErrorReport **err);

/* Progress of the copies made by this thread. */
#define KHFA_COPY_PROGRESS_START 0   /* value: bytes in all; shows "Initializing..." */
#define KHFA_COPY_PROGRESS_ADVANCE 1 /* value: bytes just copied */
/* Sets the meter that shows the copies of this thread (NULL: none); the
 * caller keeps it. */
KRASTER_API void khfa_FileCopySetMeter(Kmet_MeterInfo *meter);
/* Starts or advances the meter. Returns 1 when a cancel was asked for, 0
 * otherwise, -1 with a report ("Bad UpdateType"). */
KRASTER_API int khfa_FileCopyProgressUpdate(int updateType, int64_t value, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
