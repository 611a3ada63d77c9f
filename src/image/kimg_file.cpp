// The public file operations of kimg_: open and close through the shared
// files, identification queries, auxiliary objects exchanged as encoded MIF
// objects with the image's plug-in or its ".aux" support file, and copy,
// rename and destroy of a file with its support files.
#include <kraster/kfio.h>
#include <kraster/kfnp.h>
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_table.hpp"
#include "services/kdll.hpp"

using namespace kr::img;
using kr::Report;

struct Kimg_File {
    AFile *image = nullptr;
    AFile *aux = nullptr;
    // Opens made through this handle with no mode, "r" and "r+b".
    long opens[3] = {0, 0, 0};
    long auxOpens[3] = {0, 0, 0};
    const char *mode = nullptr;  // the mode that succeeded
};

namespace {

const char *const kModes[3] = {nullptr, KIMG_RF_MODE_READ, KIMG_RF_MODE_UPDATE};
const char *const kSupportExtensions[3] = {".aux", ".rrd", ".chp"};

void *nullErr() {
    return nullptr;
}
Kerr_ErrorReport **noReport() {
    return static_cast<Kerr_ErrorReport **>(nullErr());
}

int modeSlot(const char *mode) {
    if (!mode) return 0;
    return std::strcmp(mode, KIMG_RF_MODE_READ) == 0 ? 1 : 2;
}

// Opens the name with the first of the modes that works; *status of the last try.
AFile *openFirst(const char *name, const char *title, std::initializer_list<const char *> modes,
                 const char **used, int *status, Kerr_ErrorReport **err) {
    Report e(err);
    for (const char *mode : modes) {
        e.clear();
        if (AFile *f = afileOpen(name, title, mode, status, e.out())) {
            e.clear();
            *used = mode;
            return f;
        }
        if (*status == KIMG_RF_STATUS_UNRECOGNIZED) return nullptr;
    }
    return nullptr;
}

// Identifies a name (no handle): the serving instance and title index.
AFile *identifyOnly(const char *name, Kerr_ErrorReport **err) {
    int status = 0;
    return afileOpen(name, nullptr, nullptr, &status, err);
}

bool exists(const std::string &name) {
    Kerr_ErrorReport *e = nullptr;
    int kind = kfio_FileNameExistAsFileOrDir(name.c_str(), &e);
    kerr_DeleteErrorReport(e);
    return kind > 0;
}

std::string baseOf(const std::string &name) {
    size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

void freeList(long count, char **list) {
    for (long i = 0; list && i < count; ++i) kmsc_HeapFree(list[i]);
    kmsc_HeapFree(list);
}

// Opens the ".aux" support file of an image whose format needs one.
void attachAux(Kimg_File *f, const char *name) {
    if (!f->image->instance->needsSupportFile) return;
    std::string aux = supportName(name, KIMG_RF_SUPPORT_EXTENSION);
    if (!exists(aux)) return;
    const char *used = nullptr;
    int status = 0;
    Kerr_ErrorReport *e = nullptr;
    bool readOnly = f->mode && std::strcmp(f->mode, KIMG_RF_MODE_READ) == 0;
    f->aux = readOnly ? openFirst(aux.c_str(), KIMG_RF_NATIVE_TITLE, {KIMG_RF_MODE_READ}, &used,
                                  &status, &e)
                      : openFirst(aux.c_str(), KIMG_RF_NATIVE_TITLE,
                                  {KIMG_RF_MODE_UPDATE, KIMG_RF_MODE_READ}, &used, &status, &e);
    if (!f->aux) {
        kr::warn(e, "kimg_FileOpen", 3, "Support file %s cannot be opened", aux.c_str());
        return;
    }
    ++f->auxOpens[modeSlot(used)];
}

// The side that keeps auxiliary objects: the image when its plug-in writes
// them, else the support file.
struct Side {
    AFile *file = nullptr;
    void *handle = nullptr;
    bool aux = false;
};

bool chooseSide(Kimg_File *f, bool forWrite, Side &side, const char *fn, Report &e) {
    RFInstance *img = f->image->instance;
    if (img->fn.FileDataWrite) {
        side.file = f->image;
        side.handle = afileHandle(f->image, forWrite ? KIMG_RF_MODE_UPDATE : KIMG_RF_MODE_READ);
        if (!side.handle) {
            e.error(fn, 10, "Missing img->uHandle");
            return false;
        }
        return true;
    }
    side.aux = true;
    if (!f->aux) {
        e.error(fn, 11, "auxHandle is NULL");
        return false;
    }
    side.file = f->aux;
    side.handle = afileHandle(f->aux, forWrite ? KIMG_RF_MODE_UPDATE : KIMG_RF_MODE_READ);
    if (!side.handle) {
        e.error(fn, 12, "Missing aux->uHandle");
        return false;
    }
    return true;
}

// FileNodePathCorrectForDependentLayerName: in a support file a layer's
// objects may sit under another name; the first node of the path is mapped.
std::string correctPath(const Side &side, const char *nodePath) {
    RFInstance *inst = side.file->instance;
    if (!side.aux || !inst->fn.FileDependentLayerNameGet || !nodePath)
        return nodePath ? nodePath : "";
    std::string path = nodePath;
    size_t start = path.find_first_not_of(':');
    if (start == std::string::npos) return path;
    size_t end = path.find(':', start);
    std::string layer = path.substr(0, end);
    char *dep = nullptr;
    long r = call(*inst, inst->fn.FileDependentLayerNameGet, nullptr, side.handle, layer.c_str(),
                  &dep, noReport());
    if (r >= 0 && dep && *dep) path = dep + (end == std::string::npos ? "" : path.substr(end));
    kmsc_HeapFree(dep);
    return path;
}

// Creates the support file of an image and attaches it for update.
bool createAux(Kimg_File *f, const char *fn, Report &e) {
    std::string aux = supportName(f->image->name, KIMG_RF_SUPPORT_EXTENSION);
    int status = 0;
    AFile *created =
        afileOpen(aux.c_str(), KIMG_RF_NATIVE_TITLE, KIMG_RF_MODE_CREATE, &status, e.out());
    if (!created) {
        e.error(fn, 13, "Cannot create support file %s", aux.c_str());
        return false;
    }
    RFInstance *inst = created->instance;
    if (inst->fn.FileDependentSet)
        call(*inst, inst->fn.FileDependentSet, nullptr, created->updateHandle,
             baseOf(f->image->name).c_str(), noReport());
    afileClose(created, KIMG_RF_MODE_CREATE, nullptr);
    f->aux = afileOpen(aux.c_str(), KIMG_RF_NATIVE_TITLE, KIMG_RF_MODE_UPDATE, &status, e.out());
    if (!f->aux) return false;
    ++f->auxOpens[2];
    return true;
}

struct Encoded {
    unsigned char *data = nullptr;
    long size = 0;
    char *dictionary = nullptr;
    char *type = nullptr;
    ~Encoded() {
        kmsc_HeapFree(data);
        kmsc_HeapFree(dictionary);
        kmsc_HeapFree(type);
    }
};

bool rawRead(Kimg_File *f, const char *nodePath, Encoded &out, const char *fn, Report &e) {
    Side side;
    if (!chooseSide(f, false, side, fn, e)) return false;
    RFInstance *inst = side.file->instance;
    if (!inst->fn.FileDataRead) {
        e.error(fn, 14, "%s:  no method to read %s", side.file->name.c_str(), nodePath);
        return false;
    }
    std::string path = correctPath(side, nodePath);
    Kerr_ErrorReport *perr = nullptr;
    long r = call(*inst, inst->fn.FileDataRead, nullptr, side.handle, path.c_str(), &out.data,
                  &out.size, &out.dictionary, &out.type, &perr);
    if (r < 0 || !out.data || out.size <= 0 || !out.dictionary || !out.type) {
        e.wrap(perr, fn, 15, "Cannot read %s from %s", nodePath, side.file->name.c_str());
        return false;
    }
    kerr_DeleteErrorReport(perr);
    return true;
}

bool rawWrite(Kimg_File *f, const char *nodePath, const unsigned char *data, long size,
              const char *dictionary, const char *type, const char *fn, Report &e) {
    Side side;
    RFInstance *img = f->image->instance;
    if (!img->fn.FileDataWrite && !f->aux) {
        if (!img->needsSupportFile || !afileHandle(f->image, KIMG_RF_MODE_UPDATE)) {
            e.error(fn, 16, "Cannot find a method with which to write data to the image file");
            return false;
        }
        if (!createAux(f, fn, e)) return false;
    }
    if (!chooseSide(f, true, side, fn, e)) return false;
    RFInstance *inst = side.file->instance;
    if (!inst->fn.FileDataWrite) {
        e.error(fn, 16, "Cannot find a method with which to write data to the image file");
        return false;
    }
    std::string path = correctPath(side, nodePath);
    Kerr_ErrorReport *perr = nullptr;
    long r = call(*inst, inst->fn.FileDataWrite, nullptr, side.handle, path.c_str(), data, size,
                  dictionary, type, &perr);
    if (r < 0) {
        e.wrap(perr, fn, 17, "Cannot write %s to %s", nodePath, side.file->name.c_str());
        return false;
    }
    kerr_DeleteErrorReport(perr);
    return true;
}

// As rawRead, telling a missing object (no support file, or the plug-in's
// "no such object" status) from a failure.
int rawReadIfPresent(Kimg_File *f, const char *nodePath, EncodedObject &out, const char *fn,
                     Report &e) {
    Side side;
    if (!f->image->instance->fn.FileDataWrite && !f->aux) return 0;
    if (!chooseSide(f, false, side, fn, e)) return -1;
    RFInstance *inst = side.file->instance;
    if (!inst->fn.FileDataRead) return 0;
    std::string path = correctPath(side, nodePath);
    Kerr_ErrorReport *perr = nullptr;
    int status = 0;
    long r = call(*inst, inst->fn.FileDataRead, &status, side.handle, path.c_str(), &out.data,
                  &out.size, &out.dictionary, &out.type, &perr);
    if (r < 0 && status == KIMG_RF_STATUS_NO_SUCH_FILE) {
        kerr_DeleteErrorReport(perr);
        return 0;
    }
    if (r < 0 || !out.data || out.size <= 0 || !out.dictionary || !out.type) {
        e.wrap(perr, fn, 15, "Cannot read %s from %s", nodePath, side.file->name.c_str());
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 1;
}

// Opens "file(:node)" and splits off the node path.
Kimg_File *openNode(const char *fileNodeName, std::string &nodePath, const char *fn, Report &e) {
    if (!fileNodeName) {
        e.error(fn, 1, "NULL file node name");
        return nullptr;
    }
    Kfnp_FileNodeList *list = kfnp_FileNodeListParse(fileNodeName, e.out());
    if (!list) return nullptr;
    std::string file = list->items[0].fileName;
    nodePath = list->items[0].nodePathCount > 0 ? list->items[0].nodePaths[0] : ":";
    kfnp_FreeNodeList(list);
    Kimg_File *f = kimg_FileOpen(file.c_str(), e.out(), 0);
    if (!f && !e.failed()) e.error(fn, 2, "%s:  Unrecognized format", file.c_str());
    return f;
}

}  // namespace

namespace kr::img {

RFInstance *fileInstance(Kimg_File *file, bool forWrite, void **handle) {
    *handle = afileHandle(file->image, forWrite ? KIMG_RF_MODE_UPDATE : KIMG_RF_MODE_READ);
    return file->image->instance;
}

EncodedObject::~EncodedObject() {
    kmsc_HeapFree(data);
    kmsc_HeapFree(dictionary);
    kmsc_HeapFree(type);
}

int fileObjectRead(Kimg_File *file, const char *nodePath, EncodedObject &out, const char *fn,
                   Kerr_ErrorReport **err) {
    Report e(err);
    if (!file || !nodePath) {
        e.error(fn, 90, "NULL argument");
        return -1;
    }
    return rawReadIfPresent(file, nodePath, out, fn, e);
}

int fileObjectWrite(Kimg_File *file, const char *nodePath, const unsigned char *data, long size,
                    const char *dictionary, const char *type, const char *fn,
                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!file || !nodePath || !data || !dictionary || !type) {
        e.error(fn, 90, "NULL argument");
        return -1;
    }
    return rawWrite(file, nodePath, data, size, dictionary, type, fn, e) ? 0 : -1;
}

}  // namespace kr::img

extern "C" {

KRASTER_API Kimg_File *kimg_FileOpen(const char *fileName, Kerr_ErrorReport **err, ...) {
    constexpr const char *fn = "kimg_FileOpen";
    Report e(err);
    va_list ap;
    va_start(ap, err);
    for (int option; (option = va_arg(ap, int)) != 0;)
        kr::warn(nullptr, fn, 1, "Unrecognized file option %d - ignored.", option);
    va_end(ap);
    if (!fileName || !*fileName) {
        e.error(fn, 2, "No file name");
        return nullptr;
    }
    int status = 0;
    const char *used = nullptr;
    AFile *file = openFirst(fileName, nullptr, {KIMG_RF_MODE_UPDATE, KIMG_RF_MODE_READ, nullptr},
                            &used, &status, e.out());
    if (!file) {
        if (status == KIMG_RF_STATUS_UNRECOGNIZED) {
            e.clear();
            return nullptr;
        }
        e.error(fn, 3, "FileIdentifyAndOpen failed (%ld)", static_cast<long>(status));
        return nullptr;
    }
    auto *f = new Kimg_File;
    f->image = file;
    f->mode = used;
    ++f->opens[modeSlot(used)];
    attachAux(f, fileName);
    return f;
}

KRASTER_API int kimg_FileClose(Kimg_File *file, Kerr_ErrorReport **err) {
    Report e(err);
    if (!file) {
        e.error("kimg_FileClose", 1, "NULL file");
        return -1;
    }
    int rc = 0;
    for (int m = 0; m < 3; ++m) {
        for (long i = 0; i < file->opens[m]; ++i)
            if (afileQueue(file->image, kModes[m], nullptr) < 0) rc = -1;
        for (long i = 0; i < file->auxOpens[m]; ++i)
            if (afileQueue(file->aux, kModes[m], nullptr) < 0) rc = -1;
    }
    delete file;
    if (rc < 0) e.error("kimg_FileClose", 2, "Closing the file failed");
    return rc;
}

KRASTER_API const char *kimg_FileOpenModeGet(const Kimg_File *file) {
    return file ? file->mode : nullptr;
}

KRASTER_API int kimg_FileIsWritable(const Kimg_File *file, Kerr_ErrorReport **err) {
    Report e(err);
    if (!file) {
        e.error("kimg_FileIsWritable", 1, "NULL file");
        return -1;
    }
    return file->opens[2] > 0 ? 1 : 0;
}

KRASTER_API int kimg_FileFlush(Kimg_File *file, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileFlush";
    Report e(err);
    if (!file) {
        e.error(fn, 1, "NULL file");
        return -1;
    }
    for (AFile *a : {file->image, file->aux}) {
        if (!a || !a->updateHandle || !a->instance->fn.FileFlush) continue;
        Kerr_ErrorReport *perr = nullptr;
        if (call(*a->instance, a->instance->fn.FileFlush, nullptr, a->updateHandle, &perr) < 0) {
            e.wrap(perr, fn, 2, "Flush failed on %s", a->name.c_str());
            return -1;
        }
        kerr_DeleteErrorReport(perr);
    }
    return 0;
}

KRASTER_API int kimg_FileNameDequeue(const char *fileName, Kerr_ErrorReport **err) {
    Report e(err);
    if (!fileName) {
        e.error("kimg_FileNameDequeue", 1, "NULL file name");
        return -1;
    }
    dequeueName(fileName);
    for (const char *ext : kSupportExtensions) dequeueName(supportName(fileName, ext));
    return 0;
}

KRASTER_API char *kimg_FileTitleIdentifyX(const char *fileName, char **instanceName,
                                          long *titleIndex, long *status, Kerr_ErrorReport **err) {
    Report e(err);
    if (instanceName) *instanceName = nullptr;
    if (titleIndex) *titleIndex = -1;
    if (status) *status = 0;
    if (!fileName) {
        e.error("kimg_FileTitleIdentify", 1, "NULL file name");
        return nullptr;
    }
    int st = 0;
    Kerr_ErrorReport *ie = nullptr;
    AFile *f = afileOpen(fileName, nullptr, nullptr, &st, &ie);
    if (!f) {
        if (status) {
            *status = st;
            kerr_DeleteErrorReport(ie);
        } else {
            e.wrap(ie, "kimg_FileTitleIdentify", 2);
        }
        return nullptr;
    }
    Section section;
    char *title = kstr_Duplicate(f->instance->titles[f->titleIndex].c_str());
    if (instanceName) *instanceName = kstr_Duplicate(f->instance->name.c_str());
    if (titleIndex) *titleIndex = f->titleIndex;
    afileClose(f, nullptr, nullptr);
    return title;
}

KRASTER_API char *kimg_FileTitleIdentify(const char *fileName, Kerr_ErrorReport **err) {
    return kimg_FileTitleIdentifyX(fileName, nullptr, nullptr, nullptr, err);
}

KRASTER_API int kimg_FileTitleVerify(const char *fileName, const char *title,
                                     Kerr_ErrorReport **err) {
    Report e(err);
    if (!fileName || !title) {
        e.error("kimg_FileTitleVerify", 1, "NULL file name or title");
        return -1;
    }
    long status = 0;
    char *found = kimg_FileTitleIdentifyX(fileName, nullptr, nullptr, &status, nullptr);
    int same = found && std::strcmp(found, title) == 0;
    kmsc_HeapFree(found);
    return same;
}

KRASTER_API int kimg_FileType(const char *fileName, Kerr_ErrorReport **err) {
    Report e(err);
    char *title = kimg_FileTitleIdentify(fileName, e.out());
    if (!title) {
        e.error("kimg_FileType", 1);
        return -1;
    }
    static const struct {
        const char *title;
        int type;
    } kClasses[] = {{"MIRAVEN Image", 0}, {"FFT", 0},           {"PANEL", 0}, {"RRD", 0},
                    {"ORVEL 7.5 LAN", 1}, {"ORVEL 7.5 GIS", 1}, {"GRID", 2},  {"GRID Stack", 2}};
    int type = 3;
    for (const auto &c : kClasses)
        if (std::strcmp(c.title, title) == 0) type = c.type;
    kmsc_HeapFree(title);
    return type;
}

KRASTER_API const char *kimg_FileTypeName(int fileType) {
    static const char *const kNames[] = {"MIRAVEN", "ORVEL 7.5", "ESRI GRID", "UNKNOWN"};
    return kNames[fileType >= 0 && fileType < 3 ? fileType : 3];
}

static int typeList(const char *fn, const char *fileName, bool pixels, long *count, char ***names,
                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!count || !names) {
        e.error(fn, 1, "NULL output");
        return -1;
    }
    *count = 0;
    *names = nullptr;
    AFile *f = fileName ? identifyOnly(fileName, e.out()) : nullptr;
    if (!f) {
        e.error(fn, 2, fileName ? nullptr : "NULL file name");
        return -1;
    }
    Section section;
    int rc = 0;
    if (!ensureLoaded(*f->instance)) {
        e.error(fn, 3, "Conditional load of DLL %s failed", f->instance->path.c_str());
        rc = -1;
    } else {
        const auto &list = pixels ? f->instance->pixelTypes : f->instance->compressions;
        *names = heapList(list);
        *count = static_cast<long>(list.size());
    }
    afileClose(f, nullptr, nullptr);
    return rc;
}

KRASTER_API int kimg_FilePixelTypesGet(const char *fileName, long *count, char ***names,
                                       Kerr_ErrorReport **err) {
    return typeList("kimg_FilePixelTypesGet", fileName, true, count, names, err);
}

KRASTER_API int kimg_FileCompressionTypesGet(const char *fileName, long *count, char ***names,
                                             Kerr_ErrorReport **err) {
    return typeList("kimg_FileCompressionTypesGet", fileName, false, count, names, err);
}

KRASTER_API char *kimg_FileSupportFileIdentify(const char *fileName, Kerr_ErrorReport **err) {
    Report e(err);
    AFile *f = fileName ? identifyOnly(fileName, e.out()) : nullptr;
    if (!f) {
        e.error("kimg_FileSupportFileIdentify", 1, fileName ? nullptr : "NULL file name");
        return nullptr;
    }
    Section section;
    bool loaded = ensureLoaded(*f->instance);
    char *aux = loaded && f->instance->needsSupportFile
                    ? kstr_Duplicate(supportName(fileName, KIMG_RF_SUPPORT_EXTENSION).c_str())
                    : nullptr;
    afileClose(f, nullptr, nullptr);
    if (!loaded) e.error("kimg_FileSupportFileIdentify", 2, "Conditional load of DLL failed");
    return aux;
}

KRASTER_API int kimg_FileSupportFileVerify(const char *fileName, const char *supportName,
                                           Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileSupportFileVerify";
    Report e(err);
    if (!fileName || !supportName) {
        e.error(fn, 1, "NULL file name");
        return -1;
    }
    int status = 0;
    AFile *aux = afileOpen(supportName, KIMG_RF_NATIVE_TITLE, KIMG_RF_MODE_READ, &status, e.out());
    if (!aux) {
        e.error(fn, 2);
        return -1;
    }
    int same = 0;
    RFInstance *inst = aux->instance;
    if (inst->fn.FileDependentGet) {
        char *dep = nullptr;
        void *h = afileHandle(aux, KIMG_RF_MODE_READ);
        if (call(*inst, inst->fn.FileDependentGet, nullptr, h, &dep, noReport()) >= 0 && dep)
            same = baseOf(dep) == baseOf(fileName);
        kmsc_HeapFree(dep);
    }
    afileQueue(aux, KIMG_RF_MODE_READ, nullptr);
    return same;
}

// ---- Auxiliary objects ----------------------------------------------------------

KRASTER_API void *kimg_FileDataRead(Kimg_File *file, const char *nodePath, Kmif_Design **design,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileDataRead";
    Report e(err);
    if (design) *design = nullptr;
    if (!file || !nodePath || !design) {
        e.error(fn, 1, "NULL argument");
        return nullptr;
    }
    Encoded raw;
    if (!rawRead(file, nodePath, raw, fn, e)) return nullptr;
    Kmif_Dictionary *dict = kmif_DictionaryDecodeFromString(raw.dictionary, e.out());
    if (!dict) {
        e.error(fn, 2, "Bad dictionary returned by imagery file for %s", nodePath);
        return nullptr;
    }
    Kmif_Design *found = kmif_DictionarySearchByName(dict, raw.type, nullptr);
    Kmif_Design *copy = found ? kmif_DesignCopy(found, e.out()) : nullptr;
    kmif_DictionaryDelete(dict, nullptr);
    if (!found) {
        e.error(fn, 3, "Design %s not found in dictionary returned by imagery file", raw.type);
        return nullptr;
    }
    void *object = copy ? kmif_ObjectAllocate(copy, e.out()) : nullptr;
    if (!object || kmif_ConvertToHostEx(nullptr, raw.data, raw.size, copy, &object, e.out()) < 0) {
        if (object) kmif_ObjectFree(&object, copy, nullptr);
        kmif_DesignDelete(copy, nullptr);
        e.error(fn, 4, "Cannot decode %s", nodePath);
        return nullptr;
    }
    *design = copy;
    return object;
}

KRASTER_API int kimg_FileDataWrite(Kimg_File *file, const char *nodePath, const void *object,
                                   const Kmif_Design *design, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileDataWrite";
    Report e(err);
    if (!file || !nodePath || !object || !design) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    unsigned char *data = nullptr;
    char *dictionary = nullptr, *type = nullptr;
    int32_t size =
        kmif_MIFableObjectConvertToMIF(object, design, &data, &dictionary, &type, e.out());
    bool ok = size >= 0 && rawWrite(file, nodePath, data, size, dictionary, type, fn, e);
    kmsc_HeapFree(data);
    kmsc_HeapFree(dictionary);
    kmsc_HeapFree(type);
    if (size < 0) e.error(fn, 2, "Cannot encode %s", nodePath);
    return ok ? 0 : -1;
}

KRASTER_API int kimg_FileDataModTimeGet(Kimg_File *file, const char *nodePath, int64_t *modTime,
                                        Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileDataModTimeGet";
    Report e(err);
    Side side;
    if (!file || !nodePath || !modTime) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (!chooseSide(file, false, side, fn, e)) return -1;
    RFInstance *inst = side.file->instance;
    if (!inst->fn.FileDataModTimeGet) {
        e.error(fn, 2, "%s:  no method to get the time of %s", side.file->name.c_str(), nodePath);
        return -1;
    }
    std::string path = correctPath(side, nodePath);
    Kerr_ErrorReport *perr = nullptr;
    if (call(*inst, inst->fn.FileDataModTimeGet, nullptr, side.handle, path.c_str(), modTime,
             &perr) < 0) {
        e.wrap(perr, fn, 3, "Cannot get the time of %s", nodePath);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

KRASTER_API int kimg_FileDataDestroy(Kimg_File *file, const char *nodePath,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileDataDestroy";
    Report e(err);
    Side side;
    if (!file || !nodePath) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    if (!chooseSide(file, true, side, fn, e)) return -1;
    RFInstance *inst = side.file->instance;
    if (!inst->fn.FileDataDestroy) {
        e.error(fn, 2, "%s:  no method to remove %s", side.file->name.c_str(), nodePath);
        return -1;
    }
    std::string path = correctPath(side, nodePath);
    Kerr_ErrorReport *perr = nullptr;
    if (call(*inst, inst->fn.FileDataDestroy, nullptr, side.handle, path.c_str(), &perr) < 0) {
        e.wrap(perr, fn, 3, "Cannot remove %s", nodePath);
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

KRASTER_API void *kimg_FileNodeDataRead(const char *fileNodeName, Kmif_Design **design,
                                        Kerr_ErrorReport **err) {
    Report e(err);
    std::string path;
    Kimg_File *f = openNode(fileNodeName, path, "kimg_FileNodeDataRead", e);
    if (!f) return nullptr;
    void *object = kimg_FileDataRead(f, path.c_str(), design, e.out());
    kimg_FileClose(f, object ? e.out() : nullptr);
    return object;
}

KRASTER_API int kimg_FileNodeDataWrite(const char *fileNodeName, const void *object,
                                       const Kmif_Design *design, Kerr_ErrorReport **err) {
    Report e(err);
    std::string path;
    Kimg_File *f = openNode(fileNodeName, path, "kimg_FileNodeDataWrite", e);
    if (!f) return -1;
    int rc = kimg_FileDataWrite(f, path.c_str(), object, design, e.out());
    kimg_FileClose(f, rc == 0 ? e.out() : nullptr);
    return rc || e.failed() ? -1 : 0;
}

KRASTER_API int kimg_FileNodeDataModTimeGet(const char *fileNodeName, int64_t *modTime,
                                            Kerr_ErrorReport **err) {
    Report e(err);
    std::string path;
    Kimg_File *f = openNode(fileNodeName, path, "kimg_FileNodeDataModTimeGet", e);
    if (!f) return -1;
    int rc = kimg_FileDataModTimeGet(f, path.c_str(), modTime, e.out());
    kimg_FileClose(f, nullptr);
    return rc;
}

KRASTER_API int kimg_FileNodeDataDestroy(const char *fileNodeName, Kerr_ErrorReport **err) {
    Report e(err);
    std::string path;
    Kimg_File *f = openNode(fileNodeName, path, "kimg_FileNodeDataDestroy", e);
    if (!f) return -1;
    int rc = kimg_FileDataDestroy(f, path.c_str(), e.out());
    kimg_FileClose(f, nullptr);
    return rc;
}

KRASTER_API int kimg_FileNonStandardObjectList(Kimg_File *file, long *count, char ***nodePaths,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileNonStandardObjectList";
    Report e(err);
    if (!file || !count || !nodePaths) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    *count = 0;
    *nodePaths = nullptr;
    RFInstance *inst = file->image->instance;
    if (!inst->fn.FileRasterFormatsNonStandardDataNamesGet) return 0;
    void *h = afileHandle(file->image, KIMG_RF_MODE_READ);
    if (!h) {
        e.error(fn, 2, "Missing img->uHandle");
        return -1;
    }
    Kerr_ErrorReport *perr = nullptr;
    if (call(*inst, inst->fn.FileRasterFormatsNonStandardDataNamesGet, nullptr, h, count, nodePaths,
             &perr) < 0 ||
        *count < 0 || (*count > 0 && !*nodePaths)) {
        freeList(*count, *nodePaths);
        *count = 0;
        *nodePaths = nullptr;
        e.wrap(perr, fn, 3, "Cannot list the objects of %s", file->image->name.c_str());
        return -1;
    }
    kerr_DeleteErrorReport(perr);
    return 0;
}

KRASTER_API int kimg_FileNonStandardObjectsCopy(Kimg_File *source, Kimg_File *destination,
                                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileNonStandardObjectsCopy";
    Report e(err);
    if (!source || !destination) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    long count = 0;
    char **paths = nullptr;
    if (kimg_FileNonStandardObjectList(source, &count, &paths, e.out()) < 0) return -1;
    int rc = 0;
    for (long i = 0; i < count && rc == 0; ++i) {
        Encoded raw;
        if (!paths[i] || !rawRead(source, paths[i], raw, fn, e) ||
            !rawWrite(destination, paths[i], raw.data, raw.size, raw.dictionary, raw.type, fn, e))
            rc = -1;
    }
    freeList(count, paths);
    return rc;
}

// ---- The plug-in table ----------------------------------------------------------

KRASTER_API int kimg_RasterFormatsFilterTableGet(long *count, char ***titles, char ***templates,
                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!count || !titles || !templates) {
        e.error("kimg_RasterFormatsFilterTableGet", 1, "NULL argument");
        return -1;
    }
    Section section;
    RFTable *t = table(e.out());
    if (!t) return -1;
    std::vector<std::string> ti, te;
    for (RFInstance *inst : instances(t))
        for (size_t i = 0; i < inst->titles.size(); ++i)
            if (inst->filter[i]) {
                ti.push_back(inst->titles[i]);
                te.push_back(inst->templates[i]);
            }
    *count = static_cast<long>(ti.size());
    *titles = heapList(ti);
    *templates = heapList(te);
    return 0;
}

KRASTER_API int kimg_RasterFormatsDescribe(long *count, Kimg_RFDescription **descriptions,
                                           Kerr_ErrorReport **err) {
    Report e(err);
    if (!count || !descriptions) {
        e.error("kimg_RasterFormatsDescribe", 1, "NULL argument");
        return -1;
    }
    Section section;
    RFTable *t = table(e.out());
    if (!t) return -1;
    std::vector<RFInstance *> usable;
    for (RFInstance *inst : instances(t))
        if (ensureLoaded(*inst)) usable.push_back(inst);
    const auto rejected = rejectedLibraries(t);
    const size_t total = usable.size() + rejected.size();
    auto *d = static_cast<Kimg_RFDescription *>(
        kmsc_HeapMalloc(sizeof(Kimg_RFDescription) * (total + 1)));
    for (size_t k = 0; k < rejected.size(); ++k) {
        Kimg_RFDescription &x = d[usable.size() + k];
        const std::string &path = rejected[k].first, &why = rejected[k].second;
        x.instanceName = kstr_Duplicate(kr::dll::instanceName(path).c_str());
        x.path = kstr_Duplicate(path.c_str());
        x.rejected = 1;
        x.rejectReason = kstr_Duplicate(why.empty() ? "rejected" : why.c_str());
    }
    for (size_t k = 0; k < usable.size(); ++k) {
        const RFInstance &i = *usable[k];
        Kimg_RFDescription &x = d[k];
        x.instanceName = kstr_Duplicate(i.name.c_str());
        x.path = kstr_Duplicate(i.path.c_str());
        x.loaded = i.loaded();
        x.needsSupportFile = i.needsSupportFile;
        x.threadSafe = i.threadSafe;
        x.titleCount = static_cast<long>(i.titles.size());
        x.titles = heapList(i.titles);
        x.templates = heapList(i.templates);
        x.pseudo = static_cast<int32_t *>(kmsc_HeapMalloc(sizeof(int32_t) * i.titles.size()));
        x.creatable = static_cast<int32_t *>(kmsc_HeapMalloc(sizeof(int32_t) * i.titles.size()));
        for (size_t j = 0; j < i.titles.size(); ++j) {
            x.pseudo[j] = i.pseudo[j];
            x.creatable[j] = i.creatable[j];
        }
        x.pixelTypeCount = static_cast<long>(i.pixelTypes.size());
        x.pixelTypes = heapList(i.pixelTypes);
        x.compressionCount = static_cast<long>(i.compressions.size());
        x.compressions = heapList(i.compressions);
        x.layerTypeCount = static_cast<long>(i.layerTypes.size());
        x.layerTypes = heapList(i.layerTypes);
    }
    *count = static_cast<long>(total);
    *descriptions = d;
    return 0;
}

KRASTER_API void kimg_RasterFormatsDescriptionFree(long count, Kimg_RFDescription *d) {
    for (long k = 0; d && k < count; ++k) {
        kmsc_HeapFree(d[k].instanceName);
        kmsc_HeapFree(d[k].path);
        freeList(d[k].titleCount, d[k].titles);
        freeList(d[k].titleCount, d[k].templates);
        kmsc_HeapFree(d[k].pseudo);
        kmsc_HeapFree(d[k].creatable);
        freeList(d[k].pixelTypeCount, d[k].pixelTypes);
        freeList(d[k].compressionCount, d[k].compressions);
        freeList(d[k].layerTypeCount, d[k].layerTypes);
        kmsc_HeapFree(d[k].rejectReason);
    }
    kmsc_HeapFree(d);
}

KRASTER_API long kimg_RasterFormatsLoadedCount(void) {
    return loadedCount();
}

KRASTER_API void kimg_RasterFormatsReset(void) {
    tableReset();
}

}  // extern "C"

namespace kr::img {

char **heapList(const std::vector<std::string> &list) {
    auto **out = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * (list.size() + 1)));
    for (size_t i = 0; out && i < list.size(); ++i) out[i] = kstr_Duplicate(list[i].c_str());
    return out;
}

}  // namespace kr::img
