// Whole-file copy of HFA files: the tree copied depth first into a new file
// under a temporary name, entry by entry with per-type rules, then renamed
// over the destination with the source's times and permissions.
#include <kraster/kfio.h>
#include <kraster/kmet.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hfa/khfa_tree.hpp"

namespace kr::hfa {

namespace {

struct CopyState {
    Kmet_MeterInfo *meter = nullptr;
    int64_t total = 0;
    int64_t done = 0;
};
thread_local CopyState t_copy;

constexpr int32_t kChunk = 1 << 20;
thread_local std::vector<unsigned char> t_buffer;  // pieces of data copied as bytes

// Designs whose file form is the bytes of their items one after another,
// without pointers, counts, enumerations or packed bits: decoding and
// encoding such data again gives the same bytes, so it is copied as bytes.
bool byteForByte(const Kmif_Design *d, int depth = 0) {
    if (!d || !d->itemList || depth > 8) return false;
    for (const Kmif_Item *i = d->itemList; i; i = i->next) {
        if (i->indirectFlag || i->countedFlag) return false;
        if (i->type == KMIF_TYPE_NESTED || i->type == KMIF_TYPE_REFERENCE) {
            if (!byteForByte(i->nestedDesign, depth + 1)) return false;
        } else if ((i->type < KMIF_TYPE_U8 || i->type > KMIF_TYPE_C128) &&
                   i->type != KMIF_TYPE_TIME && i->type != KMIF_TYPE_INT) {
            return false;
        }
    }
    return true;
}

bool typeIs(const char *type, const char *name) {
    return std::strcmp(type, name) == 0;
}

// Entry types whose entries carry no data of their own.
bool mustBeEmpty(const char *type) {
    return typeIs(type, "root") || typeIs(type, "Khfa_Data") || typeIs(type, "Khfa_FreeListNode");
}

// Copies the blocks of a block stream; the node written to the destination
// holds the new root and the source's counts.
bool copyStream(Khfa_File *src, const Khfa_Entry &rec, Khfa_File *dst, const Kmif_Design *design,
                kr::Report &e) {
    static const char *const fn = "khfa_CopyGenericData";
    void *obj = nullptr;
    Khfa_CacheNode node{};
    obj = &node;
    if (rec.dataSize != static_cast<int32_t>(sizeof node) ||
        khfa_FileHostDataRead(src, rec.data, design, rec.dataSize, &obj, e.out()) < 0) {
        e.error(fn, 30, "ReadObject fail.");
        return false;
    }
    if (node.blocksize < 8 || node.rootptr <= 0 || node.blockcount < 0) {
        e.error(fn, 31, "Invalid block stream node (block size %ld)",
                static_cast<long>(node.blocksize));
        return false;
    }
    Khfa_Cache *in = khfa_CacheNew(src, nullptr, node.blocksize, 1, node.blockcount,
                                   static_cast<uint32_t>(node.rootptr), e.out());
    // Blocks one at a time at the end of the copy, which keeps it free of holes.
    const Khfa_CacheIO io{khfa_NextFreePos, nullptr, nullptr, nullptr};
    Khfa_Cache *out = in ? khfa_CacheNew(dst, &io, node.blocksize, 1, 0, 0, e.out()) : nullptr;
    bool ok = in && out;
    for (int32_t b = 0; ok && b < node.blockcount; ++b) {
        const void *from = khfa_CacheGetBlock(in, b, 0, e.out());
        ok = from && khfa_CacheExtend(out, e.out()) == 0;
        void *to = ok ? khfa_CacheGetBlock(out, b, 1, e.out()) : nullptr;
        if (to) std::memcpy(to, from, static_cast<size_t>(node.blocksize));
        ok = to != nullptr;
    }
    if (ok && khfa_CacheFlush(out, e.out()) != 0) ok = false;
    if (ok) {
        node.rootptr = static_cast<int32_t>(khfa_CacheRootPtr(out, e.out()));
        ok = khfa_ObjectWrite(dst, nullptr, nullptr, nullptr, KHFA_WRITE_CURRENT, &node, design,
                              e.out()) == 0;
    }
    khfa_CacheFree(in, nullptr);
    khfa_CacheFree(out, nullptr);
    if (!ok) e.error(fn, 32, "Cannot copy the block stream of >%s<", rec.name);
    return ok;
}

// Bytes without a design, in pieces.
bool copyRaw(Khfa_File *src, const Khfa_Entry &rec, Khfa_File *dst, kr::Report &e) {
    static const char *const fn = "khfa_CopyGenericData";
    const uint32_t at = khfa_NextFreePos(dst, rec.dataSize, e.out());
    if (at == 0) {
        e.error(fn, 40, "khfa_NextFreePos error.");
        e.error(fn, 41, "Cannot allocate %d bytes", rec.dataSize);
        return false;
    }
    std::vector<unsigned char> &buffer = t_buffer;
    if (buffer.size() < static_cast<size_t>(std::min(rec.dataSize, kChunk)))
        buffer.resize(static_cast<size_t>(std::min(rec.dataSize, kChunk)));
    for (int32_t done = 0; done < rec.dataSize;) {
        const int32_t n = std::min(kChunk, rec.dataSize - done);
        if (khfa_FileMIFDataRead(src, rec.data + static_cast<uint32_t>(done), n, buffer.data(),
                                 e.out()) < 0) {
            e.error(fn, 42, "kfio_ReadSeq error.");
            return false;
        }
        if (khfa_FileMIFDataWrite(dst, at + static_cast<uint32_t>(done), n, buffer.data(),
                                  e.out()) < 0) {
            e.error(fn, 43, "kfio_WriteSeq error.");
            return false;
        }
        done += n;
    }
    Khfa_Entry out = dst->currentEntry;
    out.data = at;
    out.dataSize = rec.dataSize;
    if (!entryWrite(dst, dst->currentEntryPos, out, fn, e.out())) {
        e.error(fn, 44, "EntryWrite fail");
        return false;
    }
    return true;
}

bool copyData(Khfa_File *src, Khfa_File *dst, kr::Report &e) {
    static const char *const fn = "khfa_CopyGenericData";
    const Khfa_Entry rec = src->currentEntry;
    if (rec.dataSize == 0) return true;
    if (mustBeEmpty(rec.type)) {
        e.error(fn, 1, "Cannot copy data for node of type %s", rec.type);
        return false;
    }
    if (rec.dataSize < 0 || rec.data < KHFA_HEADER_TAG_SIZE ||
        int64_t{rec.data} + rec.dataSize > src->endOfFile) {
        e.error(fn, 2, "Data of >%s< (%ld bytes at %lu) lie outside the file", rec.name,
                static_cast<long>(rec.dataSize), static_cast<unsigned long>(rec.data));
        return false;
    }
    const Kmif_Design *design = kmif_DictionarySearchByName(src->dictionary, rec.type, nullptr);
    if (!design) {
        kr::warn(nullptr, fn, 3, "Could not locate design for >%s<; attempting to copy data anyway",
                 rec.type);
        return copyRaw(src, rec, dst, e);
    }
    const Kmif_Design *target = kmif_DictionarySearchByName(dst->dictionary, rec.type, nullptr);
    if (!target) target = kmif_DictionaryAddDesign(dst->dictionary, design, e.out());
    if (!target) {
        e.error(fn, 4, "Trouble adding design >%s< to dictionary", rec.type);
        return false;
    }
    if (typeIs(rec.type, "Khfa_CacheNode")) return copyStream(src, rec, dst, target, e);
    if (design->fileSize == rec.dataSize && byteForByte(design)) return copyRaw(src, rec, dst, e);
    void *obj = nullptr;
    if (khfa_FileHostDataRead(src, rec.data, design, rec.dataSize, &obj, e.out()) < 0) {
        e.error(fn, 5, "ReadObject fail.");
        return false;
    }
    const bool ok = khfa_ObjectWrite(dst, nullptr, nullptr, nullptr, KHFA_WRITE_CURRENT, obj,
                                     target, e.out()) == 0;
    kmif_ObjectFree(&obj, design, nullptr);
    if (!ok) e.error(fn, 6, "ObjectWrite fail.");
    return ok;
}

// Writes the source's current entry below or after the destination's.
int copyEntry(Khfa_File *src, Khfa_File *dst, int mode, kr::Report &e) {
    const Khfa_Entry &rec = src->currentEntry;
    if (src->currentEntryPos == src->header.rootEntryPtr) return 0;
    if (!entryWriteMode(dst, mode, rec.name, rec.type, e.out())) {
        e.error("khfa_CopyGenericEntry", 1, "EntryWrite fail");
        return -1;
    }
    return 1;
}

// The modification time of the source's current entry on the destination's.
bool copyModTime(Khfa_File *src, Khfa_File *dst, kr::Report &e) {
    Khfa_Entry out = dst->currentEntry;
    out.modTime = src->currentEntry.modTime;
    if (!entryWrite(dst, dst->currentEntryPos, out, "khfa_FileCopy", e.out())) {
        e.error("khfa_FileCopy", 30, "Cannot reset target modTime");
        return false;
    }
    return true;
}

int progress(int kind, int64_t value, kr::Report &e) {
    static const char *const fn = "khfa_FileCopyProgressUpdate";
    CopyState &s = t_copy;
    if (kind == KHFA_COPY_PROGRESS_START) {
        s.total = value;
        s.done = 0;
        if (s.meter && kmet_MeterInfoChangeTaskName(s.meter, "Initializing...", e.out()) != 0) {
            e.error(fn, 1, "kmet_MeterInfoChangeTaskName failed");
            return -1;
        }
        return 0;
    }
    if (kind != KHFA_COPY_PROGRESS_ADVANCE) {
        e.error(fn, 2, "Bad UpdateType");
        return -1;
    }
    s.done += value;
    if (!s.meter) return 0;
    const double percent = s.total > 0 ? 100.0 * static_cast<double>(s.done) / s.total : 100.0;
    const int r = kmet_MeterInfoPrint(s.meter, percent, e.out());
    if (r < 0) e.error(fn, 3, "kmet_MeterInfoPrint failed");
    return r;
}

// Depth first: each entry is written, its data copied and its time set,
// then its children, then its next sibling. Both files move in step.
bool copyTree(Khfa_File *src, Khfa_File *dst, kr::Report &e) {
    static const char *const fn = "khfa_FileCopy";
    if (!seek(src, KHFA_SEEK_ROOT, nullptr, e) || !seek(dst, KHFA_SEEK_ROOT, nullptr, e)) {
        e.error(fn, 20, "Can't find root");
        return false;
    }
    if (!copyModTime(src, dst, e)) return false;
    if (!seek(src, KHFA_SEEK_CHILD, nullptr, e)) return !e.failed();
    int mode = KHFA_WRITE_FIRST_CHILD;
    int64_t depth = 0;
    for (int64_t cap = visitCap(src); cap > 0; --cap) {
        const Khfa_Entry rec = src->currentEntry;
        if (copyEntry(src, dst, mode, e) < 0) {
            e.error(fn, 21, "Cannot copy Khfa_Entry >%s<", rec.name);
            return false;
        }
        if (!copyData(src, dst, e)) {
            e.error(fn, 22, "CopyData fail");
            return false;
        }
        if (!copyModTime(src, dst, e)) return false;
        if (progress(KHFA_COPY_PROGRESS_ADVANCE, KHFA_ENTRY_SIZE + std::max(rec.dataSize, 0), e) !=
            0) {
            if (!e.failed()) e.error(fn, 23, "Aborted");
            return false;
        }
        if (seek(src, KHFA_SEEK_CHILD, nullptr, e)) {
            mode = KHFA_WRITE_FIRST_CHILD;
            ++depth;
            continue;
        }
        if (e.failed()) {
            e.error(fn, 24, "Cannot determine if >%s< has children", rec.name);
            return false;
        }
        for (;;) {
            if (seek(src, KHFA_SEEK_NEXT, nullptr, e)) {
                mode = KHFA_WRITE_NEXT;
                break;
            }
            if (e.failed()) {
                e.error(fn, 25, "CopyChildren fail");
                return false;
            }
            if (depth == 0) return true;
            if (!seek(src, KHFA_SEEK_PARENT, nullptr, e)) {
                e.error(fn, 26, "Cannot reset source entry");
                return false;
            }
            if (!seek(dst, KHFA_SEEK_PARENT, nullptr, e)) {
                e.error(fn, 27, "Cannot reset target");
                return false;
            }
            --depth;
        }
    }
    e.error(fn, 28, "CopyTree fail");
    return false;
}

// The destination's dictionary gets every design of the source's before
// anything else is allocated, and is written back into the space it had,
// so that no free space is left behind in the copy.
bool carryDictionary(Khfa_File *src, Khfa_File *dst, kr::Report &e) {
    static const char *const fn = "khfa_FileCopy";
    for (const Kmif_Design *d = src->dictionary->firstDesign; d; d = d->next) {
        if (kmif_DictionarySearchByName(dst->dictionary, d->name, nullptr)) continue;
        if (!kmif_DictionaryAddDesign(dst->dictionary, d, e.out())) {
            e.error(fn, 40, "Trouble adding design >%s< to dictionary", d->name);
            return false;
        }
    }
    if (!dst->dictionary->modifiedFlag) return true;
    // The dictionary is the last thing in the new file: once freed it is a
    // free block at the end, which the rewrite takes again from its start.
    if (khfa_DictionaryDelete(dst, dst->header.dictionaryPtr, dst->dictionaryLength, e.out()) !=
            0 ||
        khfa_FileFlush(dst, e.out()) != 0) {
        e.error(fn, 41, "khfa_DictionaryWrite failed");
        return false;
    }
    return true;
}

std::string directoryOf(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

// The source's modification and access times and permissions on the copy.
bool copyAttributes(const char *source, const char *destination, kr::Report &e) {
    Kfio_StatCache *cache = nullptr;
    int64_t modified = 0;
    int32_t permissions = 0;
    bool ok = kfio_StatCacheCreate(source, &cache, e.out()) == 0 &&
              kfio_StatCacheGet(cache, e.out(), KFIO_STAT_MODIFY_TIME, &modified,
                                KFIO_STAT_PERMISSIONS, &permissions, 0) == 0;
    kfio_StatCacheFree(cache);
    ok = ok && kfio_Chmod(destination, static_cast<uint32_t>(permissions), e.out()) == 0 &&
         kfio_SetModTime(destination, modified, e.out()) == 0;
    return ok;
}

int fileCopy(const char *source, const char *destination, Kint_InitToolkitData *toolkit,
             const std::vector<intptr_t> &options, kr::Report &e) {
    static const char *const fn = "khfa_FileCopy";
    if (!toolkit) toolkit = kint_GetInit();
    if (!toolkit) {
        e.error(fn, 1, "Thread specific data not found");
        return -1;
    }
    for (intptr_t code : options)
        if (code < KHFA_COPY_OPTION_FIRST || code > KHFA_COPY_OPTION_LAST)
            kr::warn(nullptr, fn, 2, "Unrecognized copy option %d - ignored.",
                     static_cast<int>(code));
    if (!source || !destination) {
        e.error(fn, 3, "Error opening file %s", source ? source : "<NULL>");
        return -1;
    }
    const int open = khfa_FileIsOpen(destination, toolkit, e.out());
    if (open < 0) {
        e.error(fn, 4, "Cannot determine if >%s< is open", destination);
        return -1;
    }
    if (open > 0) {
        e.error(fn, 5, "Cannot copy to >%s< when it is already open", destination);
        return -1;
    }
    Khfa_File *src = khfa_FileOpen(source, "r", toolkit, e.out());
    if (!src) {
        e.error(fn, 6, "Error opening file %s", source);
        return -1;
    }
    bool ok = true;
    Khfa_EntryPosition *saved = nullptr;
    {
        Operation op(src, fn, e.out());
        const int64_t size = op.ok() ? kfio_FileSizeGetByHandle64(src->fd, e.out()) : -1;
        if (size < 0) {
            e.error(fn, 7, "kfio_FileSizeGetByHandle failed");
            ok = false;
        } else if (!kmif_FindDesignByName(src->dictionary, "Khfa_Entry", nullptr)) {
            e.error(fn, 8, "kmif_FindDesignByName fail");
            e.error(fn, 9, "Unable to locate Khfa_Entry design in data dictionary");
            ok = false;
        } else if (progress(KHFA_COPY_PROGRESS_START, size, e) != 0) {
            ok = false;
        } else if (!(saved = khfa_EntryPositionGet(src, e.out()))) {
            e.error(fn, 10, "Can't save entry path");
            ok = false;
        }
    }
    std::string temp;
    Khfa_File *dst = nullptr;
    if (ok) {
        temp = directoryOf(destination) + "/XXXXXX";
        if (!kfio_MakeTemp(temp.data())) {
            e.error(fn, 11, "Temp file name generation failure");
            ok = false;
            temp.clear();
        } else if (!(dst = khfa_FileCreate(temp.c_str(), toolkit, e.out()))) {
            e.error(fn, 12, "Cannot create khfa_File file >%s<", temp.c_str());
            ok = false;
        }
    }
    if (ok) {
        Operation opSrc(src, fn, e.out());
        Operation opDst(dst, fn, e.out());
        // Bulk writing: the free list and header stay in memory and objects
        // are not flushed one by one; closing writes them out.
        static const intptr_t bulk[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 0, 0};
        ok = opSrc.ok() && opDst.ok() && carryDictionary(src, dst, e) &&
             applyOptions(dst, bulk, false, e.out()) && copyTree(src, dst, e);
        if (!ok) e.error(fn, 13, "CopyTree fail");
    }
    if (saved) {
        Kerr_ErrorReport *r = nullptr;
        if (khfa_EntryPositionSet(src, saved, &r) != 0)
            kr::warn(r, fn, 14, "Cannot reset source entry");
        khfa_EntryPositionFree(&saved, nullptr);
    }
    khfa_FileClose(src, nullptr);
    Kerr_ErrorReport *closing = nullptr;
    if (dst && khfa_FileClose(dst, &closing) != 0) {
        if (ok)
            e.wrap(closing, fn, 15, "Cannot close >%s<", temp.c_str());
        else
            kerr_DeleteErrorReport(closing);
        ok = false;
    }
    Kfio_StatInfo info{};
    if (ok && kfio_StatIfPresent(destination, &info, nullptr) == 1 &&
        kfio_FileUnlink(destination, e.out()) != 0) {
        e.error(fn, 16, "Unable to unlink >%s<", destination);
        ok = false;
    }
    if (ok && kfio_FileNameChange(temp.c_str(), destination, e.out()) != 0) {
        e.error(fn, 17, "kfio_FileNameChange failure");
        ok = false;
    }
    if (ok && !copyAttributes(source, destination, e)) {
        e.error(fn, 18, "Cannot give >%s< the times and permissions of >%s<", destination, source);
        ok = false;
    }
    std::vector<unsigned char>().swap(t_buffer);
    if (!ok) {
        if (!temp.empty()) kfio_FileUnlink(temp.c_str(), nullptr);
        e.error(fn, 19, "Unable to copy >%s< to >%s<", source, destination);
        return -1;
    }
    return 0;
}

}  // namespace

}  // namespace kr::hfa

using namespace kr::hfa;

extern "C" {

KRASTER_API int khfa_FileCopyWithOptions(const char *source, const char *destination,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         const intptr_t *options) {
    kr::Report e(err);
    try {
        std::vector<intptr_t> codes;
        for (const intptr_t *o = options; o && *o; ++o) codes.push_back(*o);
        return fileCopy(source, destination, toolkit, codes, e);
    } catch (const std::bad_alloc &) {
        e.error("khfa_FileCopy", 20, "No memory");
        return -1;
    }
}

KRASTER_API int khfa_FileCopy(const char *source, const char *destination,
                              Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...) {
    std::vector<intptr_t> codes;
    va_list ap;
    va_start(ap, err);
    for (int code = va_arg(ap, int); code != 0 && codes.size() < 64; code = va_arg(ap, int))
        codes.push_back(code);
    va_end(ap);
    codes.push_back(0);
    return khfa_FileCopyWithOptions(source, destination, toolkit, err, codes.data());
}

KRASTER_API int khfa_CopyGenericEntry(Khfa_File *source, Khfa_File *destination, int mode,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CopyGenericEntry";
    kr::Report e(err);
    Operation opSrc(source, fn, e.out());
    if (!opSrc.ok()) return -1;
    Operation opDst(destination, fn, e.out());
    if (!opDst.ok()) return -1;
    try {
        if (typeIs(source->currentEntry.type, "root")) return 0;
        return copyEntry(source, destination, mode, e);
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return -1;
    }
}

KRASTER_API int khfa_CopyGenericData(Khfa_File *source, Khfa_File *destination,
                                     Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_CopyGenericData";
    kr::Report e(err);
    Operation opSrc(source, fn, e.out());
    if (!opSrc.ok()) return -1;
    Operation opDst(destination, fn, e.out());
    if (!opDst.ok()) return -1;
    try {
        return copyData(source, destination, e) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 20, "No memory");
        return -1;
    }
}

KRASTER_API void khfa_FileCopySetMeter(Kmet_MeterInfo *meter) {
    t_copy.meter = meter;
}

KRASTER_API int khfa_FileCopyProgressUpdate(int updateType, int64_t value, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return progress(updateType, value, e);
}

}  // extern "C"
