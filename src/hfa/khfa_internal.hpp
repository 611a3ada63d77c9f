// The HFA file handle and the internal services shared by the files of the
// HFA module (open-file list, change protocol, fixed records, free list,
// raw I/O at positions).
#pragma once

#include <kraster/khfa.h>
#include <kraster/kthr.h>

#include <cstdint>

#include "hfa/khfa_package.hpp"

// The file header in host form (design "Khfa_File"): 18 bytes in the file.
struct Khfa_FileHeader {
    int32_t version;
    uint32_t freeList;
    uint32_t rootEntryPtr;
    int16_t entryHeaderLength;
    uint32_t dictionaryPtr;
};

// One block of the in-memory free list used while write-through is off:
// {position, next, size} in increasing order of position.
struct Khfa_FreeCacheNode {
    uint32_t position;
    uint32_t next;  // as stored in the block's node: position of the next free block
    int32_t size;
    Khfa_FreeCacheNode *link;
};

// Tables of the entry tree (path text -> position, position -> record copy);
// owned by the entry-tree code, freed through kr::hfa::entryCacheFree.
struct Khfa_PathTable;
struct Khfa_EntryTable;

// Space taken from a file in one run and handed out piece by piece, so that
// appending many small pieces neither grows the file nor touches the free
// list each time, and the pieces lie next to each other: [pos, end) unused.
struct Khfa_SpaceRun {
    uint32_t pos;
    uint32_t end;
    int32_t taken;  // runs taken so far
};

struct Khfa_File {
    // The header comes first so the handle itself is the header's host object.
    Khfa_FileHeader header;

    Kfio_Fd *fd;
    char *name;  // private copy, the key in the open-file list

    Kmif_Dictionary *dictionary;
    int32_t dictionaryLength;  // length of the dictionary text on disk

    uint32_t headerPtr;
    int64_t endOfFile;  // tracked end of file; every allocation keeps it current
    int32_t readOnly;   // opened with "r" or "rb"

    int32_t refCount;
    int32_t slot;  // index in the open-file list
    Khfa_Package *package;

    int32_t batchMode;        // entry cache off
    int32_t writeThroughOff;  // KHFA_FILE_OPTION_FLUSH_ON_WRITE 0
    int32_t headerDeferred;   // header rewrites skipped while a flush runs

    // Entry state: the current entry and the path that leads to it.
    uint32_t currentEntryPos;
    Khfa_Entry currentEntry;
    char *entryPath;            // ":" then each name followed by ":"
    int32_t entryPathCapacity;  // bytes allocated (320 at first)
    int32_t entryPathLength;    // bytes used, without the NUL
    int32_t entryPathDepth;     // names on the path
    uint32_t *entryPathStack;   // positions of the entries on the path, root first
    int32_t entryPathStackCapacity;
    Khfa_PathTable *pathTable;
    Khfa_EntryTable *entryTable;

    // Memory mapping.
    Kfio_Mmap *map;
    void *mapAddress;  // mapped view of [0, mapLength), or NULL
    int64_t mapLength;
    int64_t mapExtent;        // extent asked for; 0 = the whole file
    int32_t mapOn;            // mapping requested
    int32_t mapMode;          // mapping mode of KHFA_FILE_OPTION_MMAP_EXTENT
    int32_t localFileSystem;  // -1 unknown until first needed, 0 or 1

    uint32_t batchStartEntry;   // current entry when batch mode began
    int32_t batchWriteThrough;  // batch mode switched write-through off
    Khfa_SpaceRun batchRun;     // entry space of batch mode, returned when it ends
    int32_t seekByPosition;     // KHFA_FILE_OPTION_SEEK_BY_POSITION

    Khfa_FreeCacheNode *freeCache;      // the free list while write-through is off
    Khfa_FreeCacheNode *freeCacheHint;  // last node looked at (walks are sequential)
    int32_t freeCacheLoaded;
    int32_t freeCacheDirty;  // the cache differs from the nodes on disk
    int32_t headerPending;   // a header rewrite was skipped while a flush ran

    int32_t changeState;  // KHFA_CHANGE_*
};

namespace kr::hfa {

// The process-wide thread-unsafe section for the length of a scope.
struct Section {
    Section() { kthr_ThreadUnsafeCodeEnter(0); }
    ~Section() { kthr_ThreadUnsafeCodeExit(); }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
};

// True when the handle can be worked on; otherwise reports "Invalid KHFA file
// handle" as function fn.
bool validHandle(const Khfa_File *file, const char *fn, Kerr_ErrorReport **err);

// One operation on a handle: holds the thread-unsafe section, checks the
// handle and runs the change protocol's entry step (a stale handle re-reads
// itself) and, when it is the outermost operation, the exit step.
class Operation {
  public:
    Operation(Khfa_File *file, const char *fn, Kerr_ErrorReport **err);
    ~Operation();
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    // False when the handle is invalid (reported).
    bool ok() const { return ok_; }

    // The handle is gone (closed): no exit step.
    void release() { file_ = nullptr; }

  private:
    Khfa_File *file_;
    bool ok_ = false;
    bool outermost_ = false;
};

// ---- Open-file list (khfa_openlist.cpp) ----------------------------------

// The package state of the toolkit (kint_GetInit() when toolkit is NULL), or
// NULL.
Khfa_Package *package(Kint_InitToolkitData *toolkit);
bool packageDisabled();
// Inside the section: the handle of that name, or NULL.
Khfa_File *findOpen(Khfa_Package *pkg, const char *name);
// Inside the section: adds a reference to an open handle, reopening a
// read-only file with "r+b" when readWrite is set. False with a report.
bool addReference(Khfa_File *file, bool readWrite, Kerr_ErrorReport **err);
// Inside the section: puts a new handle into a free slot (or a new one) with
// reference count 1. False with a report.
bool addToList(Khfa_Package *pkg, Khfa_File *file, Kerr_ErrorReport **err);
// Inside the section: clears the handle's slot.
void removeFromList(Khfa_File *file);
// The change protocol's exit step for the outermost operation: calls the
// file-changed callback of a modified file if it runs inside the section and
// makes the handle idle. Returns the callback to call after leaving the
// section, or NULL.
Khfa_FileChangedCallback exitStep(Khfa_File *file);

// ---- Handle life (khfa_file.cpp) -----------------------------------------

// Re-reads header, dictionary and entry cache of a stale handle.
bool reread(Khfa_File *file, Kerr_ErrorReport **err);
// Flushes, writes the cached free list back, closes the OS file and frees
// everything the handle owns, then the handle.
void destroyHandle(Khfa_File *file, Kerr_ErrorReport **err);

// ---- Entry cache (khfa_entrycache.cpp) -----------------------------------

// Sets up the entry state: path buffer ":" and the root entry as the
// current entry. False with a report ("CacheInit failed" by the caller).
bool entryCacheInit(Khfa_File *file, Kerr_ErrorReport **err);
// Frees the path buffer and stack and the entry tables.
void entryCacheFree(Khfa_File *file);

// ---- Raw I/O at positions (khfa_data.cpp) --------------------------------

// Reads or writes n bytes at position pos (KHFA_SEQUENTIAL_POSITION: the
// current file position); the bytes must lie inside the tracked end of file.
// fn names the public function for reports.
bool readAt(Khfa_File *file, uint32_t pos, void *data, int32_t n, const char *fn,
            Kerr_ErrorReport **err);
bool writeAt(Khfa_File *file, uint32_t pos, const void *data, int32_t n, const char *fn,
             Kerr_ErrorReport **err);
// The mapped view after a change of size or options; and before a flush.
void mapRenew(Khfa_File *file);
void mapRelease(Khfa_File *file);

// ---- Free list (khfa_freelist.cpp) ---------------------------------------

// Loads the free list into the cache (write-through off).
bool freeCacheLoad(Khfa_File *file, Kerr_ErrorReport **err);
// Writes the cached free list node by node and drops it (write-through on).
bool freeCacheWriteBack(Khfa_File *file, Kerr_ErrorReport **err);
// Drops the cache without writing it.
void freeCacheDrop(Khfa_File *file);

// ---- Options (khfa_options.cpp) -------------------------------------------

// The scan before opening: warns about an unknown code ("Illegal option
// %ld", which ends the list) and reads KHFA_FILE_OPTION_REPORT_NOT_HFA.
void scanOptions(const intptr_t *options, const char *fn, bool &reportNotHfa);
// Applies the options to a handle. With `scanned` an unknown code (already
// warned about) ends the list quietly. False with a report.
bool applyOptions(Khfa_File *file, const intptr_t *options, bool scanned, Kerr_ErrorReport **err);

// ---- Header and dictionary (khfa_dictionary.cpp) -------------------------------

// Writes the header record now, whatever write-through says.
bool headerWrite(Khfa_File *file, Kerr_ErrorReport **err);
// Writes the header record unless write-through is off (or a flush defers
// it, which marks it pending).
bool headerRewrite(Khfa_File *file, Kerr_ErrorReport **err);
// The dictionary text at pos (at most limit bytes, 0: up to the end of the
// file) decoded into *dictionary (a new one when NULL); returns its length
// in the file, or -1 with a report.
int32_t dictionaryRead(Khfa_File *file, Kmif_Dictionary **dictionary, uint32_t pos, int32_t limit,
                       Kerr_ErrorReport **err);
// The worker of khfa_DictionaryWrite.
bool dictionaryWrite(Khfa_File *file, const Kmif_Dictionary *dictionary, uint32_t *pos,
                     int32_t *length, Kerr_ErrorReport **err);
// Allocation and freeing without the change protocol (the caller runs it).
uint32_t nextFreePos(Khfa_File *file, int32_t size, Kerr_ErrorReport **err);
bool freeSpace(Khfa_File *file, uint32_t pos, int32_t size, Kerr_ErrorReport **err);
// A piece of size bytes from the run, taking a new run of runSize bytes when
// it is used up (or, near the size limit, the piece alone). 0 with a report.
uint32_t runTake(Khfa_File *file, Khfa_SpaceRun &run, int32_t size, int32_t runSize,
                 Kerr_ErrorReport **err);
// Undoes the last runTake of a piece at pos when it is still the last one.
void runGiveBack(Khfa_File *file, Khfa_SpaceRun &run, uint32_t pos, int32_t size);
// Returns the unused rest of the run to the free list.
bool runRelease(Khfa_File *file, Khfa_SpaceRun &run, Kerr_ErrorReport **err);

}  // namespace kr::hfa
