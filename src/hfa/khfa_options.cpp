// Options of an open HFA file: memory mapping, write-through, batch mode,
// renaming and the seek-by-position setting.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <new>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_tree.hpp"

namespace kr::hfa {

namespace {

// Argument words of each option code, or -1 for an unknown code.
int argumentWords(intptr_t code) {
    switch (code) {
        case KHFA_FILE_OPTION_MMAP:
            return 2;
        case KHFA_FILE_OPTION_FLUSH_ON_WRITE:
        case KHFA_FILE_OPTION_CACHE:
        case KHFA_FILE_OPTION_RENAME:
        case KHFA_FILE_OPTION_REPORT_NOT_HFA:
        case KHFA_FILE_OPTION_SEEK_BY_POSITION:
            return 1;
        case KHFA_FILE_OPTION_MMAP_EXTENT:
            return 5;
        default:
            return -1;
    }
}

void setMapping(Khfa_File *file, bool on, int64_t extent, int32_t mode) {
    if (on && !file->readOnly && file->localFileSystem < 0)
        file->localFileSystem = kfio_FileSystemIsLocal(file->name) ? 1 : 0;
    if (on && (file->readOnly || file->localFileSystem == 1)) {
        file->mapOn = 1;
        file->mapExtent = extent > 0 ? extent : 0;
        file->mapMode = mode;
        mapRenew(file);
        return;
    }
    file->mapOn = 0;
    mapRelease(file);
    kfio_MmapDestroy(file->map);
    file->map = nullptr;
}

bool setWriteThrough(Khfa_File *file, bool on, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileChange";
    kr::Report e(err);
    if (!on) {
        if (file->writeThroughOff) return true;
        if (!freeCacheLoad(file, e.out())) return false;
        file->writeThroughOff = 1;
        // Bulk writing: objects encoded into files are not flushed one by one.
        kmif_StreamImmediateFlushDisable(nullptr);
        return true;
    }
    if (!file->writeThroughOff) return true;
    if (!freeCacheWriteBack(file, e.out())) return false;
    file->writeThroughOff = 0;
    if (!file->readOnly && !headerWrite(file, e.out())) {
        e.error(fn, 20, "Header rewrite failed");
        return false;
    }
    return true;
}

// Batch mode also keeps the header and the free list in memory (as
// write-through off does) unless the caller had switched write-through off
// already; leaving batch mode writes them back.
bool setBatchMode(Khfa_File *file, bool on, Kerr_ErrorReport **err) {
    kr::Report e(err);
    try {
        if (on) {
            if (file->batchMode) return true;
            if (!file->writeThroughOff && !file->readOnly) {
                if (!setWriteThrough(file, false, e.out())) return false;
                file->batchWriteThrough = 1;
            }
            batchBegin(file);
            return true;
        }
        if (!file->batchMode) return true;
        const bool ended = batchEnd(file, e.out());
        if (file->batchWriteThrough) {
            file->batchWriteThrough = 0;
            if (!setWriteThrough(file, true, e.out())) return false;
        }
        return ended;
    } catch (const std::bad_alloc &) {
        e.error("khfa_FileChange", 50, "No memory");
        return false;
    }
}

bool rename(Khfa_File *file, const char *newName, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileChange";
    kr::Report e(err);
    if (!newName) {
        kr::warn(nullptr, fn, 30, "Destination file name not specified for file rename");
        return true;
    }
    if (findOpen(file->package, newName)) {
        e.error(fn, 31, "File %s is open already", newName);
        return false;
    }
    char *copy = kstr_Duplicate(newName);
    if (!copy) {
        e.error(fn, 32, "No memory");
        return false;
    }
    if (khfa_FileFlush(file, e.out()) != 0) {
        kmsc_HeapFree(copy);
        e.error(fn, 33, "khfa_FileFlush failed");
        return false;
    }
    mapRelease(file);
    kfio_MmapDestroy(file->map);
    file->map = nullptr;
    if (kfio_Close(file->fd, e.out()) != 0) {
        kmsc_HeapFree(copy);
        e.error(fn, 34, "Unable to close %s", file->name);
        return false;
    }
    file->fd = nullptr;
    const bool renamed = kfio_FileNameChange(file->name, copy, e.out()) == 0;
    if (!renamed) e.error(fn, 35, "Unable to rename %s to %s", file->name, copy);
    // Reopen under whichever name the file now has.
    const char *name = renamed ? copy : file->name;
    Kerr_ErrorReport *openErr = nullptr;
    file->fd = kfio_Open(name, "r+", &openErr);
    if (!file->fd) {
        e.wrap(openErr, fn, 36, "Unable to reopen %s; the handle is no longer usable", name);
        kmsc_HeapFree(copy);
        return false;
    }
    kerr_DeleteErrorReport(openErr);
    file->readOnly = 0;
    if (renamed) {
        kmsc_HeapFree(file->name);
        file->name = copy;
    } else {
        kmsc_HeapFree(copy);
    }
    mapRenew(file);
    return renamed;
}

}  // namespace

void scanOptions(const intptr_t *options, const char *fn, bool &reportNotHfa) {
    reportNotHfa = true;
    for (const intptr_t *o = options; o && *o;) {
        const intptr_t code = *o++;
        const int words = argumentWords(code);
        if (words < 0) {
            kr::warn(nullptr, fn, 40, "Illegal option %ld", static_cast<long>(code));
            return;
        }
        if (code == KHFA_FILE_OPTION_REPORT_NOT_HFA) reportNotHfa = o[0] != 0;
        o += words;
    }
}

bool applyOptions(Khfa_File *file, const intptr_t *options, bool scanned, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileChange";
    kr::Report e(err);
    Section section;
    for (const intptr_t *o = options; o && *o;) {
        const intptr_t code = *o++;
        const int words = argumentWords(code);
        if (words < 0) {
            if (scanned) return true;  // reported by the scan already
            e.error(fn, 1, "Illegal option %ld", static_cast<long>(code));
            return false;
        }
        bool ok = true;
        switch (code) {
            case KHFA_FILE_OPTION_MMAP:
                setMapping(file, o[0] == 1, o[1], 0);
                break;
            case KHFA_FILE_OPTION_FLUSH_ON_WRITE:
                file->batchWriteThrough = 0;  // the caller's setting holds from now on
                ok = setWriteThrough(file, o[0] != 0, e.out());
                break;
            case KHFA_FILE_OPTION_CACHE:
                ok = setBatchMode(file, o[0] == 0, e.out());
                break;
            case KHFA_FILE_OPTION_RENAME:
                ok = rename(file, reinterpret_cast<const char *>(o[0]), e.out());
                break;
            case KHFA_FILE_OPTION_MMAP_EXTENT:
                setMapping(file, o[2] == 1, o[3], static_cast<int32_t>(o[4]));
                break;
            case KHFA_FILE_OPTION_SEEK_BY_POSITION:
                file->seekByPosition = o[0] != 0;
                break;
            default:  // KHFA_FILE_OPTION_REPORT_NOT_HFA acts only when opening
                break;
        }
        if (!ok) {
            e.error(fn, 2, "Option %ld failed", static_cast<long>(code));
            return false;
        }
        o += words;
    }
    return true;
}

}  // namespace kr::hfa

extern "C" {

KRASTER_API int khfa_FileChange(Khfa_File *file, const intptr_t *options, Kerr_ErrorReport **err) {
    kr::Report e(err);
    kr::hfa::Operation op(file, "khfa_FileChange", e.out());
    if (!op.ok()) return -1;
    return kr::hfa::applyOptions(file, options, false, e.out()) ? 0 : -1;
}

}  // extern "C"
