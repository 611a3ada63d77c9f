// Typed objects stored as the data of entries: write, read, delete, copy and
// list.
#include <kraster/kmsc.h>

#include <cstring>
#include <ctime>
#include <new>

#include "hfa/khfa_tree.hpp"

using namespace kr::hfa;

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Writes the entry (mode, name, type below nodePath) and gives it a data
// block of size bytes, filled by put(position). Mode 0 keeps the old block
// when the new data fits in it.
template <class Put>
int storeData(Khfa_File *file, const char *fn, const char *nodePath, const char *name,
              const char *type, int mode, int32_t size, Put put, kr::Report &e) {
    if (nodePath && !seek(file, KHFA_SEEK_PATH, nodePath, e)) {
        e.error(fn, 1, "khfa_EntrySeek failed");
        return -1;
    }
    const bool reuse = mode == KHFA_WRITE_CURRENT && file->currentEntry.parent != 0 &&
                       file->currentEntryPos != file->header.rootEntryPtr;
    if (!entryWriteMode(file, mode, name, type, e.out())) {
        e.error(fn, 2, "khfa_EntryWrite failed");
        return -1;
    }
    Khfa_Entry rec = file->currentEntry;
    const uint32_t pos = file->currentEntryPos;
    uint32_t data = 0;
    if (reuse && rec.data != 0 && rec.dataSize >= size && size > 0) {
        data = rec.data;
    } else {
        if (reuse && rec.data != 0 && rec.dataSize > 0) {
            Kerr_ErrorReport *r = nullptr;
            if (!freeSpace(file, rec.data, rec.dataSize, &r)) kerr_DeleteErrorReport(r);
        }
        if (size > 0) {
            data = nextFreePos(file, size, e.out());
            if (data == 0) {
                e.error(fn, 3, "khfa_NextFreePos failed");
                return -1;
            }
        }
    }
    rec.modTime = now();
    rec.data = data;
    rec.dataSize = size;
    if (!entryWrite(file, pos, rec, fn, e.out())) {
        e.error(fn, 4, "khfa_EntryWrite failed");
        return -1;
    }
    if (size > 0 && !put(data)) return -1;
    return 0;
}

bool needsName(int m) {
    return m == KHFA_SEEK_SIBLING_BY_NAME || m == KHFA_SEEK_PATH || (m >= 10 && m <= 16);
}

// Finds the entry of an object: nodePath, then method and name from there
// (skipped when nodePath is given without a name). 1 found, 0 missing, -1
// fault (reported).
int objectSeek(Khfa_File *file, const char *fn, const char *nodePath, const char *name, int method,
               kr::Report &e) {
    if (nodePath) {
        if (!seek(file, KHFA_SEEK_PATH, nodePath, e)) {
            if (!e.failed()) return 0;
            e.error(fn, 10, "Seek failed for %s", nodePath);
            e.error(fn, 11, "ObjectSeek failed");
            return -1;
        }
        if (!name) return 1;
    }
    if (needsName(method) && (!name || !*name)) {
        e.error(fn, 12, "Seek failed for %s", name ? name : "<NULL>");
        e.error(fn, 11, "ObjectSeek failed");
        return -1;
    }
    if (khfa_EntrySeek(file, method, needsName(method) || method == 17 ? name : nullptr, e.out()))
        return 1;
    if (!e.failed()) return 0;
    e.error(fn, 12, "Seek failed for %s", name ? name : "<NULL>");
    e.error(fn, 11, "ObjectSeek failed");
    return -1;
}

// The data of the entry found; 1 read, 0 missing, -1 fault.
int objectRead(Khfa_File *file, const char *fn, const char *nodePath, const char *name, int method,
               void **object, const Kmif_Design *design, kr::Report &e) {
    const int found = objectSeek(file, fn, nodePath, name, method, e);
    if (found <= 0) return found;
    const Khfa_Entry rec = file->currentEntry;
    if (!object || rec.dataSize <= 0 || rec.data == 0) return 1;
    if (!design) {
        e.error(fn, 20, "NULL design parameter");
        return -1;
    }
    const uint32_t at = method == KHFA_SEEK_SEQUENTIAL ? KHFA_SEQUENTIAL_POSITION : rec.data;
    if (khfa_FileHostDataRead(file, at, design, rec.dataSize, object, e.out()) < 0) {
        e.error(fn, 21, "khfa_FileHostDataRead failed");
        return -1;
    }
    return 1;
}

}  // namespace

extern "C" int khfa_ObjectWrite(Khfa_File *file, const char *nodePath, const char *name,
                                const char *type, int mode, const void *object,
                                const Kmif_Design *design, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectWrite";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!object || !design) {
        e.error(fn, 5, "NULL object or design");
        return -1;
    }
    const int32_t size = kmif_ObjectSize(object, design, e.out());
    if (size < 0) {
        e.error(fn, 6, "kmif_ObjectSize failed");
        return -1;
    }
    try {
        return storeData(
            file, fn, nodePath, name, type, mode, size,
            [&](uint32_t at) {
                if (khfa_FileHostDataWrite(file, at, design, size, object, e.out()) >= 0)
                    return true;
                e.error(fn, 7, "khfa_FileHostDataWrite failed");
                return false;
            },
            e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 8, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectDataWrite(Khfa_File *file, const char *nodePath, const char *name,
                                    const char *type, int mode, const void *data, int32_t size,
                                    Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectDataWrite";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (size < 0 || (size > 0 && !data)) {
        e.error(fn, 5, "Invalid data (%ld bytes)", static_cast<long>(size));
        return -1;
    }
    if (nodePath) {
        kr::Report r(nullptr);
        if (!seek(file, KHFA_SEEK_PATH, nodePath, r)) {
            e.error(fn, 9, "nodePath %s not found", nodePath);
            return -1;
        }
    }
    try {
        return storeData(
            file, fn, nullptr, name, type, mode, size,
            [&](uint32_t at) {
                if (khfa_FileMIFDataWrite(file, at, size, data, e.out()) >= 0) return true;
                e.error(fn, 7, "khfa_FileMIFDataWrite failed");
                return false;
            },
            e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 8, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectRead(Khfa_File *file, const char *nodePath, const char *name, int method,
                               void **object, const Kmif_Design *design, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectRead";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    try {
        const int r = objectRead(file, fn, nodePath, name, method, object, design, e);
        if (r == 0) e.error(fn, 30, "Object read failure!");
        return r > 0 ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 31, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectReadIfPresent(Khfa_File *file, const char *nodePath, const char *name,
                                        int method, void **object, const Kmif_Design *design,
                                        Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectReadIfPresent";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!object) {
        e.error(fn, 30, "NULL kmifobjectin parameter");
        return -1;
    }
    try {
        return objectRead(file, fn, nodePath, name, method, object, design, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 31, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectDataReadIfPresent(Khfa_File *file, const char *nodePath, const char *name,
                                            int method, void **data, int32_t *size,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectDataReadIfPresent";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (!data || !size) {
        e.error(fn, 30, "NULL data or size parameter");
        return -1;
    }
    *data = nullptr;
    *size = 0;
    try {
        const int found = objectSeek(file, fn, nodePath, name, method, e);
        if (found <= 0) return found;
        const Khfa_Entry rec = file->currentEntry;
        if (rec.dataSize <= 0 || rec.data == 0) return 1;
        void *buf = kmsc_HeapMalloc(static_cast<size_t>(rec.dataSize));
        if (!buf) {
            e.error(fn, 31, "No memory");
            return -1;
        }
        if (khfa_FileMIFDataRead(file, rec.data, rec.dataSize, buf, e.out()) < 0) {
            kmsc_HeapFree(buf);
            e.error(fn, 32, "khfa_FileMIFDataRead failed");
            return -1;
        }
        *data = buf;
        *size = rec.dataSize;
        return 1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 31, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectDelete(Khfa_File *file, const char *nodePath, const char *name,
                                 int method, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectDelete";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    try {
        if (objectSeek(file, fn, nodePath, name, method, e) <= 0) {
            e.error(fn, 30, "ObjectSeek failure!");
            return -1;
        }
        if (!deleteCurrent(file, e.out())) {
            e.error(fn, 31, "EntryDelete failure!");
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        e.error(fn, 32, "No memory");
        return -1;
    }
}

extern "C" int khfa_ObjectCopy(Khfa_File *source, const char *srcNodePath, Khfa_File *destination,
                               const char *dstNodePath, const char *dstName, int mode,
                               const intptr_t *options, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectCopy";
    kr::Report e(err);
    if (options && options[0] != 0) {
        bool existing = false, children = false;
        for (const intptr_t *o = options; *o != 0; ++o) {
            const int code = static_cast<int>(*o);
            if (code < 1 || code > 4) {
                kr::warn(nullptr, fn, 1, "Unrecognized copy option %d - ignored.", code);
            } else if (code <= 2) {
                if (existing)
                    kr::warn(nullptr, fn, 2,
                             "An earlier specified option concerning existing nodes will be "
                             "ignored");
                existing = true;
            } else {
                if (children)
                    kr::warn(nullptr, fn, 3,
                             "An earlier specified option concerning node children will be "
                             "ignored");
                children = true;
            }
        }
        e.error(fn, 4, "khfa_ObjectCopy does not yet support options");
        return -1;
    }
    Operation op(source, fn, e.out());
    if (!op.ok()) return -1;
    Operation opDst(destination, fn, e.out());
    if (!opDst.ok()) return -1;
    try {
        if (!srcNodePath || !seek(source, KHFA_SEEK_PATH, srcNodePath, e)) {
            e.error(fn, 5, "Source object not found!");
            return -1;
        }
        const Khfa_Entry rec = source->currentEntry;
        if (rec.dataSize <= 0 || rec.data == 0)
            return khfa_ObjectDataWrite(destination, dstNodePath, dstName, rec.type, mode, nullptr,
                                        0, e.out());
        const Kmif_Design *design = kmif_FindDesignByName(source->dictionary, rec.type, e.out());
        if (!design) {
            e.error(fn, 6, "kmif_FindDesignByName failure!");
            return -1;
        }
        void *object = nullptr;
        if (khfa_FileHostDataRead(source, rec.data, design, rec.dataSize, &object, e.out()) < 0) {
            e.error(fn, 7, "Source object not found!");
            return -1;
        }
        const Kmif_Design *dstDesign = design;
        if (destination != source) {
            dstDesign = kmif_DictionaryAddDesign(destination->dictionary, design, e.out());
            if (!dstDesign) e.error(fn, 8, "kmif_DictionaryAddDesign failed");
        }
        int rc = -1;
        if (dstDesign)
            rc = khfa_ObjectWrite(destination, dstNodePath, dstName, rec.type, mode, object,
                                  dstDesign, e.out());
        kmif_ObjectFree(&object, design, nullptr);
        return rc;
    } catch (const std::bad_alloc &) {
        e.error(fn, 9, "No memory");
        return -1;
    }
}

extern "C" Kstr_StringList *khfa_ObjectList(Khfa_File *file, const char *startPath,
                                            const char *name, const char *type,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_ObjectList";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return nullptr;
    try {
        if (startPath && !seek(file, KHFA_SEEK_PATH, startPath, e)) {
            e.error(fn, 1, "Could not find starting node \"%s\"", startPath);
            return nullptr;
        }
        Kstr_StringList *list = kstr_StringListCreate(e.out());
        if (!list) {
            e.error(fn, 2, "StringListAppend fail");
            return nullptr;
        }
        // Depth-first pre-order below the start, never above it.
        int64_t depth = 0;
        for (int64_t n = 2 * visitCap(file); n > 0; --n) {
            const bool moved = stepPreOrder(file, depth, e);
            if (e.failed()) {
                e.error(fn, 3, "EntrySeek fail");
                kstr_StringListFree(list);
                return nullptr;
            }
            if (!moved) break;
            const Khfa_Entry &rec = file->currentEntry;
            if ((name && std::strcmp(name, rec.name) != 0) ||
                (type && std::strcmp(type, rec.type) != 0))
                continue;
            std::string_view p = currentPath(file);
            p.remove_suffix(1);
            char *text = kstr_DuplicateN(p.data(), p.size());
            if (!text) {
                e.error(fn, 4, "CurrentEntryPath fail");
                kstr_StringListFree(list);
                return nullptr;
            }
            const int rc = kstr_StringListAppend(list, text, e.out());
            kmsc_HeapFree(text);
            if (rc != 0) {
                e.error(fn, 5, "StringListAppend fail");
                kstr_StringListFree(list);
                return nullptr;
            }
        }
        return list;
    } catch (const std::bad_alloc &) {
        e.error(fn, 6, "No memory");
        return nullptr;
    }
}
