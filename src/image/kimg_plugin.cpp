// The raster format plug-in table: loading and checking plug-ins
// (RFInstanceCreate), their description records in the configuration
// database file, and loading described plug-ins on first need.
#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kstr.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_table.hpp"
#include "services/kdll.hpp"

namespace kr::img {

namespace {

constexpr const char *kCreate = "RFInstanceCreate";
constexpr long kListMax = 1 << 16;
const char *const kPixelTypeNames[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                                       "u32", "s32", "f32", "f64", "c64", "c128"};

RFTable *g_table = nullptr;

bool has(const std::vector<std::string> &list, const char *s) {
    for (const auto &x : list)
        if (x == s) return true;
    return false;
}

// Reads one string list entry; false for "garbage".
bool readList(const RFInstance &inst, Kimg_RFInstanceListGetFunc f, std::vector<std::string> &out) {
    long count = 0;
    char **names = nullptr;
    long r = call(inst, f, nullptr, &count, &names);
    if (r < 0 || count <= 0 || count > kListMax || !names) return false;
    out.clear();
    for (long i = 0; i < count; ++i) {
        if (!names[i]) return false;
        out.emplace_back(names[i], strnlen(names[i], 4096));
    }
    return true;
}

// Reads a per-title flag list; an absent or ill-sized one leaves the default.
void readFlags(const RFInstance &inst, Kimg_RFInstanceFlagsGetFunc f, std::vector<char> &out,
               char fallback) {
    out.assign(inst.titles.size(), fallback);
    if (!f) return;
    long count = 0;
    long *flags = nullptr;
    if (call(inst, f, nullptr, &count, &flags) < 0 || !flags ||
        count != static_cast<long>(inst.titles.size()))
        return;
    for (long i = 0; i < count; ++i) out[i] = flags[i] != 0;
}

void readPerTitle(const RFInstance &inst, Kimg_RFInstanceListGetFunc f,
                  std::vector<std::string> &out) {
    std::vector<std::string> list;
    if (f && readList(inst, f, list) && list.size() == inst.titles.size())
        out = std::move(list);
    else
        out.assign(inst.titles.size(), "");
}

void rejectLoad(RFInstance &inst, const char *format) {
    warn(nullptr, kCreate, 1, format, inst.path.c_str());
    char text[1024];
    snprintf(text, sizeof text, format, inst.path.c_str());
    inst.rejectReason = text;
}

}  // namespace

// Loads the library at inst.path and fills inst from it (RFInstanceCreate).
// False (with the reason printed as a warning) when the plug-in is unusable.
bool instanceCreate(RFInstance &inst) {
    dlerror();
    void *lib = dlopen(inst.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char *why = dlerror();
        warn(nullptr, kCreate, 2, "Cannot load %s: %s", inst.path.c_str(), why ? why : "?");
        inst.rejectReason = "Cannot load " + inst.path + ": " + (why ? why : "?");
        return false;
    }
    RFInstance fresh;
    fresh.name = inst.name;
    fresh.path = inst.path;
    fresh.library = lib;
    RFEntries &fn = fresh.fn;
    auto fail = [&](const char *format) {
        rejectLoad(inst, format);
        dlclose(lib);
        return false;
    };
    fn.InstanceIsThreadsafe =
        reinterpret_cast<Kimg_RFInstanceIsThreadsafeFunc>(dlsym(lib, "InstanceIsThreadsafe"));
    fresh.threadSafe = fn.InstanceIsThreadsafe && call(fresh, fn.InstanceIsThreadsafe, nullptr);
#define KIMG_RF_LOOKUP(name, type, required) fn.name = reinterpret_cast<type>(dlsym(lib, #name));
    KIMG_RF_ENTRY_POINTS(KIMG_RF_LOOKUP)
#undef KIMG_RF_LOOKUP
    if (!fn.InstanceTitleListGet) return fail("InstanceTitleListGet missing from %s:  DLL ignored");
    if (!readList(fresh, fn.InstanceTitleListGet, fresh.titles))
        return fail("InstanceTitleListGet returning garbage from %s:  DLL ignored");
    if (!fn.InstanceTemplateListGet)
        return fail("InstanceTemplateListGet missing from %s:  DLL ignored");
    if (!readList(fresh, fn.InstanceTemplateListGet, fresh.templates) ||
        fresh.templates.size() != fresh.titles.size())
        return fail("InstanceTemplateListGet returning garbage from %s:  DLL ignored");
    fresh.compressions = {"None"};
    if (fn.InstanceCompressionTypesGet &&
        !readList(fresh, fn.InstanceCompressionTypesGet, fresh.compressions))
        return fail("InstanceCompressionTypesGet returning garbage from %s:  DLL ignored");
    fresh.layerTypes = {"athematic"};
    if (fn.InstanceLayerTypesGet && !readList(fresh, fn.InstanceLayerTypesGet, fresh.layerTypes))
        return fail("InstanceLayerTypesGet returning garbage from %s:  DLL ignored");
    for (const char *t : {"athematic", "thematic", "fft"})
        if (!has(fresh.layerTypes, t)) fresh.needsSupportFile = true;
    fresh.pixelTypes = {"u8"};
    if (fn.InstancePixelTypesGet && !readList(fresh, fn.InstancePixelTypesGet, fresh.pixelTypes))
        return fail("InstancePixelTypesGet returning garbage from %s:  DLL ignored");
    for (const char *t : kPixelTypeNames)
        if (!has(fresh.pixelTypes, t)) fresh.needsSupportFile = true;
    fresh.dataOrders = {"BSQ"};
    if (fn.InstanceRasterDataOrderTypesGet) {
        long count = 0, *writable = nullptr;
        char **names = nullptr;
        long r =
            call(fresh, fn.InstanceRasterDataOrderTypesGet, nullptr, &count, &names, &writable);
        bool ok = r >= 0 && count > 0 && count <= kListMax && names;
        for (long i = 0; ok && i < count; ++i) ok = names[i] != nullptr;
        if (!ok)
            return fail("InstanceRasterDataOrderTypesGet returning garbage from %s:  DLL ignored");
        fresh.dataOrders.assign(names, names + count);
    }
    bool missing = false;
#define KIMG_RF_REQUIRED(name, type, required)                                                    \
    if (required && !fn.name) {                                                                   \
        warn(nullptr, kCreate, 3, #name " missing from %s:  DLL ignored", fresh.path.c_str());    \
        if (!missing) inst.rejectReason = #name " missing from " + fresh.path + ":  DLL ignored"; \
        missing = true;                                                                           \
    }
    KIMG_RF_ENTRY_POINTS(KIMG_RF_REQUIRED)
#undef KIMG_RF_REQUIRED
    if (missing) {
        dlclose(lib);
        return false;
    }
    readPerTitle(fresh, fn.InstanceShortNameListGet, fresh.shortNames);
    readPerTitle(fresh, fn.InstanceExtListGet, fresh.extensions);
    readPerTitle(fresh, fn.InstanceMagicListGet, fresh.magic);
    readFlags(fresh, fn.InstanceIsDirFlagsGet, fresh.isDir, 0);
    readFlags(fresh, fn.InstanceFilterFlagsGet, fresh.filter, 1);
    readFlags(fresh, fn.InstanceIsCreatableFlagsGet, fresh.creatable, 0);
    // A template in angle brackets is shown to users but never matched.
    fresh.pseudo.assign(fresh.templates.size(), 0);
    for (size_t i = 0; i < fresh.templates.size(); ++i) {
        std::string &t = fresh.templates[i];
        if (t.size() >= 2 && t.front() == '<' && t.back() == '>') {
            t = t.substr(1, t.size() - 2);
            fresh.pseudo[i] = 1;
        }
    }
    // A format that cannot keep auxiliary objects itself needs a support file.
    if (!fresh.needsSupportFile) fresh.needsSupportFile = !(fn.FileDataRead && fn.FileDataWrite);
    inst = std::move(fresh);
    return true;
}

bool ensureLoaded(RFInstance &instance) {
    if (instance.rejected) return false;
    if (instance.loaded()) return true;
    if (!instanceCreate(instance)) {
        warn(nullptr, "RFInstanceLoad", 1, "Conditional load of DLL %s failed",
             instance.path.c_str());
        reject(instance);
        return false;
    }
    if (g_table) g_table->magicBuilt = false;  // the loaded lists may differ
    return true;
}

void reject(RFInstance &instance) {
    instance.rejected = true;
    if (g_table) g_table->magicBuilt = false;
}

namespace {

std::string readFile(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes the database beside its final name and renames it into place, so
// that a reader never sees half a file. Failures only cost a rebuild later.
void writeDatabase(const std::string &name, const std::string &text) {
    if (name.empty()) return;
    std::string dir = name.substr(0, name.find_last_of('/'));
    std::string parent = dir.substr(0, dir.find_last_of('/'));
    Kerr_ErrorReport *e = nullptr;
    if (kfio_FileNameExistAsFileOrDir(parent.c_str(), &e) == 0) kfio_MakeDir(parent.c_str(), &e);
    kerr_DeleteErrorReportEx(&e);
    if (kfio_FileNameExistAsFileOrDir(dir.c_str(), &e) == 0) kfio_MakeDir(dir.c_str(), &e);
    kerr_DeleteErrorReportEx(&e);
    std::string tmp = name + "." + std::to_string(getpid()) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return;
        out << text;
        if (!out.flush()) {
            std::remove(tmp.c_str());
            return;
        }
    }
    if (std::rename(tmp.c_str(), name.c_str()) != 0) std::remove(tmp.c_str());
}

// Loads every library of the list; the usable ones join the table loaded.
void loadAll(const std::vector<dll::Library> &libs,
             std::vector<std::unique_ptr<RFInstance>> &list) {
    for (const auto &l : libs) {
        auto inst = std::make_unique<RFInstance>();
        inst->name = l.name;
        inst->path = l.path;
        if (instanceCreate(*inst)) list.push_back(std::move(inst));
    }
}

}  // namespace

RFTable *table(Kerr_ErrorReport **err) {
    Section section;
    if (g_table) return g_table;
    auto t = std::make_unique<RFTable>();
    std::vector<dll::Library> libs = dll::classLibraries(KIMG_RF_CLASS_NAME);
    Kerr_ErrorReport *pe = nullptr;
    bool runtimeScan = kpmg_GetBooleanPreference("orvel", "dll_runtime_scan", 0, &pe) != 0;
    kerr_DeleteErrorReport(pe);
    if (libs.empty()) {
        warn(nullptr, "RFInstanceTableCreate", 1, "No %s DLLs found!", KIMG_RF_CLASS_NAME);
    } else if (runtimeScan) {
        loadAll(libs, t->list);
    } else {
        std::string dbName = databaseFileName();
        if (!databaseParse(readFile(dbName), libs, t->list)) {
            kerr_MessageLog(KERR_SEVERITY_MESSAGE, "Building new list of %s DLLs.",
                            KIMG_RF_CLASS_NAME);
            t->list.clear();
            loadAll(libs, t->list);
            writeDatabase(dbName, databaseFormat(libs, t->list));
        }
    }
    (void)err;
    g_table = t.release();
    return g_table;
}

std::vector<std::pair<std::string, std::string>> rejectedLibraries(RFTable *t) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const dll::Library &lib : dll::classLibraries(KIMG_RF_CLASS_NAME)) {
        const RFInstance *known = nullptr;
        for (auto &p : t->list)
            if (p->path == lib.path) known = p.get();
        if (known && !known->rejected) continue;
        if (known) {
            out.emplace_back(lib.path, known->rejectReason);
            continue;
        }
        // Not in the table: it did not load when the table was built.
        RFInstance probe;
        probe.name = lib.name;
        probe.path = lib.path;
        if (instanceCreate(probe)) {
            dlclose(probe.library);
            continue;
        }
        out.emplace_back(lib.path, probe.rejectReason);
    }
    return out;
}

std::vector<RFInstance *> instances(RFTable *t) {
    std::vector<RFInstance *> v;
    for (auto &p : t->list)
        if (!p->rejected) v.push_back(p.get());
    return v;
}

RFInstance *instanceByTitle(RFTable *t, const std::string &title, long *titleIndex) {
    for (auto &p : t->list) {
        if (p->rejected) continue;
        for (size_t i = 0; i < p->titles.size(); ++i)
            if (p->titles[i] == title) {
                if (titleIndex) *titleIndex = static_cast<long>(i);
                return p.get();
            }
    }
    return nullptr;
}

void tableReset() {
    Section section;
    dequeueAll();
    if (!g_table) return;
    for (auto &p : g_table->list)
        if (p->library) dlclose(p->library);
    magicFree(*g_table);
    delete g_table;
    g_table = nullptr;
}

long loadedCount() {
    Section section;
    long n = 0;
    if (g_table)
        for (auto &p : g_table->list) n += p->loaded() && !p->rejected;
    return n;
}

}  // namespace kr::img
