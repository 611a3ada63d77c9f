// HFA file handles: create, open, flush, close, the change protocol and the
// quick test whether a file is an HFA file.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <unistd.h>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_records.hpp"

namespace kr::hfa {

namespace {

constexpr char kLabel[16] = KHFA_HEADER_TAG;  // with its NUL

bool isReadOnlyMode(const char *mode) {
    return kstr_Eqic(mode, "r") || kstr_Eqic(mode, "rb");
}

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// What the header function found.
struct HeaderParts {
    uint32_t headerPtr = 0;
    Khfa_FileHeader header{};
    Kmif_Dictionary *dictionary = nullptr;
    int32_t dictionaryLength = 0;
    bool notHfa = false;
};

// Reads the header tag, the file header and the dictionary of an open file.
// A wrong label is no failure: parts.notHfa is set.
bool readHeader(Khfa_File *file, HeaderParts &parts, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_HeaderRead";
    kr::Report e(err);
    if (file->endOfFile < KHFA_MIN_FILE_SIZE) {
        parts.notHfa = true;
        return true;
    }
    HeaderTag tag{};
    if (!recordRead(file, 0, Record::HeaderTag, &tag, fn, e.out())) {
        e.error(fn, 1, "Header initialization failure");
        return false;
    }
    if (std::memcmp(tag.label, kLabel, sizeof kLabel) != 0) {
        parts.notHfa = true;
        return true;
    }
    if (!recordRead(file, tag.headerPtr, Record::FileHeader, &parts.header, fn, e.out())) {
        e.error(fn, 2, "Header initialization failure");
        return false;
    }
    if (parts.header.dictionaryPtr == 0) {
        e.error(fn, 3, "File does not contain an KMIF dictionary");
        e.error(fn, 4, "Header initialization failure");
        return false;
    }
    parts.dictionaryLength =
        dictionaryRead(file, &parts.dictionary, parts.header.dictionaryPtr, 0, e.out());
    if (parts.dictionaryLength < 0) {
        e.error(fn, 5, "Header initialization failure");
        return false;
    }
    parts.dictionary->modifiedFlag = 0;
    parts.headerPtr = tag.headerPtr;
    return true;
}

void commitHeader(Khfa_File *file, HeaderParts &parts) {
    file->header = parts.header;
    file->headerPtr = parts.headerPtr;
    kmif_DictionaryDestroy(file->dictionary, nullptr);
    file->dictionary = parts.dictionary;
    file->dictionaryLength = parts.dictionaryLength;
    parts.dictionary = nullptr;
}

// Writes the fixed records of a new file and its dictionary.
bool createHeader(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_HeaderCreate";
    kr::Report e(err);
    auto fail = [&](int code) {
        kmif_DictionaryDestroy(file->dictionary, nullptr);
        file->dictionary = nullptr;
        e.error(fn, code, "Header initialization failure");
        return false;
    };
    const Kmif_Design *entryDesign = recordDesign(Record::Entry, e.out());
    if (!entryDesign || !(file->dictionary = fileDictionaryCreate(e.out()))) return fail(1);
    file->header.version = KHFA_FILE_VERSION;
    file->header.freeList = 0;
    file->header.dictionaryPtr = 0;
    file->header.entryHeaderLength = static_cast<int16_t>(entryDesign->fileSize);
    file->headerPtr = KHFA_HEADER_PTR;

    HeaderTag tag{};
    std::memcpy(tag.label, kLabel, sizeof kLabel);
    tag.headerPtr = file->headerPtr;
    // The file grows as the fixed records are written.
    file->endOfFile = KHFA_HEADER_TAG_SIZE;
    if (!recordWrite(file, 0, Record::HeaderTag, &tag, fn, e.out())) return fail(2);
    file->endOfFile = file->headerPtr + KHFA_FILE_HEADER_SIZE;
    if (!recordWrite(file, file->headerPtr, Record::FileHeader, &file->header, fn, e.out()))
        return fail(3);
    const int64_t rootPos = kfio_Tell64(file->fd, e.out());
    if (rootPos <= 0) return fail(4);
    file->header.rootEntryPtr = static_cast<uint32_t>(rootPos);
    if (!recordWrite(file, file->headerPtr, Record::FileHeader, &file->header, fn, e.out()))
        return fail(5);

    Khfa_Entry root{};
    std::strcpy(root.name, "root");
    std::strcpy(root.type, "root");
    root.modTime = now();
    file->endOfFile = rootPos + KHFA_ENTRY_SIZE;
    if (!recordWrite(file, file->header.rootEntryPtr, Record::Entry, &root, fn, e.out()))
        return fail(6);
    if (khfa_FileFlush(file, e.out()) != 0) return fail(7);
    return true;
}

// Frees what a handle owns and the handle; the OS file is left to the caller.
void freeHandle(Khfa_File *file) {
    mapRelease(file);
    kfio_MmapDestroy(file->map);
    entryCacheFree(file);
    freeCacheDrop(file);
    kmif_DictionaryDestroy(file->dictionary, nullptr);
    kmsc_HeapFree(file->name);
    kmsc_HeapFree(file);
}

// Handle set-up shared by create and open. Returns the handle, or NULL: with
// a report, or without one when the file is not an HFA file (notHfa).
Khfa_File *setUp(Khfa_Package *pkg, const char *name, Kfio_Fd *fd, bool create, bool &notHfa,
                 const char *fn, Kerr_ErrorReport **err) {
    kr::Report e(err);
    notHfa = false;
    if (packageDisabled()) {
        e.error(fn, 101, "Khfa package is disabled");
        return nullptr;
    }
    auto *file = static_cast<Khfa_File *>(kmsc_HeapMalloc(sizeof(Khfa_File)));
    if (!file || !(file->name = kstr_Duplicate(name))) {
        kmsc_HeapFree(file);
        e.error(fn, 102, "No memory");
        return nullptr;
    }
    file->fd = fd;
    file->readOnly = fd->writeAccess ? 0 : 1;
    file->changeState = KHFA_CHANGE_BUSY;
    file->localFileSystem = -1;
    file->slot = -1;
    file->endOfFile = kfio_FileSizeGetByHandle64(fd, e.out());
    if (file->endOfFile < 0) {
        freeHandle(file);
        e.error(fn, 103, "kfio_FileSizeGetByHandle failed");
        return nullptr;
    }
    if (file->endOfFile > KHFA_MAX_END)
        kr::warn(nullptr, fn, 104, "File size %ld of file %s exceeds the OS or KHFA limit",
                 static_cast<long>(file->endOfFile), name);

    bool ok;
    if (create) {
        ok = createHeader(file, e.out());
    } else {
        HeaderParts parts;
        ok = readHeader(file, parts, e.out());
        if (ok && !parts.notHfa) commitHeader(file, parts);
        notHfa = parts.notHfa;
    }
    if (!ok || notHfa) {
        freeHandle(file);
        if (!ok) e.error(fn, 105, "diskFileHeaderFunction failed");
        return nullptr;
    }
    if (!entryCacheInit(file, e.out())) {
        freeHandle(file);
        e.error(fn, 106, "CacheInit failed");
        return nullptr;
    }
    if (!addToList(pkg, file, e.out())) {
        freeHandle(file);
        e.error(fn, 107, "Unsuccessful in adding file to the list");
        return nullptr;
    }
    return file;
}

void applyOpenOptions(Khfa_File *file, const intptr_t *options, const char *fn) {
    Kerr_ErrorReport *inner = nullptr;
    if (!applyOptions(file, options, true, &inner))
        kr::warn(inner, fn, 108, "Could not set options on file");
}

}  // namespace

bool validHandle(const Khfa_File *file, const char *fn, Kerr_ErrorReport **err) {
    if (file && file->fd && file->dictionary) return true;
    kr::Report e(err);
    e.error(fn, 9201, "Invalid KHFA file handle");
    return false;
}

Operation::Operation(Khfa_File *file, const char *fn, Kerr_ErrorReport **err) : file_(file) {
    kthr_ThreadUnsafeCodeEnter(0);
    if (!validHandle(file, fn, err)) {
        file_ = nullptr;
        return;
    }
    ok_ = true;
    if (file->changeState == KHFA_CHANGE_STALE) {
        file->changeState = KHFA_CHANGE_BUSY;
        outermost_ = true;
        Kerr_ErrorReport *inner = nullptr;
        if (!reread(file, &inner)) {
            kerr_PrintErrorReport(inner, 0, 0);
            kerr_DeleteErrorReport(inner);
        }
        ok_ = validHandle(file, fn, err);
    } else if (file->changeState == KHFA_CHANGE_IDLE) {
        file->changeState = KHFA_CHANGE_BUSY;
        outermost_ = true;
    }
}

Operation::~Operation() {
    Khfa_FileChangedCallback later = nullptr;
    if (file_ && outermost_) later = exitStep(file_);
    kthr_ThreadUnsafeCodeExit();
    if (later) later(file_);
}

bool reread(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileReread";
    kr::Report e(err);
    entryCacheFree(file);
    // Bytes buffered from before the change must not be served again.
    kfio_BufferFlush(file->fd, nullptr);
    bool ok = true;
    const int64_t size = kfio_FileSizeGetByHandle64(file->fd, e.out());
    if (size < 0) {
        e.error(fn, 1, "kfio_FileSizeGetByHandle failed");
        ok = false;
    } else {
        file->endOfFile = size;
        HeaderParts parts;
        if (!readHeader(file, parts, e.out())) {
            e.error(fn, 2, "Error re-reading header");
            ok = false;
        } else if (parts.notHfa) {
            e.error(fn, 3, "File %s is not an KHFA file",
                    file->name ? file->name : "<Name unknown>");
            ok = false;
        } else {
            commitHeader(file, parts);
            // The cached free list described the file as it was.
            freeCacheDrop(file);
            if (file->writeThroughOff && !freeCacheLoad(file, e.out())) ok = false;
        }
    }
    if (!entryCacheInit(file, e.out())) {
        e.error(fn, 4, "Error re-initializing cache");
        ok = false;
    }
    return ok;
}

}  // namespace kr::hfa

using namespace kr::hfa;

extern "C" {

KRASTER_API Khfa_File *khfa_FileCreate(const char *name, Kint_InitToolkitData *toolkit,
                                       Kerr_ErrorReport **err) {
    return khfa_FileCreateWithOptions(name, toolkit, err, nullptr);
}

KRASTER_API Khfa_File *khfa_FileCreateWithOptions(const char *name, Kint_InitToolkitData *toolkit,
                                                  Kerr_ErrorReport **err, const intptr_t *options) {
    static const char *const fn = "khfa_FileCreateWithOptions";
    kr::Report e(err);
    Khfa_Package *pkg = package(toolkit);
    if (!pkg) {
        e.error(fn, 1, "Kfha package has not been initialized");
        return nullptr;
    }
    if (!name) {
        e.error(fn, 2, "Missing file name");
        return nullptr;
    }
    bool reportNotHfa = true;
    scanOptions(options, fn, reportNotHfa);
    Khfa_File *file = nullptr;
    Khfa_FileChangedCallback later = nullptr;
    {
        Section section;
        if (Khfa_File *open = findOpen(pkg, name)) {
            // The file on disk stays as it is.
            if (!addReference(open, true, e.out())) {
                e.error(fn, 3, "AddRefToFileInOFL Failed");
                return nullptr;
            }
            return open;
        }
        Kfio_Fd *fd = kfio_Open(name, "w+b", e.out());
        if (!fd) {
            e.error(fn, 4, "Error on opening file \"%s\"", name);
            return nullptr;
        }
        bool notHfa = false;
        file = setUp(pkg, name, fd, true, notHfa, fn, e.out());
        if (!file) {
            // Removed by the path already expanded: this may be failing for
            // want of memory.
            ::unlink(fd->path);
            fd->dirty = 0;  // the bytes of a deleted file need not be written
            kfio_Close(fd, nullptr);
            return nullptr;
        }
        applyOpenOptions(file, options, fn);
        later = exitStep(file);  // the new file counts as modified
    }
    if (later) later(file);
    return file;
}

KRASTER_API Khfa_File *khfa_FileOpen(const char *name, const char *mode,
                                     Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    return khfa_FileOpenWithOptions(name, mode, toolkit, err, nullptr);
}

KRASTER_API Khfa_File *khfa_FileOpenWithOptions(const char *name, const char *mode,
                                                Kint_InitToolkitData *toolkit,
                                                Kerr_ErrorReport **err, const intptr_t *options) {
    static const char *const fn = "khfa_FileOpenWithOptions";
    kr::Report e(err);
    Khfa_Package *pkg = package(toolkit);
    if (!pkg) {
        e.error(fn, 1, "Kfha package has not been initialized");
        return nullptr;
    }
    if (!name || !mode) {
        e.error(fn, 2, "Missing file name or mode");
        return nullptr;
    }
    bool reportNotHfa = true;
    scanOptions(options, fn, reportNotHfa);
    auto notHfaOutcome = [&]() -> Khfa_File * {
        if (reportNotHfa) e.error(fn, 3, "File %s is not an KHFA file", name);
        errno = 0;
        return nullptr;
    };
    Khfa_File *file = nullptr;
    Khfa_FileChangedCallback later = nullptr;
    {
        Section section;
        if (Khfa_File *open = findOpen(pkg, name)) {
            if (!addReference(open, !isReadOnlyMode(mode), e.out())) {
                e.error(fn, 4, "AddRefToFileInOFL Failed");
                return nullptr;
            }
            errno = 0;
            return open;
        }
        const int64_t size = kfio_FileSizeExtendedGet(name, nullptr);
        if (size >= 0 && size < KHFA_MIN_FILE_SIZE) return notHfaOutcome();
        Kfio_Fd *fd = kfio_Open(name, mode, e.out());
        if (!fd) {
            const int openErrno = errno;
            e.error(fn, 5, "Error on opening file \"%s\"", name);
            errno = openErrno;
            return nullptr;
        }
        bool notHfa = false;
        file = setUp(pkg, name, fd, false, notHfa, fn, e.out());
        if (!file) {
            kfio_Close(fd, nullptr);
            if (notHfa) return notHfaOutcome();
            errno = 0;
            return nullptr;
        }
        applyOpenOptions(file, options, fn);
        later = exitStep(file);
    }
    if (later) later(file);
    errno = 0;
    return file;
}

KRASTER_API Khfa_File *khfa_SearchListFileOpen(const char *name, const Kfio_SearchList *searchList,
                                               const char *mode, Kint_InitToolkitData *toolkit,
                                               Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_SearchListFileOpen";
    kr::Report e(err);
    char *found = kfio_Which(searchList, name, e.out());
    if (!found) {
        e.error(fn, 1, "Error returned from kfio_Which");
        return nullptr;
    }
    Khfa_File *file = khfa_FileOpen(found, mode, toolkit, e.out());
    kmsc_HeapFree(found);
    if (!file) e.error(fn, 2, "Error returned from khfa_FileOpen");
    return file;
}

KRASTER_API int khfa_FileFlush(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileFlush";
    kr::Report e(err);
    if (!file) {
        e.error(fn, 1, "Invalid file handle!");
        return -1;
    }
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    // Header rewrites wait until the end, so the header is written once.
    ++file->headerDeferred;
    bool ok = true;
    mapRelease(file);
    if (kfio_FileFlush(file->fd, e.out()) != 0) {
        e.error(fn, 2, "File flush failed");
        ok = false;
    }
    if (ok && !file->readOnly) file->changeState = KHFA_CHANGE_MODIFIED;
    if (ok && file->dictionary->modifiedFlag && !file->writeThroughOff && !file->readOnly) {
        const uint32_t oldPos = file->header.dictionaryPtr;
        const int32_t oldLength = file->dictionaryLength;
        uint32_t pos = oldPos;
        int32_t length = oldLength;
        if (!dictionaryWrite(file, file->dictionary, &pos, &length, e.out())) {
            e.error(fn, 3, "khfa_DictionaryWrite failed");
            ok = false;
        } else {
            file->header.dictionaryPtr = pos;
            file->dictionaryLength = length;
            file->dictionary->modifiedFlag = 0;
            if (!headerWrite(file, e.out())) {
                e.error(fn, 4, "Header rewrite failed");
                ok = false;
            } else if (pos != oldPos && oldPos != 0) {
                Kerr_ErrorReport *inner = nullptr;
                if (!freeSpace(file, oldPos, oldLength, &inner))
                    kr::warn(inner, fn, 5, "Troubling freeing up old dictionary");
            }
        }
    }
    --file->headerDeferred;
    if (file->headerPending && !file->writeThroughOff && !file->headerDeferred) {
        Kerr_ErrorReport *inner = nullptr;
        if (!headerWrite(file, &inner)) {
            if (ok)
                e.wrap(inner, fn, 6, "Header rewrite failed");
            else
                kerr_DeleteErrorReport(inner);
            ok = false;
        }
    }
    if (ok && kfio_FileFlush(file->fd, e.out()) != 0) {
        e.error(fn, 7, "File flush failed");
        ok = false;
    }
    mapRenew(file);
    return ok ? 0 : -1;
}

KRASTER_API int khfa_FileClose(Khfa_File *file, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_FileClose";
    kr::Report e(err);
    if (!file) return 0;
    Section section;
    if (file->refCount > 1) {
        --file->refCount;
        return 0;
    }
    removeFromList(file);
    if (file->fd && file->dictionary) {
        Kerr_ErrorReport *inner = nullptr;
        static const intptr_t cacheOn[] = {KHFA_FILE_OPTION_CACHE, 1, 0};
        if (file->batchMode && !applyOptions(file, cacheOn, false, &inner)) {
            kr::warn(inner, fn, 3, "Could not end batch mode on %s", file->name);
            inner = nullptr;
        }
        static const intptr_t writeThroughOn[] = {KHFA_FILE_OPTION_FLUSH_ON_WRITE, 1, 0};
        if (file->writeThroughOff && !applyOptions(file, writeThroughOn, false, &inner)) {
            kr::warn(inner, fn, 1, "Could not write the free list back to %s", file->name);
            inner = nullptr;
        }
        if (khfa_FileFlush(file, &inner) != 0) {
            kerr_PrintErrorReport(inner, 0, 0);
            kerr_DeleteErrorReport(inner);
        }
    }
    Kfio_Fd *fd = file->fd;
    file->fd = nullptr;
    mapRelease(file);
    freeHandle(file);
    if (fd && kfio_Close(fd, e.out()) != 0) {
        // Nobody holds the handle any more: the unwritten bytes are given up
        // (and reported) so that the descriptor is not lost as well.
        fd->dirty = 0;
        kfio_Close(fd, nullptr);
        e.error(fn, 2, "DeleteAndCloseHFAFile");
        return -1;
    }
    return 0;
}

KRASTER_API int32_t khfa_IsHFAFile(const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_IsHFAFile";
    kr::Report e(err);
    if (!name) return 0;
    if (Khfa_Package *pkg = package(nullptr)) {
        Section section;
        if (findOpen(pkg, name)) return 1;
    }
    const int64_t size = kfio_FileSizeExtendedGet(name, nullptr);
    if (size < KHFA_MIN_FILE_SIZE) return 0;
    Kerr_ErrorReport *r = nullptr;
    Kfio_Fd *fd = kfio_Open(name, "r", &r);
    int32_t answer = 0;
    // Failures are printed and answer 0.
    auto fail = [&](int code, const char *message) {
        Kerr_ErrorReport *report = kerr_CreateErrorReport(fn, code, 2, r, message, name);
        r = nullptr;
        kerr_PrintErrorReport(report, 0, 0);
        kerr_DeleteErrorReport(report);
    };
    unsigned char bytes[KHFA_HEADER_TAG_SIZE];
    HeaderTag tag{};
    Khfa_FileHeader header{};
    if (!fd) {
        fail(1, "Unable to open %s");
    } else if (kfio_Seek64(fd, 0, 0, &r) != 0) {
        fail(2, "Seek failure");
    } else if (kfio_ReadSeq(fd, bytes, KHFA_HEADER_TAG_SIZE, &r) != KHFA_HEADER_TAG_SIZE ||
               !unpack(Record::HeaderTag, bytes, &tag, &r)) {
        fail(3, "ConvertToHost failure");
    } else if (std::memcmp(tag.label, kLabel, sizeof kLabel) == 0) {
        if (kfio_Seek64(fd, tag.headerPtr, 0, &r) != tag.headerPtr) {
            fail(4, "Seek failure");
        } else if (kfio_ReadSeq(fd, bytes, KHFA_FILE_HEADER_SIZE, &r) != KHFA_FILE_HEADER_SIZE ||
                   !unpack(Record::FileHeader, bytes, &header, &r)) {
            fail(5, "ConvertToHost failure");
        } else {
            answer = header.dictionaryPtr != 0 ? header.version : 0;
        }
    }
    kerr_DeleteErrorReport(r);
    if (fd) kfio_Close(fd, nullptr);
    return answer;
}

KRASTER_API int khfa_FileIsNotFlushedOnWrite(const Khfa_File *file) {
    if (!file) return 0;
    Section section;
    return file->writeThroughOff ? 1 : 0;
}

KRASTER_API int64_t khfa_FileSize(const Khfa_File *file) {
    if (!file) return -1;
    Section section;
    return file->endOfFile;
}

KRASTER_API const char *khfa_FileName(const Khfa_File *file) {
    return file ? file->name : nullptr;
}

KRASTER_API Kmif_Dictionary *khfa_FileDictionary(const Khfa_File *file) {
    return file ? file->dictionary : nullptr;
}

KRASTER_API int khfa_FileIsReadOnly(const Khfa_File *file) {
    if (!file) return -1;
    Section section;
    return file->readOnly ? 1 : 0;
}

KRASTER_API int khfa_FileChangeState(const Khfa_File *file) {
    if (!file) return KHFA_CHANGE_IDLE;
    Section section;
    return file->changeState;
}

}  // extern "C"
