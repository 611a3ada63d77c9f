// Geometric models: the built-in "Identity" model, the "GeometricModels"
// plug-ins (searched along the class's directories, each checked once and
// remembered by its titles), and the list of opened models shared by every
// chain that uses them.
#include <dlfcn.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "services/kdll.hpp"
#include "transform/kxfr_internal.hpp"

namespace kr::xfr {

namespace {

constexpr const char *kLoadFn = "GMInstanceCreate";
constexpr long kTitleMax = 1 << 12;

// ---- The built-in identity: its data is the 2-D identity polynomial. ----

const char kIdentityText[] = "IDENTITY;";
const char kIdentityDesign[] = "Kxfr_Identity";

void *identityNew(Kerr_ErrorReport **err) {
    return kfga_PolyCreate2DIdentity(err);
}
void *identityCopy(const void *, Kerr_ErrorReport **err) {
    return identityNew(err);
}
void identityDestroy(void *data) {
    kfga_PolynomialDelete(static_cast<Kfga_Polynomial *>(data), nullptr);
}
long identityTrue(const void *, const void *) {
    return 1;
}
long identityUsable(const void *) {
    return 1;
}
long identityIsThreadsafe() {
    return 1;
}
long identityTransform(const void *, long count, double *) {
    return count;
}
long identityWindow(const void *, const Kxfr_Window *in, Kxfr_Window *out, Kerr_ErrorReport **) {
    *out = *in;
    return 0;
}
long identityAffine(const void *, Kfga_Polynomial **affine, Kerr_ErrorReport **err) {
    *affine = kfga_PolyCreate2DIdentity(err);
    return *affine ? 1 : -1;
}
char *identitySprintf(const void *, Kerr_ErrorReport **) {
    char *s = static_cast<char *>(kmsc_HeapMalloc(sizeof kIdentityText));
    if (s) memcpy(s, kIdentityText, sizeof kIdentityText);
    return s;
}
void *identitySscanf(const char *text, Kerr_ErrorReport **err) {
    std::string t = text ? text : "";
    t.erase(
        std::remove_if(t.begin(), t.end(), [](char c) { return std::isspace((unsigned char)c); }),
        t.end());
    if (t != kIdentityText) {
        Report e(err);
        e.error("XFormSscanf", 1, "Not an identity transform: %s", text ? text : "<NULL>");
        return nullptr;
    }
    return identityNew(err);
}
char *heapCopy(const char *s) {
    const size_t n = strlen(s) + 1;
    char *c = static_cast<char *>(kmsc_HeapMalloc(n));
    if (c) memcpy(c, s, n);
    return c;
}
long identityToMIF(const void *, char **dictionary, char **designName, unsigned char **bytes,
                   int32_t *size, Kerr_ErrorReport **err) {
    *dictionary = heapCopy(KMIF_KXFR_IDENTITY_DICTIONARY);
    *designName = heapCopy(kIdentityDesign);
    *bytes = static_cast<unsigned char *>(kmsc_HeapMalloc(4));
    if (!*dictionary || !*designName || !*bytes) {
        Report(err).error("XFormConvertToMIF", 1, "No memory");
        return -1;
    }
    (*bytes)[0] = 1;  // the one item, Identity = 1, little-endian
    *size = 4;
    return 0;
}
void *identityFromMIF(const char *, const char *designName, const unsigned char *, int32_t,
                      Kerr_ErrorReport **err) {
    if (!designName || strcmp(designName, kIdentityDesign) != 0) {
        Report(err).error("XFormConvertFromMIF", 1, "Not an identity transform: %s",
                          designName ? designName : "<NULL>");
        return nullptr;
    }
    return identityNew(err);
}

Instance makeIdentity() {
    Instance m;
    m.name = "builtin";
    m.threadSafe = true;
    m.titles = {KXFR_IDENTITY_TITLE};
    Functions &f = m.fn;
    f.InstanceIsThreadsafe = identityIsThreadsafe;
    f.XFormConvertToMIF = identityToMIF;
    f.XFormConvertFromMIF = identityFromMIF;
    f.XFormSscanf = identitySscanf;
    f.XFormSprintf = identitySprintf;
    f.XFormDestroy = identityDestroy;
    f.XFormIsUsable = identityUsable;
    f.XFormIsSame = identityTrue;
    f.XFormIsInverse = identityTrue;
    f.XFormCopy = identityCopy;
    f.XFormInvert = identityCopy;
    f.XFormAffineExtract = identityAffine;
    f.XFormTransform = identityTransform;
    f.XFormTransformWindow = identityWindow;
    return m;
}

Instance g_identity = makeIdentity();

// ---- Plug-ins ----

struct Candidate {
    std::string name, path;
    std::vector<std::string> titles;
};

std::mutex g_mutex;  // guards everything below
bool g_scanned = false;
std::vector<Candidate> g_candidates;
std::vector<Instance *> g_open;

// Loads and checks one library; null (with the reason printed) when unusable.
std::unique_ptr<Instance> instanceCreate(const std::string &name, const std::string &path) {
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        warn(nullptr, kLoadFn, 1, "Conditional load of DLL %s failed", path.c_str());
        return nullptr;
    }
    auto m = std::make_unique<Instance>();
    m->name = name;
    m->path = path;
    m->library = lib;
    Functions &f = m->fn;
    const char *missing = nullptr;
#define KXFR_LOOKUP(fname, type, required)                \
    f.fname = reinterpret_cast<type>(dlsym(lib, #fname)); \
    if (required && !f.fname && !missing) missing = #fname;
    KXFR_MODEL_FUNCTIONS(KXFR_LOOKUP)
#undef KXFR_LOOKUP
    auto reject = [&](const char *format, const char *what) {
        if (what)
            warn(nullptr, kLoadFn, 2, format, what, path.c_str());
        else
            warn(nullptr, kLoadFn, 3, format, path.c_str());
        m->library = nullptr;
        dlclose(lib);
        return nullptr;
    };
    if (missing) return reject("%s missing from %s:  DLL ignored", missing);
    m->threadSafe = f.InstanceIsThreadsafe && call(m.get(), f.InstanceIsThreadsafe) != 0;
    long count = 0;
    char **titles = nullptr;
    const long r = call(m.get(), f.InstanceTitleListGet, &count, &titles);
    bool ok = r >= 0 && count > 0 && count <= kTitleMax && titles;
    for (long i = 0; ok && i < count; ++i) {
        ok = titles[i] && *titles[i];
        if (ok) m->titles.emplace_back(titles[i], strnlen(titles[i], 256));
    }
    if (!ok) return reject("InstanceTitleListGet returning garbage from %s:  DLL ignored", nullptr);
    return m;
}

void scan() {
    if (g_scanned) return;
    g_scanned = true;
    g_candidates.clear();
    for (const dll::Library &lib : dll::classLibraries(KXFR_GEOMETRIC_MODELS_CLASS)) {
        std::unique_ptr<Instance> m = instanceCreate(lib.name, lib.path);
        if (!m) continue;
        g_candidates.push_back({lib.name, lib.path, m->titles});
        dlclose(m->library);
    }
}

int32_t titleIndexOf(const std::vector<std::string> &titles, const char *title) {
    for (size_t i = 0; i < titles.size(); ++i)
        if (titles[i] == title) return static_cast<int32_t>(i);
    return -1;
}

}  // namespace

Instance *identityInstance() {
    return &g_identity;
}

Instance *gmInstanceOpen(const char *title, int32_t *titleIndex, const char *fn, Report &e) {
    if (!title || !*title) {
        e.error(fn, 30, "%s:  Unknown Geometric Model", "<NULL>");
        return nullptr;
    }
    if (strcmp(title, KXFR_IDENTITY_TITLE) == 0) {
        *titleIndex = 0;
        return &g_identity;
    }
    auto shared = [&]() -> Instance * {
        for (Instance *m : g_open)
            if (int32_t i = titleIndexOf(m->titles, title); i >= 0) {
                ++m->references;
                *titleIndex = i;
                return m;
            }
        return nullptr;
    };
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (Instance *m = shared()) return m;
    }
    // Loading calls into plug-ins, which may need the thread-unsafe section:
    // it is taken before the list's mutex, as every caller inside it does.
    kthr_ThreadUnsafeCodeEnter(0);
    Instance *found = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        found = shared();
        if (!found) scan();
        for (size_t k = 0; !found && k < g_candidates.size(); ++k) {
            const Candidate &c = g_candidates[k];
            if (titleIndexOf(c.titles, title) < 0) continue;
            std::unique_ptr<Instance> m = instanceCreate(c.name, c.path);
            const int32_t i = m ? titleIndexOf(m->titles, title) : -1;
            if (i < 0) break;  // the library changed since the scan
            m->references = 1;
            *titleIndex = i;
            g_open.push_back(m.get());
            found = m.release();
        }
    }
    kthr_ThreadUnsafeCodeExit();
    if (found) return found;
    e.error(fn, 30, "%s:  Unknown Geometric Model", title);
    return nullptr;
}

Instance *gmInstanceReference(Instance *m) {
    if (m != &g_identity) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++m->references;
    }
    return m;
}

void gmInstanceClose(Instance *m) {
    if (!m || m == &g_identity) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (--m->references > 0) return;
        g_open.erase(std::remove(g_open.begin(), g_open.end(), m), g_open.end());
    }
    // The last step of the model is gone: the library is unloaded, outside
    // the list's mutex because its static destructors (designs made once)
    // call back into the library. The next open loads it afresh.
    if (m->library) dlclose(m->library);
    delete m;
}

void *gmInstanceFunctionCall(Instance *m, const char *function, const char *fn, Report &e) {
    void *f = m->library ? dlsym(m->library, function) : nullptr;
    if (!f) e.error(fn, 31, "%s: Function not found in %s", function, m->name.c_str());
    return f;
}

void stepRelease(Step &s) {
    if (!s.model) return;
    if (s.data) call(s.model, s.model->fn.XFormDestroy, s.data);
    gmInstanceClose(s.model);
    s = Step{};
}

bool stepCopy(const Step &from, Step &to, const char *fn, Report &e) {
    void *data = call(from.model, from.model->fn.XFormCopy, from.data, e.out());
    if (!data) {
        e.error(fn, 32, "'%s' XFormCopy failed", from.title());
        return false;
    }
    to = Step{gmInstanceReference(from.model), from.titleIndex, data};
    return true;
}

Kxfr_XForm *newChain(const char *fn, Report &e) {
    try {
        return new Kxfr_XForm;
    } catch (const std::bad_alloc &) {
        e.error(fn, 33, "No memory");
        return nullptr;
    }
}

}  // namespace kr::xfr

extern "C" KRASTER_API void kxfr_GeometricModelsReset(void) {
    std::lock_guard<std::mutex> lock(kr::xfr::g_mutex);
    kr::xfr::g_scanned = false;
    kr::xfr::g_candidates.clear();
}
