// Whole-file operations of image files: destroy, rename and copy with the
// support files (".aux", ".rrd", ".chp") and recovery, modification times
// and modes with the generic fall-backs, proxy files and the disk-full
// handler.
#include <kraster/kfio.h>
#include <kraster/kfnp.h>
#include <kraster/kimg.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_table.hpp"

using namespace kr::img;
using kr::Report;

namespace {

const char *const kSupport[3] = {".aux", ".rrd", ".chp"};
constexpr const char *kProxyTitle = "Unrestricted Access Image";

Kimg_DiskFullHandler g_handler = nullptr;
void *g_handlerData = nullptr;

Kerr_ErrorReport **noReport() {
    return nullptr;
}

int kindOf(const std::string &name) {
    Kerr_ErrorReport *e = nullptr;
    int kind = kfio_FileNameExistAsFileOrDir(name.c_str(), &e);
    kerr_DeleteErrorReport(e);
    return kind;
}

std::string baseOf(const std::string &name) {
    size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The serving instance and title of a name (identification only); the
// AFile is released at once, the instance stays in the table.
RFInstance *identify(const std::string &name, long *title, Kerr_ErrorReport **err) {
    int status = 0;
    AFile *f = afileOpen(name.c_str(), nullptr, nullptr, &status, err);
    if (!f) return nullptr;
    Section section;
    RFInstance *inst = f->instance;
    *title = f->titleIndex;
    afileClose(f, nullptr, nullptr);
    return ensureLoaded(*inst) ? inst : nullptr;
}

// Removes one name through its plug-in, or the file or directory itself.
bool destroyOne(const std::string &name, RFInstance *inst, long title, Report &e) {
    if (inst && inst->fn.FileDestroy) {
        Kerr_ErrorReport *perr = nullptr;
        long r = call(*inst, inst->fn.FileDestroy, nullptr, name.c_str(), title, &perr);
        if (r >= 0) {
            kerr_DeleteErrorReport(perr);
            return true;
        }
        e.wrap(perr, "FileDestroy", 1, "%s:  FileDestroy failed", name.c_str());
        return false;
    }
    // GenericFileDestroy
    int kind = kindOf(name);
    if (kind == 1) return kfio_DirectoryRemoveRecursive(name.c_str(), e.out()) == 0;
    if (kind == 2) return kfio_FileUnlink(name.c_str(), e.out()) == 0;
    return true;
}

bool renameOne(const std::string &from, const std::string &to, RFInstance *inst, long title,
               Report &e) {
    if (inst && inst->fn.FileRename) {
        Kerr_ErrorReport *perr = nullptr;
        long r = call(*inst, inst->fn.FileRename, nullptr, from.c_str(), to.c_str(), title, &perr);
        if (r >= 0) {
            kerr_DeleteErrorReport(perr);
            return true;
        }
        e.wrap(perr, "AFileRename", 1, "%s:  FileRename failed", from.c_str());
        return false;
    }
    // GenericFileRename
    return kfio_FileNameChange(from.c_str(), to.c_str(), e.out()) == 0;
}

bool copyOne(const std::string &from, const std::string &to, RFInstance *inst, long title,
             Report &e) {
    if (inst && inst->fn.FileCopy) {
        Kerr_ErrorReport *perr = nullptr;
        long r = call(*inst, inst->fn.FileCopy, nullptr, from.c_str(), to.c_str(), title, &perr);
        if (r >= 0) {
            kerr_DeleteErrorReport(perr);
            return true;
        }
        e.wrap(perr, "RFInstanceFileCopy", 1, "%s:  FileCopy failed", from.c_str());
        return false;
    }
    // GenericFileCopy
    if (kindOf(from) == 1) return kfio_DirectoryCopy(from.c_str(), to.c_str(), e.out()) == 0;
    return kfio_FileCopy(from.c_str(), to.c_str(), e.out()) == 0;
}

// The support file's plug-in for the name, when it can be identified.
RFInstance *supportInstance(const std::string &name, long *title) {
    Kerr_ErrorReport *e = nullptr;
    RFInstance *inst = identify(name, title, &e);
    kerr_DeleteErrorReport(e);
    return inst;
}

// AUXDependentsFix: the support file records the image it serves.
void fixDependent(const std::string &aux, const std::string &image) {
    int status = 0;
    Kerr_ErrorReport *e = nullptr;
    AFile *f = afileOpen(aux.c_str(), KIMG_RF_NATIVE_TITLE, KIMG_RF_MODE_UPDATE, &status, &e);
    if (!f) {
        kr::warn(e, "AUXDependentsFix", 1, "%s:  dependent file name not updated", aux.c_str());
        return;
    }
    RFInstance *inst = f->instance;
    if (inst->fn.FileDependentSet)
        call(*inst, inst->fn.FileDependentSet, nullptr, f->updateHandle, baseOf(image).c_str(),
             noReport());
    afileClose(f, KIMG_RF_MODE_UPDATE, nullptr);
}

// The ".aux" and ".rrd" files beside an image record it as theirs.
void fixDependents(const std::string &image) {
    for (const char *ext : {KIMG_RF_SUPPORT_EXTENSION, ".rrd"}) {
        const std::string support = supportName(image, ext);
        if (support != image && kindOf(support) > 0) fixDependent(support, image);
    }
}

int64_t sizeOf(const std::string &name) {
    Kerr_ErrorReport *e = nullptr;
    int64_t size = kfio_FileSizeExtendedGet(name.c_str(), &e);
    kerr_DeleteErrorReport(e);
    return size > 0 ? size : 0;
}

// The format the destination's name asks for by its templates, when that is
// another format than the source's (another plug-in, or another title of the
// same one): a whole-file copy would then give a file of the wrong format.
// Null when no template claims the name or the source's own does.
RFInstance *otherFormat(const std::string &destination, RFInstance *source, long title,
                        long *destTitle) {
    Section section;
    RFTable *t = table(nullptr);
    if (!t) return nullptr;
    std::string base = baseOf(destination);
    RFInstance *other = nullptr;
    for (RFInstance *inst : instances(t)) {
        if (inst->rejected) continue;
        for (size_t i = 0; i < inst->templates.size(); ++i) {
            if (inst->pseudo[i] || !templateMatch(inst->templates[i].c_str(), base.c_str()))
                continue;
            if (inst == source && static_cast<long>(i) == title) return nullptr;
            if (!other) other = inst, *destTitle = static_cast<long>(i);
        }
    }
    return other;
}

// True when layers can be created in new files of the format's title.
bool canCreateLayers(RFInstance *inst, long title) {
    Section section;
    return inst->creatable[static_cast<size_t>(title)] && ensureLoaded(*inst) &&
           inst->fn.LayerCreate;
}

// What the caller asked of a copy (the options of kimg_FileCopy).
struct CopyOptions {
    const Kimg_Meter *meter = nullptr;
    const char *compression = nullptr;  // layers' compression in the copy
    const char *title = nullptr;        // the copy's format title
};

// The progress of one layer of a copy told to the caller's meter as a share
// of the whole copy.
struct LayerShare {
    const Kimg_Meter *meter;
    long index, count;
    std::string task;
    static int update(double fraction, const char *, void *client) {
        auto *s = static_cast<LayerShare *>(client);
        return s->meter->update(
            (static_cast<double>(s->index) + fraction) / static_cast<double>(s->count),
            s->task.c_str(), s->meter->clientData);
    }
};

// Tells the meter of a whole-file copy; true (with a report) when the caller
// asks to stop.
bool aborted(const CopyOptions &o, double fraction, const char *fn, Report &e) {
    if (!o.meter || o.meter->update(fraction, "Copying file", o.meter->clientData) == 0)
        return false;
    e.error(fn, 11, "User abort");
    return true;
}

// The layers of an image without its pyramid levels (the copy computes its
// own); false with a report.
bool imageLayers(const std::string &from, std::vector<std::string> *out, Report &e) {
    long count = 0;
    char **names = nullptr;
    if (kimg_LayerGetNames(from.c_str(), &count, &names, e.out()) != 0) return false;
    std::vector<std::string> all(names, names + count), levels;
    for (long i = 0; i < count; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    for (const std::string &name : all) {
        Kimg_Layer *l =
            kimg_LayerOpen(name.c_str(), kint_GetInit(), nullptr, KIMG_LAYER_OPTION_READONLY, 0);
        long n = 0;
        char **ss = nullptr;
        if (l && kimg_SSLayerGetNames(l, &n, &ss, nullptr) == 0) {
            for (long k = 0; k < n; ++k) {
                levels.emplace_back(ss[k]);
                kmsc_HeapFree(ss[k]);
            }
            kmsc_HeapFree(ss);
        }
        kimg_LayerClose(l, nullptr);
    }
    for (const std::string &name : all)
        if (std::find(levels.begin(), levels.end(), name) == levels.end()) out->push_back(name);
    return true;
}

// Copies the layers of a file one by one into a new file of another format
// (or of the same format with another compression), named ":Layer_1",
// ":Layer_2" ... in the source's order (the names every format accepts), then
// the objects only the source's format knows.
bool copyLayers(const std::string &from, const std::string &destination, const char *title,
                const CopyOptions &o, const char *fn, Report &e) {
    std::vector<std::string> layers;
    if (!imageLayers(from, &layers, e)) return false;
    const long count = static_cast<long>(layers.size());
    bool ok = count > 0;
    if (!ok) e.error(fn, 10, "%s has no layers to copy", from.c_str());
    for (long i = 0; i < count; ++i) {
        const char *name = layers[static_cast<size_t>(i)].c_str();
        std::string node = ":Layer_" + std::to_string(i + 1);
        char *dst =
            ok ? kimg_LayerNameCreateWithTitle(destination.c_str(), title, node.c_str(), e.out())
               : nullptr;
        LayerShare share{o.meter, i, count, "Copying " + node.substr(1)};
        const Kimg_Meter meter{LayerShare::update, &share};
        intptr_t options[5] = {0};
        int k = 0;
        if (o.meter && o.meter->update) {
            options[k++] = KIMG_LAYER_OPTION_METER;
            options[k++] = reinterpret_cast<intptr_t>(&meter);
        }
        if (o.compression) {
            options[k++] = KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME;
            options[k++] = reinterpret_cast<intptr_t>(o.compression);
        }
        if (ok && (!dst || kimg_LayerCopyVAPtr(name, dst, kint_GetInit(), e.out(), options) != 0)) {
            e.error(fn, 11, "Copying %s failed", name);
            ok = false;
        }
        kmsc_HeapFree(dst);
    }
    if (!ok) return false;
    Kimg_File *src = kimg_FileOpen(from.c_str(), e.out(), 0);
    Kimg_File *dst = src ? kimg_FileOpen(destination.c_str(), e.out(), 0) : nullptr;
    ok = src && dst && kimg_FileNonStandardObjectsCopy(src, dst, e.out()) == 0;
    if (dst) kimg_FileClose(dst, nullptr);
    if (src) kimg_FileClose(src, nullptr);
    if (!ok) e.error(fn, 12, "Copying the objects of %s failed", from.c_str());
    return ok;
}

}  // namespace

extern "C" {

KRASTER_API int kimg_FileModTimeGet(const char *fileName, int64_t *modTime,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileModTimeGet";
    Report e(err);
    if (!fileName || !modTime) {
        e.error(fn, 1, "NULL argument");
        return -1;
    }
    long title = -1;
    RFInstance *inst = identify(fileName, &title, e.out());
    if (!inst) {
        e.error(fn, 2);
        return -1;
    }
    if (inst->fn.FileModTimeGet) {
        Kerr_ErrorReport *perr = nullptr;
        if (call(*inst, inst->fn.FileModTimeGet, nullptr, fileName, title, modTime, &perr) < 0) {
            e.wrap(perr, fn, 3, "%s:  FileModTimeGet failed", fileName);
            return -1;
        }
        kerr_DeleteErrorReport(perr);
        return 0;
    }
    // GenericFileModTimeGet
    Kfio_StatInfo info;
    if (kfio_Stat(fileName, &info, e.out()) != 0) {
        e.error(fn, 4);
        return -1;
    }
    *modTime = info.modifyTime;
    return 0;
}

KRASTER_API int kimg_FileModeGet(const char *fileName, uint32_t *mode, Kerr_ErrorReport **err) {
    Report e(err);
    Kfio_StatInfo info;
    if (!fileName || !mode) {
        e.error("kimg_FileModeGet", 1, "NULL argument");
        return -1;
    }
    if (kfio_Stat(fileName, &info, e.out()) != 0) {
        e.error("kimg_FileModeGet", 2);
        return -1;
    }
    *mode = info.mode & 07777u;
    return 0;
}

KRASTER_API int kimg_FileModeSet(const char *fileName, uint32_t mode, Kerr_ErrorReport **err) {
    Report e(err);
    if (!fileName) {
        e.error("kimg_FileModeSet", 1, "NULL argument");
        return -1;
    }
    // GenericFileModeSet
    if (kfio_Chmod(fileName, mode & 07777u, e.out()) != 0) {
        e.error("kimg_FileModeSet", 2);
        return -1;
    }
    return 0;
}

KRASTER_API int kimg_FileDestroy(const char *fileName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileDestroy";
    Report e(err);
    if (!fileName) {
        e.error(fn, 1, "NULL file name");
        return -1;
    }
    kimg_FileNameDequeue(fileName, nullptr);
    long title = -1;
    RFInstance *inst = identify(fileName, &title, e.out());
    if (!inst) {
        e.error(fn, 2);
        return -1;
    }
    if (!destroyOne(fileName, inst, title, e)) {
        e.error(fn, 3, "Cannot remove %s", fileName);
        return -1;
    }
    for (const char *ext : kSupport) {
        std::string s = supportName(fileName, ext);
        if (s == fileName || kindOf(s) <= 0) continue;
        long st = -1;
        RFInstance *si = supportInstance(s, &st);
        if (!destroyOne(s, si, st, e)) {
            e.error(fn, 4, "Cannot remove %s", s.c_str());
            return -1;
        }
    }
    return 0;
}

KRASTER_API int kimg_FileRename(const char *oldName, const char *newName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileRename";
    Report e(err);
    if (!oldName || !newName) {
        e.error(fn, 1, "NULL file name");
        return -1;
    }
    if (kindOf(newName) > 0) {
        e.error(fn, 2, "Attempt to rename over %s", newName);
        return -1;
    }
    kimg_FileNameDequeue(oldName, nullptr);
    long title = -1;
    RFInstance *inst = identify(oldName, &title, e.out());
    if (!inst) {
        e.error(fn, 3);
        return -1;
    }
    struct Done {
        std::string from, to;
        RFInstance *inst;
        long title;
    };
    std::vector<Done> done;
    bool ok = renameOne(oldName, newName, inst, title, e);
    if (ok) done.push_back({oldName, newName, inst, title});
    for (const char *ext : kSupport) {
        std::string from = supportName(oldName, ext), to = supportName(newName, ext);
        if (!ok || from == oldName || kindOf(from) <= 0) continue;
        if (kindOf(to) > 0) {
            e.error(fn, 2, "Attempt to rename over %s", to.c_str());
            ok = false;
            break;
        }
        long st = -1;
        RFInstance *si = supportInstance(from, &st);
        dequeueName(from);
        ok = renameOne(from, to, si, st, e);
        if (ok) done.push_back({from, to, si, st});
    }
    if (!ok) {
        // Recovery: put back what was renamed.
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            Report back(nullptr);
            if (!renameOne(it->to, it->from, it->inst, it->title, back))
                e.error(fn, 5, "AFileRename failed during recovery");
        }
        e.error(fn, 4, "Rename of %s to %s failed", oldName, newName);
        return -1;
    }
    fixDependents(newName);
    return 0;
}

KRASTER_API int kimg_FileCopy(const char *source, const char *destination, Kerr_ErrorReport **err,
                              ...) {
    constexpr const char *fn = "kimg_FileCopy";
    Report e(err);
    CopyOptions o;
    va_list ap;
    va_start(ap, err);
    for (int option; (option = va_arg(ap, int)) != 0;) {
        switch (option) {
            case KIMG_FILE_COPY_OPTION_METER:
                o.meter = va_arg(ap, const Kimg_Meter *);
                if (o.meter && !o.meter->update) o.meter = nullptr;
                break;
            case KIMG_FILE_COPY_OPTION_COMPRESSION_TYPE_NAME:
                o.compression = va_arg(ap, const char *);
                break;
            case KIMG_FILE_COPY_OPTION_TITLE:
                o.title = va_arg(ap, const char *);
                break;
            default:
                kr::warn(nullptr, fn, 1, "Unrecognized copy option %d - ignored.", option);
        }
    }
    va_end(ap);
    if (!source || !destination) {
        e.error(fn, 2, "NULL file name");
        return -1;
    }
    long title = -1;
    RFInstance *inst = identify(source, &title, e.out());
    if (!inst) {
        e.error(fn, 3);
        return -1;
    }
    std::string from = source;
    // A proxy is resolved to the file it refers to.
    if (inst->titles[title] == kProxyTitle && inst->fn.UAIReferencedFileNameGet) {
        char *referenced = nullptr;
        Kerr_ErrorReport *perr = nullptr;
        if (call(*inst, inst->fn.UAIReferencedFileNameGet, nullptr, source, &referenced, &perr) <
                0 ||
            !referenced) {
            e.wrap(perr, fn, 4, "%s:  referenced file unknown", source);
            return -1;
        }
        kerr_DeleteErrorReport(perr);
        from = referenced;
        kmsc_HeapFree(referenced);
        inst = identify(from, &title, e.out());
        if (!inst) {
            e.error(fn, 3);
            return -1;
        }
    }
    if (kindOf(destination) > 0) {
        e.error(fn, 5, "Attempt to copy over %s", destination);
        return -1;
    }
    long destTitle = -1;
    RFInstance *destInst = o.title ? instanceByTitle(table(nullptr), o.title, &destTitle)
                                   : otherFormat(destination, inst, title, &destTitle);
    if (o.title && !destInst) {
        e.error(fn, 10, "No raster format has the title %s", o.title);
        return -1;
    }
    // A whole-file copy keeps the source's compression: another one asks
    // for the copy layer by layer.
    if (!destInst && o.compression) destInst = inst, destTitle = title;
    if (destInst == inst && destTitle == title && !o.compression) destInst = nullptr;
    if (destInst && !canCreateLayers(destInst, destTitle)) {
        e.error(fn, 6,
                "It is not possible to copy %s as an entire file to %s, nor is it possible to "
                "create output layers of type <%s>.",
                from.c_str(), destination, destInst->titles[destTitle].c_str());
        return -1;
    }
    double need = static_cast<double>(sizeOf(from));
    for (const char *ext : kSupport) need += static_cast<double>(sizeOf(supportName(from, ext)));
    if (!kimg_DiskSpaceAvailable(destination, need)) {
        e.error(fn, 7, "Not enough disk space for %s", destination);
        return -1;
    }
    if (destInst) {
        // Another format: layer by layer. A failure removes what was made,
        // leaving alone support files that were there before.
        bool had[3];
        for (int i = 0; i < 3; ++i) had[i] = kindOf(supportName(destination, kSupport[i])) > 0;
        if (copyLayers(from, destination, destInst->titles[destTitle].c_str(), o, fn, e)) return 0;
        kimg_FileNameDequeue(destination, nullptr);
        std::vector<std::string> made = {destination};
        for (int i = 0; i < 3; ++i)
            if (!had[i]) made.push_back(supportName(destination, kSupport[i]));
        for (const std::string &m : made) {
            if (kindOf(m) <= 0) continue;
            Report back(nullptr);
            long st = -1;
            RFInstance *mi = m == destination ? destInst : supportInstance(m, &st);
            if (!destroyOne(m, mi, m == destination ? destTitle : st, back) && kindOf(m) > 0)
                e.error(fn, 8, "kimg_FileDestroy function failed during recovery");
        }
        e.error(fn, 9, "Copy of %s to %s failed", from.c_str(), destination);
        return -1;
    }
    kimg_FileNameDequeue(from.c_str(), nullptr);
    std::vector<std::string> made;
    bool ok = !aborted(o, 0.0, fn, e) && copyOne(from, destination, inst, title, e);
    if (ok) made.push_back(destination);
    for (const char *ext : kSupport) {
        std::string s = supportName(from, ext), d = supportName(destination, ext);
        if (!ok || s == from || kindOf(s) <= 0) continue;
        if (kindOf(d) > 0) {
            e.error(fn, 5, "Attempt to copy over %s", d.c_str());
            ok = false;
            break;
        }
        long st = -1;
        RFInstance *si = supportInstance(s, &st);
        ok = copyOne(s, d, si, st, e);
        if (ok) made.push_back(d);
    }
    // The whole-file copy cannot be stopped midway: a stop asked for during
    // it removes the copy afterwards.
    if (ok && aborted(o, 1.0, fn, e)) ok = false;
    if (!ok) {
        // Recovery: nothing of the copy stays. A partial destination left by
        // a failed copy is removed too.
        if (made.empty() || made.front() != destination) made.insert(made.begin(), destination);
        for (const std::string &m : made) {
            if (kindOf(m) <= 0) continue;
            Report back(nullptr);
            if (!destroyOne(m, m == destination ? inst : nullptr, title, back) && kindOf(m) > 0)
                e.error(fn, 8, "kimg_FileDestroy function failed during recovery");
        }
        e.error(fn, 9, "Copy of %s to %s failed", from.c_str(), destination);
        return -1;
    }
    fixDependents(destination);
    return 0;
}

KRASTER_API char *kimg_FileProxyName(const char *fileName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_FileProxyName";
    Report e(err);
    if (!fileName) {
        e.error(fn, 1, "NULL file name");
        return nullptr;
    }
    char *evaluated = kfnp_FileNameEvaluateEnv(fileName, e.out());
    char *normal = evaluated ? kfnp_FileNameNormalize(evaluated, e.out()) : nullptr;
    kmsc_HeapFree(evaluated);
    if (!normal) {
        e.error(fn, 2);
        return nullptr;
    }
    std::string target = normal;
    kmsc_HeapFree(normal);
    Section section;
    RFTable *t = table(e.out());
    RFInstance *inst = t ? instanceByTitle(t, kProxyTitle, nullptr) : nullptr;
    if (!inst || !ensureLoaded(*inst) || !inst->fn.UAIFileCreate) {
        e.error(fn, 3, "Missing UAIFileCreateFunc");
        return nullptr;
    }
    std::string proxy = supportName(target, ".uai");
    Kerr_ErrorReport *perr = nullptr;
    if (call(*inst, inst->fn.UAIFileCreate, nullptr, proxy.c_str(), target.c_str(), &perr) < 0) {
        e.wrap(perr, fn, 4, "%s:  proxy file not made", proxy.c_str());
        return nullptr;
    }
    kerr_DeleteErrorReport(perr);
    return kstr_Duplicate(proxy.c_str());
}

KRASTER_API void kimg_DiskFullHandlerRegister(Kimg_DiskFullHandler handler, void *clientData) {
    Section section;
    g_handler = handler;
    g_handlerData = clientData;
}

KRASTER_API int kimg_DiskSpaceAvailable(const char *fileName, double bytesNeeded) {
    std::string where = fileName ? fileName : ".";
    if (kindOf(where) <= 0) {
        size_t slash = where.find_last_of('/');
        where = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
    }
    Kerr_ErrorReport *e = nullptr;
    int64_t available = kfio_BytesAvailable(where.c_str(), &e);
    kerr_DeleteErrorReport(e);
    if (available >= 0 && static_cast<double>(available) >= bytesNeeded) return 1;
    Section section;  // the handler is caller code
    if (!g_handler) return 1;
    return g_handler(bytesNeeded, fileName, g_handlerData);
}

KRASTER_API int kimg_DefaultDiskFullHandler(double bytesNeeded, const char *fileName,
                                            void *clientData) {
    (void)clientData;
    kr::warn(nullptr, "kimg_DefaultDiskFullHandler", 1,
             "There may not be enough disk space for %s, which is estimated to need %d Kb more.",
             fileName ? fileName : "<unknown>", static_cast<int>(bytesNeeded / 1024));
    return 1;
}

}  // extern "C"
