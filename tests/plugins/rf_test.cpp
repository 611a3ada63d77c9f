// A small raster format plug-in for the tests, built in several variants
// (RF_NAME, RF_TITLE, RF_TEMPLATE, RF_MAGIC, RF_SIG, RF_DATA, RF_FAULT). A
// file of the format starts with the RF_SIG line; stored objects follow as
// lines of hex fields. Every identification, open and close is appended to
// the file named by KTEST_RF_LOG as "<name> <event> <base name>".
#include <kraster/kerr.h>
#include <kraster/kimgrf.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

// With RF_DATA, the file services named in KTEST_RF_FAIL (a list of entry
// names) fail with a report.
// Faults: 1 no title list, 2 garbage titles, 3 garbage pixel types, 4 no
// FileClose, 5 bogus title index, 6 handle for an unidentified file, 7 handle
// without a mode.
#ifndef RF_FAULT
#define RF_FAULT 0
#endif

namespace {

struct Handle {
    std::string path;
};
Handle g_stray;  // what the misbehaving variants hand out

void log(const char *event, const char *name) {
    const char *file = std::getenv("KTEST_RF_LOG");
    if (!file) return;
    const char *slash = std::strrchr(name, '/');
    std::ofstream(file, std::ios::app)
        << RF_NAME << ' ' << event << ' ' << (slash ? slash + 1 : name) << '\n';
}

__attribute__((constructor)) void loaded() {
    log("load", "-");
}

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool ours(const char *name) {
    return readAll(name).rfind(RF_SIG "\n", 0) == 0;
}

std::string hex(const std::string &s) {
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) h += {d[c >> 4], d[c & 15]};
    return h;
}
std::string unhex(const std::string &h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

// Records: key -> fields (type, dictionary, data), the dependent under "@dep".
using Store = std::map<std::string, std::string>;
Store load(const std::string &path) {
    Store st;
    std::istringstream in(readAll(path));
    std::string line, key;
    std::getline(in, line);
    while (in >> key >> line) st[unhex(key)] = line;
    return st;
}
long save(const std::string &path, const Store &st) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << RF_SIG "\n";
    for (const auto &[k, v] : st) out << hex(k) << ' ' << v << '\n';
    return out ? 0 : -1;
}
char *dup(const std::string &s) {
    return kstr_DuplicateN(s.data(), s.size());
}

[[maybe_unused]] const char *g_titles[] = {RF_TITLE};
const char *g_templates[] = {RF_TEMPLATE};
const char *g_magic[] = {RF_MAGIC};
[[maybe_unused]] const char *g_pixels[] = {"u1",  "u2",  "u4",  "u8",  "s8",  "u16", "s16",
                                           "u32", "s32", "f32", "f64", "c64", "c128"};
[[maybe_unused]] const char *g_layers[] = {"athematic", "thematic", "fft"};
#ifndef RF_CREATABLE
#define RF_CREATABLE 1
#endif
long g_creatable[] = {RF_CREATABLE};

[[maybe_unused]] bool failing(const char *entry, Kerr_ErrorReport **err) {
    const char *list = std::getenv("KTEST_RF_FAIL");
    if (!list || !std::strstr(list, entry)) return false;
    if (err)
        *err = kerr_CreateErrorReport(entry, 1, KERR_SEVERITY_ERROR, *err, "%s refused", entry);
    errno = EIO;
    return true;
}

}  // namespace

extern "C" {

#define LIST(array)                            \
    *count = sizeof(array) / sizeof(array[0]); \
    *names = const_cast<char **>(array);       \
    return 0;

#if RF_FAULT != 1
KIMG_RF_EXPORT long InstanceTitleListGet(long *count, char ***names) {
    if (RF_FAULT == 2) return *count = 0, 0;
    LIST(g_titles)
}
#endif
KIMG_RF_EXPORT long InstanceTemplateListGet(long *count,
                                            char ***names){LIST(g_templates)} KIMG_RF_EXPORT
    long InstanceMagicListGet(long *count, char ***names){LIST(g_magic)} KIMG_RF_EXPORT
    long InstanceIsCreatableFlagsGet(long *count, long **flags) {
    *count = 1;
    *flags = g_creatable;
    return 0;
}
#if RF_DATA || RF_FAULT == 3
KIMG_RF_EXPORT long InstancePixelTypesGet(long *count, char ***names) {
    if (RF_FAULT == 3) return -1;
    LIST(g_pixels)
}
KIMG_RF_EXPORT long InstanceLayerTypesGet(long *count, char ***names){LIST(g_layers)}
#endif

KIMG_RF_EXPORT long FileTitleIdentify(const char *name, long *title, Kerr_ErrorReport **) {
    *title = ours(name) ? 0 : -1;
    return *title;
}

KIMG_RF_EXPORT void *FileOpen(const char *name, long, const char *, Kerr_ErrorReport **) {
    return new Handle{name};
}

KIMG_RF_EXPORT void *FileTitleIdentifyAndOpen(const char *name, long *title, const char *mode,
                                              Kerr_ErrorReport **) {
    log("ask", name);
    bool create = mode && std::strcmp(mode, "w+b") == 0;
    if (create) {
        save(name, {});
    } else if (!ours(name)) {
        *title = -1;
        return RF_FAULT == 6 ? &g_stray : nullptr;
    }
    *title = RF_FAULT == 5 ? 1 : 0;
    if (!mode) return RF_FAULT == 7 ? &g_stray : nullptr;
    if (std::strcmp(mode, "r") != 0 && access(name, W_OK) != 0) {
        errno = EACCES;
        return nullptr;
    }
    log("open", name);
    return new Handle{name};
}

#if RF_FAULT != 4
KIMG_RF_EXPORT long FileClose(void *h, Kerr_ErrorReport **) {
    auto *handle = static_cast<Handle *>(h);
    log("close", handle->path.c_str());
    if (handle != &g_stray) delete handle;
    return 0;
}
#endif

KIMG_RF_EXPORT long FileLayerNamesGet(void *, long *count, char ***names, Kerr_ErrorReport **) {
    *count = 0;
    *names = nullptr;
    return 0;
}
KIMG_RF_EXPORT void *LayerOpen(void *, const char *, long *, long *, long *, long *, long *, long *,
                               long *, Kerr_ErrorReport **) {
    errno = ENOENT;
    return nullptr;
}
KIMG_RF_EXPORT long LayerRasterRead(void *, long, long, void *, Kerr_ErrorReport **) {
    return -1;
}

KIMG_RF_EXPORT long FileDependentSet(void *h, const char *dependent, Kerr_ErrorReport **) {
    std::string path = static_cast<Handle *>(h)->path;
    Store st = load(path);
    st["@dep"] = hex(dependent);
    return save(path, st);
}
KIMG_RF_EXPORT long FileDependentGet(void *h, char **dependent, Kerr_ErrorReport **) {
    Store st = load(static_cast<Handle *>(h)->path);
    *dependent = st.count("@dep") ? dup(unhex(st["@dep"])) : nullptr;
    return 0;
}

#if RF_DATA
KIMG_RF_EXPORT long FileFlush(void *, Kerr_ErrorReport **err) {
    return failing("FileFlush", err) ? -1 : 0;
}
KIMG_RF_EXPORT long FileModTimeGet(const char *name, long, int64_t *t, Kerr_ErrorReport **err) {
    if (failing("FileModTimeGet", err)) return -1;
    *t = 12345;
    return ours(name) ? 0 : -1;
}
KIMG_RF_EXPORT long FileDestroy(const char *name, long, Kerr_ErrorReport **err) {
    return failing("FileDestroy", err) ? -1 : unlink(name);
}
KIMG_RF_EXPORT long FileRename(const char *from, const char *to, long, Kerr_ErrorReport **err) {
    return failing("FileRename", err) ? -1 : std::rename(from, to);
}
KIMG_RF_EXPORT long FileCopy(const char *from, const char *to, long, Kerr_ErrorReport **err) {
    if (failing("FileCopy", err)) {
        std::ofstream(to) << "partial";  // a failed copy may leave a part behind
        return -1;
    }
    std::ofstream(to, std::ios::binary) << readAll(from);
    return 0;
}
KIMG_RF_EXPORT long FileDataWrite(void *h, const char *node, const unsigned char *data, long size,
                                  const char *dictionary, const char *type, Kerr_ErrorReport **) {
    std::string path = static_cast<Handle *>(h)->path;
    Store st = load(path);
    st[node] = hex(type) + ":" + hex(dictionary) + ":" +
               hex(std::string(reinterpret_cast<const char *>(data), size));
    return save(path, st);
}
KIMG_RF_EXPORT long FileDataRead(void *h, const char *node, unsigned char **data, long *size,
                                 char **dictionary, char **type, Kerr_ErrorReport **) {
    Store st = load(static_cast<Handle *>(h)->path);
    if (!st.count(node)) return errno = ENOENT, -1;
    const std::string &v = st[node];
    size_t a = v.find(':'), b = v.find(':', a + 1);
    std::string bytes = unhex(v.substr(b + 1));
    *type = dup(unhex(v.substr(0, a)));
    *dictionary = dup(unhex(v.substr(a + 1, b - a - 1)));
    *data = static_cast<unsigned char *>(kmsc_MemDup(bytes.data(), bytes.size()));
    *size = static_cast<long>(bytes.size());
    return 0;
}
#endif

}  // extern "C"
