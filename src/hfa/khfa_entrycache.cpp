// The entry state of a handle: the current entry (the root after opening)
// and the path buffer that names it. The entry tree builds its path and
// entry tables on top of this.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstring>
#include <new>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_records.hpp"
#include "hfa/khfa_tree.hpp"

namespace kr::hfa {

namespace {
constexpr int32_t kPathBufferSize = 320;
constexpr int32_t kPathStackSize = 16;
}  // namespace

bool entryCacheInit(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileCacheInit";
    kr::Report e(err);
    if (!file->entryPath) {
        file->entryPath = static_cast<char *>(kmsc_HeapMalloc(kPathBufferSize));
        if (!file->entryPath) {
            e.error(fn, 1, "No memory");
            return false;
        }
        file->entryPathCapacity = kPathBufferSize;
    }
    if (!file->entryPathStack) {
        file->entryPathStack =
            static_cast<uint32_t *>(kmsc_HeapMalloc(kPathStackSize * sizeof(uint32_t)));
        if (!file->entryPathStack) {
            e.error(fn, 2, "No memory");
            return false;
        }
        file->entryPathStackCapacity = kPathStackSize;
    }
    std::strcpy(file->entryPath, ":");
    file->entryPathLength = 1;
    file->entryPathDepth = 0;
    Khfa_Entry root{};
    if (file->header.rootEntryPtr == 0 ||
        !recordRead(file, file->header.rootEntryPtr, Record::Entry, &root, fn, e.out())) {
        e.error(fn, 3, "Corrupt root entry detected...cannot continue");
        return false;
    }
    file->currentEntryPos = file->header.rootEntryPtr;
    file->currentEntry = root;
    file->entryPathStack[0] = file->header.rootEntryPtr;
    try {
        tablesCreate(file);
        makeCurrent(file, file->header.rootEntryPtr, root, ":");
    } catch (const std::bad_alloc &) {
        e.error(fn, 4, "No memory");
        return false;
    }
    return true;
}

void entryCacheFree(Khfa_File *file) {
    kmsc_HeapFree(file->entryPath);
    file->entryPath = nullptr;
    file->entryPathCapacity = file->entryPathLength = file->entryPathDepth = 0;
    kmsc_HeapFree(file->entryPathStack);
    file->entryPathStack = nullptr;
    file->entryPathStackCapacity = 0;
    tablesFree(file);
    file->currentEntryPos = 0;
    std::memset(&file->currentEntry, 0, sizeof file->currentEntry);
}

}  // namespace kr::hfa
