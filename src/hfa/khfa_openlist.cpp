// The process-wide list of open HFA files: one shared, reference-counted
// handle per file name.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <climits>
#include <cstring>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"

namespace kr::hfa {

Khfa_File *findOpen(Khfa_Package *pkg, const char *name) {
    if (!pkg || !name) return nullptr;
    for (int32_t i = 0; i < pkg->count; ++i) {
        Khfa_File *f = pkg->files[i];
        if (f && f->name && std::strcmp(f->name, name) == 0) return f;
    }
    return nullptr;
}

bool addReference(Khfa_File *file, bool readWrite, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_AddRefToFileInOFL";
    kr::Report e(err);
    if (file->refCount == INT32_MAX) {
        e.error(fn, 1, "Too many references to file %s", file->name);
        return false;
    }
    if (readWrite && file->readOnly) {
        // Every holder shares the handle, so all of them become writers.
        Kfio_Fd *fd = kfio_Open(file->name, "r+b", e.out());
        if (!fd) {
            e.error(fn, 2, "Error on opening file \"%s\"", file->name);
            return false;
        }
        mapRelease(file);
        kfio_Close(file->fd, nullptr);
        file->fd = fd;
        file->readOnly = 0;
        mapRenew(file);
    }
    ++file->refCount;
    return true;
}

bool addToList(Khfa_Package *pkg, Khfa_File *file, Kerr_ErrorReport **err) {
    kr::Report e(err);
    int32_t slot = -1;
    for (int32_t i = 0; i < pkg->count && slot < 0; ++i)
        if (!pkg->files[i]) slot = i;
    if (slot < 0) {
        if (pkg->count == INT32_MAX) {
            e.error("khfa_AddFileToOFL", 1, "No memory");
            return false;
        }
        auto *grown = static_cast<Khfa_File **>(kmsc_HeapRealloc(
            pkg->files, (static_cast<size_t>(pkg->count) + 1) * sizeof(Khfa_File *)));
        if (!grown) {
            e.error("khfa_AddFileToOFL", 2, "No memory");
            return false;
        }
        pkg->files = grown;
        slot = pkg->count++;
    }
    pkg->files[slot] = file;
    file->slot = slot;
    file->package = pkg;
    file->refCount = 1;
    return true;
}

void removeFromList(Khfa_File *file) {
    Khfa_Package *pkg = file->package;
    if (pkg && file->slot >= 0 && file->slot < pkg->count && pkg->files[file->slot] == file)
        pkg->files[file->slot] = nullptr;
    file->slot = -1;
}

}  // namespace kr::hfa

extern "C" {

KRASTER_API int khfa_FileIsOpen(const char *name, Kint_InitToolkitData *toolkit,
                                Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileIsOpen";
    kr::Report e(err);
    Khfa_Package *pkg = kr::hfa::package(toolkit);
    if (!pkg) {
        e.error(fn, 1, "Kfha package has not been initialized");
        return -1;
    }
    if (!name) {
        e.error(fn, 2, "Error checking if file is open");
        return -1;
    }
    kr::hfa::Section section;
    return kr::hfa::findOpen(pkg, name) ? 1 : 0;
}

KRASTER_API int khfa_FileReinitialize(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileReinitialize";
    kr::Report e(err);
    Khfa_Package *pkg = kr::hfa::package(nullptr);
    if (!pkg) {
        e.error(fn, 1, "Kfha package has not been initialized");
        return -1;
    }
    kr::hfa::Section section;
    // Only the state changes: the handle keeps its holders and its mode.
    if (Khfa_File *f = kr::hfa::findOpen(pkg, name)) f->changeState = KHFA_CHANGE_STALE;
    return 0;
}

KRASTER_API int32_t khfa_FileReferenceCount(const Khfa_File *file) {
    if (!file) return 0;
    kr::hfa::Section section;
    return file->refCount;
}

}  // extern "C"
