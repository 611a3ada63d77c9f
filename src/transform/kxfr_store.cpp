// The text and MIF forms of chains, and their storage in HFA files: the
// header node (design Kxfr_GenericXFormHeader, the model title of every
// step) with one child "XForm%ld" per step holding the step's MIF data, and
// the older "XForm" layout of affine, polynomial, projection and rational
// function steps.
#include <kraster/kmsc.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "transform/kxfr_internal.hpp"

using kr::Report;
using namespace kr::xfr;

namespace {

constexpr const char *kHeader = "Kxfr_GenericXFormHeader";
constexpr const char *kAscii = "Kxfr_ASCIIXForm";
constexpr long kMaxSteps = 1 << 16;

struct Header {
    int32_t count;
    Kmif_String *titleList;
};

Kmif_Dictionary *g_dictionary = nullptr;
Kmif_Design *g_string = nullptr;
Kmif_Design *g_header = nullptr;
Kmif_Design *g_ascii = nullptr;

// The module's designs; null with a report when they cannot be made.
bool designs(const char *fn, Report &e) {
    constexpr int kCounted = KMIF_FLAG_COUNTED_POINTER;
    if (KMIF_DESIGN_FETCH(g_dictionary, g_string, "Kmif_String", KMIF_TYPE_S8 | kCounted, "string",
                          0, e.out()) &&
        KMIF_DESIGN_FETCH(g_dictionary, g_header, kHeader, KMIF_TYPE_REFERENCE | kCounted,
                          "titleList", "Kmif_String", 0, e.out()) &&
        KMIF_DESIGN_FETCH(g_dictionary, g_ascii, kAscii, KMIF_TYPE_S8 | kCounted, "xForm", 0,
                          e.out()))
        return true;
    e.error(fn, 60, "KMIF_DESIGN_FETCH failed");
    return false;
}

char *heapString(const std::string &s) {
    char *c = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    if (c) memcpy(c, s.c_str(), s.size() + 1);
    return c;
}

std::string childPath(const char *parent, const char *name) {
    std::string p = parent && *parent ? parent : ":";
    if (p.back() != ':') p += ':';
    return p + name;
}

bool exists(Khfa_File *file, const std::string &path) {
    Kerr_ErrorReport *pe = nullptr;
    const bool found = khfa_EntryPeek(file, KHFA_SEEK_PATH, path.c_str(), &pe) != nullptr;
    kerr_DeleteErrorReport(pe);
    return found;
}

Kxfr_XFormMIF *mifNew(int32_t count) {
    auto *m = static_cast<Kxfr_XFormMIF *>(kmsc_HeapMalloc(sizeof(Kxfr_XFormMIF)));
    if (!m || count == 0) return m;
    m->titles = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * count));
    m->dictionaries = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * count));
    m->designNames = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * count));
    m->data = static_cast<unsigned char **>(kmsc_HeapMalloc(sizeof(unsigned char *) * count));
    m->sizes = static_cast<int32_t *>(kmsc_HeapMalloc(sizeof(int32_t) * count));
    m->count = count;
    if (!m->titles || !m->dictionaries || !m->designNames || !m->data || !m->sizes) {
        kxfr_XFormMIFFree(m);
        return nullptr;
    }
    return m;
}

// The MIF form of one step in slot i of m.
bool stepToMIF(const Step &s, Kxfr_XFormMIF *m, int32_t i, const char *fn, Report &e) {
    m->titles[i] = heapString(s.title());
    if (s.model->fn.XFormConvertToMIF) {
        if (call(s.model, s.model->fn.XFormConvertToMIF, s.data, &m->dictionaries[i],
                 &m->designNames[i], &m->data[i], &m->sizes[i], e.out()) < 0 ||
            !m->dictionaries[i] || !m->designNames[i] || m->sizes[i] < 0) {
            e.error(fn, 61, "'%s' XFormConvertToMIF failed", s.title());
            return false;
        }
        return m->titles[i] != nullptr;
    }
    if (!s.model->fn.XFormSprintf) {
        e.error(fn, 62, "No method to convert '%s' xForm to ASCII", s.title());
        return false;
    }
    char *text = call(s.model, s.model->fn.XFormSprintf, s.data, e.out());
    if (!text) {
        e.error(fn, 63, "XFormSprintf failure for type '%s'", s.title());
        return false;
    }
    Kmif_String wrapped{static_cast<int32_t>(strlen(text) + 1), text};
    const int32_t n = kmif_MIFableObjectConvertToMIF(
        &wrapped, g_ascii, &m->data[i], &m->dictionaries[i], &m->designNames[i], e.out());
    kmsc_HeapFree(text);
    if (n < 0) {
        e.error(fn, 64, "kmif_MIFableObjectConvertToMIF failed");
        return false;
    }
    m->sizes[i] = n;
    return true;
}

// One step from its MIF form.
bool stepFromMIF(const Kxfr_XFormMIF *m, int32_t i, Step &s, const char *fn, Report &e) {
    if (!m->titles[i] || !m->designNames[i] || !m->dictionaries[i] || m->sizes[i] < 0 ||
        (m->sizes[i] > 0 && !m->data[i])) {
        e.error(fn, 65, "Incomplete MIF form of step %ld", static_cast<long>(i));
        return false;
    }
    int32_t index = 0;
    Instance *model = gmInstanceOpen(m->titles[i], &index, fn, e);
    if (!model) {
        e.error(fn, 66, "GMInstanceOpen failed");
        return false;
    }
    void *data = nullptr;
    if (strcmp(m->designNames[i], kAscii) == 0) {
        void *object = nullptr;
        Kmif_Design *design = nullptr;
        if (!model->fn.XFormSscanf) {
            e.error(fn, 67, "Cannot convert ASCIIXForm from type %s", m->titles[i]);
        } else if (kmif_MIFableObjectConvertFromMIFEx(m->data[i], m->sizes[i], m->dictionaries[i],
                                                      m->designNames[i], &object, &design,
                                                      e.out()) >= 0) {
            const Kmif_String *text = static_cast<const Kmif_String *>(object);
            std::string t =
                text->string ? std::string(text->string, strnlen(text->string, text->count)) : "";
            data = call(model, model->fn.XFormSscanf, t.c_str(), e.out());
        }
        kmif_ObjectFree(&object, design, nullptr);
        kmif_DesignDestroy(design, nullptr);
    } else if (!model->fn.XFormConvertFromMIF) {
        e.error(fn, 68, "No method to convert '%s' xForm from MIF", m->titles[i]);
    } else {
        data = call(model, model->fn.XFormConvertFromMIF, m->dictionaries[i], m->designNames[i],
                    m->data[i], m->sizes[i], e.out());
    }
    if (!data) {
        e.error(fn, 69, "Cannot convert '%s' xForm from %s", m->titles[i], m->designNames[i]);
        gmInstanceClose(model);
        return false;
    }
    s = Step{model, index, data};
    return true;
}

// The dictionary text of a design of the file's dictionary (with the
// designs it uses).
char *designText(Khfa_File *file, const char *name, const char *fn, Report &e) {
    const Kmif_Design *d = kmif_DictionarySearchByName(khfa_FileDictionary(file), name, nullptr);
    if (!d) {
        e.error(fn, 70, "Design %s not found in dictionary", name);
        return nullptr;
    }
    Kmif_Dictionary *dict = kmif_DictionaryCreate(e.out());
    char *text = dict && kmif_DictionaryAddDesign(dict, d, e.out())
                     ? kmif_DictionaryEncodeToString(dict, e.out())
                     : nullptr;
    kmif_DictionaryDestroy(dict, nullptr);
    return text;
}

// Slot i of m from the node at path (its type names its design).
bool nodeToMIF(Khfa_File *file, const std::string &path, const char *title, Kxfr_XFormMIF *m,
               int32_t i, const char *fn, Report &e) {
    Khfa_Entry *entry = khfa_EntryPeek(file, KHFA_SEEK_PATH, path.c_str(), e.out());
    if (!entry) return false;
    const std::string type(entry->type, strnlen(entry->type, sizeof entry->type));
    void *bytes = nullptr;
    int32_t size = 0;
    if (khfa_ObjectDataReadIfPresent(file, path.c_str(), nullptr, KHFA_SEEK_PATH, &bytes, &size,
                                     e.out()) != 1) {
        kmsc_HeapFree(bytes);
        return false;
    }
    m->data[i] = static_cast<unsigned char *>(bytes);
    m->sizes[i] = size;
    m->titles[i] = heapString(title);
    m->designNames[i] = heapString(type);
    m->dictionaries[i] = designText(file, type.c_str(), fn, e);
    return m->titles[i] && m->designNames[i] && m->dictionaries[i];
}

// The chain of the older layout below the node "XForm" at path.
Kxfr_XForm *readOlder(Khfa_File *file, const std::string &path, const char *fn, Report &e) {
    std::vector<std::pair<std::string, std::string>> steps;  // name, path
    Khfa_Entry *at = khfa_EntrySeek(file, KHFA_SEEK_PATH, path.c_str(), e.out());
    at = at ? khfa_EntrySeek(file, KHFA_SEEK_CHILD, nullptr, e.out()) : nullptr;
    while (at && static_cast<long>(steps.size()) < kMaxSteps) {
        char *p = khfa_CurrentEntryPath(file, e.out());
        if (!p) return nullptr;
        steps.emplace_back(std::string(at->name, strnlen(at->name, sizeof at->name)), p);
        kmsc_HeapFree(p);
        at = khfa_EntrySeek(file, KHFA_SEEK_NEXT, nullptr, e.out());
    }
    if (e.failed()) return nullptr;
    Kxfr_XForm *x = kxfr_XFormNew(e.out());
    for (size_t i = 0; x && i < steps.size(); ++i) {
        const std::string &name = steps[i].first, &p = steps[i].second;
        Kxfr_XForm *step = nullptr;
        const char *failed = nullptr;
        if (name == "XFormAffine") {
            // The polynomial is the node's own data.
            Kfga_Polynomial *poly = nullptr;
            void *object = nullptr;
            const Kmif_Design *d = kfga_PolynomialDesign(e.out());
            if (d &&
                khfa_ObjectRead(file, p.c_str(), nullptr, KHFA_SEEK_PATH, &object, d, e.out()) ==
                    0 &&
                object)
                poly = kfga_PolynomialCopyFromPrivate(static_cast<Kfga_PolynomialPrivate *>(object),
                                                      e.out());
            kmif_ObjectFree(&object, d, nullptr);
            step = poly ? kxfr_XFormCreateFromAffinePoly(poly, e.out()) : nullptr;
            kfga_PolynomialDelete(poly, nullptr);
            failed = "affineRead failed";
        } else if (name == "XFormPolynomial") {
            Kfga_Polynomial *fwd =
                kfga_PolynomialRead(file, p.c_str(), KFGA_FORWARD_POLYNOMIAL, e.out());
            Kfga_Polynomial *inv =
                fwd ? kfga_PolynomialRead(file, p.c_str(), KFGA_INVERSE_POLYNOMIAL, e.out())
                    : nullptr;
            step = inv ? kxfr_XFormCreateFromPolyPair(fwd, inv, e.out()) : nullptr;
            kfga_PolynomialDelete(fwd, nullptr);
            kfga_PolynomialDelete(inv, nullptr);
            failed = "polypairRead failed";
        } else if (name == "XFormProjection") {
            Kprj_ProParameters *side[2] = {};
            const char *names[2] = {"InputProjection", "OutputProjection"};
            for (int k = 0; k < 2 && (k == 0 || side[0]); ++k)
                if (khfa_EntrySeek(file, KHFA_SEEK_PATH, childPath(p.c_str(), names[k]).c_str(),
                                   e.out()))
                    side[k] = kprj_ProParametersReadSimple(file, e.out());
            Kprj_Projection in{const_cast<char *>("Kprj_ProParameters"), nullptr};
            Kprj_Projection out = in;
            Kprj_MapProjection mi{}, mo{};
            mi.proParameters = side[0];
            mo.proParameters = side[1];
            in.mapProjection = &mi;
            out.mapProjection = &mo;
            Kprj_ProjectionPair pair{&in, &out};
            step = side[1] ? kxfr_XFormCreateFromProjPair(&pair, e.out()) : nullptr;
            kprj_ProParametersFree(side[0]);
            kprj_ProParametersFree(side[1]);
            failed = "projpairRead failed";
        } else if (name == "XFormRationalFunction") {
            Kxfr_XFormMIF *m = mifNew(1);
            step = m && nodeToMIF(file, p, "Rational Function", m, 0, fn, e)
                       ? kxfr_XFormConvertFromMIF(m, e.out())
                       : nullptr;
            kxfr_XFormMIFFree(m);
            failed = "Rational Function read failed";
        } else {
            e.error(fn, 71, "Unrecognized type");
        }
        if (!step || kxfr_XFormComposition(x, step, e.out()) != 0) {
            if (failed) e.error(fn, 72, "%s", failed);
            kxfr_XFormFree(step);
            kxfr_XFormFree(x);
            return nullptr;
        }
        kxfr_XFormFree(step);
    }
    return x;
}

}  // namespace

extern "C" {

KRASTER_API void kxfr_XFormMIFFree(Kxfr_XFormMIF *mif) {
    if (!mif) return;
    for (int32_t i = 0; i < mif->count; ++i) {
        if (mif->titles) kmsc_HeapFree(mif->titles[i]);
        if (mif->dictionaries) kmsc_HeapFree(mif->dictionaries[i]);
        if (mif->designNames) kmsc_HeapFree(mif->designNames[i]);
        if (mif->data) kmsc_HeapFree(mif->data[i]);
    }
    kmsc_HeapFree(mif->titles);
    kmsc_HeapFree(mif->dictionaries);
    kmsc_HeapFree(mif->designNames);
    kmsc_HeapFree(mif->data);
    kmsc_HeapFree(mif->sizes);
    kmsc_HeapFree(mif);
}

KRASTER_API int kxfr_XFormConvertToASCII(const Kxfr_XForm *xForm, int32_t *count, char ***titles,
                                         char ***texts, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormConvertToASCII";
    Report e(err);
    if (!xForm || !count || !titles || !texts) {
        e.error(fn, 1, "NULL xForm or result");
        return -1;
    }
    if (xForm->compacted) {
        e.error(fn, 2, "Cannot convert compacted XForms");
        return -1;
    }
    const size_t n = xForm->steps.size();
    char **t = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * (n + 1)));
    char **x = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * (n + 1)));
    bool ok = t && x;
    if (!ok) e.error(fn, 3, "No memory");
    for (size_t i = 0; ok && i < n; ++i) {
        const Step &s = xForm->steps[i];
        if (!s.model->fn.XFormSprintf) {
            e.error(fn, 4, "No method to convert '%s' xForm to ASCII", s.title());
            ok = false;
        } else if (!(x[i] = call(s.model, s.model->fn.XFormSprintf, s.data, e.out()))) {
            e.error(fn, 5, "XFormSprintf failure for type '%s'", s.title());
            ok = false;
        } else if (!(t[i] = heapString(s.title()))) {
            e.error(fn, 3, "No memory");
            ok = false;
        }
    }
    if (!ok) {
        for (size_t i = 0; t && x && i < n; ++i) {
            kmsc_HeapFree(t[i]);
            kmsc_HeapFree(x[i]);
        }
        kmsc_HeapFree(t);
        kmsc_HeapFree(x);
        return -1;
    }
    *count = static_cast<int32_t>(n);
    *titles = t;
    *texts = x;
    return 0;
}

KRASTER_API Kxfr_XForm *kxfr_XFormConvertFromASCII(int32_t count, const char *const *titles,
                                                   const char *const *texts,
                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormConvertFromASCII";
    Report e(err);
    if (count < 0 || (count > 0 && (!titles || !texts))) {
        e.error(fn, 1, "Invalid lists");
        return nullptr;
    }
    Kxfr_XForm *x = newChain(fn, e);
    for (int32_t i = 0; x && i < count; ++i) {
        int32_t index = 0;
        Instance *m = gmInstanceOpen(titles[i], &index, fn, e);
        void *data = nullptr;
        if (m && !m->fn.XFormSscanf)
            e.error(fn, 2, "No method to convert '%s' xForm from ASCII", titles[i]);
        else if (m && !(data = call(m, m->fn.XFormSscanf, texts[i] ? texts[i] : "", e.out())))
            e.error(fn, 3, "'%s' XFormSscanf failed", titles[i]);
        if (!data) {
            gmInstanceClose(m);
            kxfr_XFormFree(x);
            return nullptr;
        }
        x->steps.push_back(Step{m, index, data});
    }
    return x;
}

KRASTER_API int kxfr_XFormPrint(const Kxfr_XForm *xForm, FILE *stream, Kerr_ErrorReport **err) {
    Report e(err);
    int32_t n = 0;
    char **titles = nullptr, **texts = nullptr;
    if (kxfr_XFormConvertToASCII(xForm, &n, &titles, &texts, e.out()) != 0) {
        e.error("kxfr_XFormPrint", 1);
        return -1;
    }
    for (int32_t i = 0; i < n; ++i) {
        fprintf(stream ? stream : stdout, "%s\n", texts[i]);
        kmsc_HeapFree(titles[i]);
        kmsc_HeapFree(texts[i]);
    }
    fprintf(stream ? stream : stdout, "\n");
    kmsc_HeapFree(titles);
    kmsc_HeapFree(texts);
    return 0;
}

KRASTER_API int kxfr_XFormPrintStdout(const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    return kxfr_XFormPrint(xForm, stdout, err);
}

KRASTER_API Kxfr_XFormMIF *kxfr_XFormConvertToMIF(const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormConvertToMIF";
    Report e(err);
    if (!xForm) {
        e.error(fn, 1, "NULL xForm");
        return nullptr;
    }
    if (xForm->compacted) {
        e.error(fn, 2, "Cannot convert compacted XForms");
        return nullptr;
    }
    if (!designs(fn, e)) return nullptr;
    Kxfr_XFormMIF *m = mifNew(static_cast<int32_t>(xForm->steps.size()));
    if (!m) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
    for (int32_t i = 0; i < m->count; ++i)
        if (!stepToMIF(xForm->steps[i], m, i, fn, e)) {
            kxfr_XFormMIFFree(m);
            return nullptr;
        }
    return m;
}

KRASTER_API Kxfr_XForm *kxfr_XFormConvertFromMIF(const Kxfr_XFormMIF *mif, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormConvertFromMIF";
    Report e(err);
    if (!mif || mif->count < 0 ||
        (mif->count > 0 &&
         (!mif->titles || !mif->dictionaries || !mif->designNames || !mif->data || !mif->sizes))) {
        e.error(fn, 1, "Invalid MIF form");
        return nullptr;
    }
    Kxfr_XForm *x = newChain(fn, e);
    for (int32_t i = 0; x && i < mif->count; ++i) {
        Step s;
        if (!stepFromMIF(mif, i, s, fn, e)) {
            kxfr_XFormFree(x);
            return nullptr;
        }
        x->steps.push_back(s);
    }
    return x;
}

KRASTER_API int kxfr_XFormWriteWithName(Khfa_File *file, const char *parentPath, const char *name,
                                        const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormWriteWithName";
    Report e(err);
    if (!file || !xForm) {
        e.error(fn, 1, "NULL file or xForm");
        return -1;
    }
    if (xForm->compacted) {
        e.error(fn, 2, "Cannot write compacted XForms");
        return -1;
    }
    if (!name || !*name) name = KXFR_DEFAULT_NODE_NAME;
    Kxfr_XFormMIF *m = kxfr_XFormConvertToMIF(xForm, e.out());
    if (!m) {
        e.error(fn, 3, "kxfr_XFormConvertToMIF failed");
        return -1;
    }
    const std::string node = childPath(parentPath, name);
    if (exists(file, node)) {
        Kerr_ErrorReport *de = nullptr;
        if (khfa_ObjectDelete(file, node.c_str(), nullptr, KHFA_SEEK_PATH, &de) != 0)
            kr::warn(de, fn, 4, "khfa_ObjectDelete failed");
        else
            kerr_DeleteErrorReport(de);
    }
    Kmif_Dictionary *fileDictionary = khfa_FileDictionary(file);
    std::vector<Kmif_String> titles(m->count);
    for (int32_t i = 0; i < m->count; ++i)
        titles[i] = {static_cast<int32_t>(strlen(m->titles[i]) + 1), m->titles[i]};
    Header header{m->count, titles.empty() ? nullptr : titles.data()};
    bool ok = fileDictionary && kmif_DictionaryAddDesign(fileDictionary, g_header, e.out()) &&
              khfa_ObjectWrite(file, parentPath && *parentPath ? parentPath : ":", name, kHeader,
                               KHFA_WRITE_LAST_CHILD, &header, g_header, e.out()) == 0;
    if (!ok) e.error(fn, 5, "khfa_ObjectWrite failed");
    for (int32_t i = 0; ok && i < m->count; ++i) {
        Kmif_Dictionary *stepDictionary =
            kmif_DictionaryDecodeFromString(m->dictionaries[i], e.out());
        const Kmif_Design *d =
            stepDictionary ? kmif_DictionarySearchByName(stepDictionary, m->designNames[i], nullptr)
                           : nullptr;
        ok = d && kmif_DictionaryAddDesign(fileDictionary, d, e.out());
        if (!ok)
            e.error(fn, 6, "Design %s of step %ld cannot be copied", m->designNames[i],
                    static_cast<long>(i));
        kmif_DictionaryDestroy(stepDictionary, nullptr);
        char child[32];
        snprintf(child, sizeof child, "XForm%ld", static_cast<long>(i));
        if (ok &&
            khfa_ObjectDataWrite(file, node.c_str(), child, m->designNames[i],
                                 KHFA_WRITE_LAST_CHILD, m->data[i], m->sizes[i], e.out()) != 0) {
            e.error(fn, 7, "khfa_ObjectDataWrite failed");
            ok = false;
        }
    }
    kxfr_XFormMIFFree(m);
    return ok ? 0 : -1;
}

KRASTER_API int kxfr_XFormWrite(Khfa_File *file, const char *parentPath, const Kxfr_XForm *xForm,
                                Kerr_ErrorReport **err) {
    return kxfr_XFormWriteWithName(file, parentPath, KXFR_DEFAULT_NODE_NAME, xForm, err);
}

KRASTER_API Kxfr_XForm *kxfr_XFormReadIfPresent(Khfa_File *file, const char *parentPath,
                                                Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormReadIfPresent";
    Report e(err);
    if (!file) {
        e.error(fn, 1, "NULL file");
        return nullptr;
    }
    const std::string node = childPath(parentPath, KXFR_DEFAULT_NODE_NAME);
    if (!exists(file, node)) {
        const std::string older = childPath(parentPath, "XForm");
        if (!exists(file, older)) return nullptr;
        Kxfr_XForm *x = readOlder(file, older, fn, e);
        if (!x) e.error(fn, 2, "Cannot read the transform at %s", older.c_str());
        return x;
    }
    if (!designs(fn, e)) return nullptr;
    void *object = nullptr;
    if (khfa_ObjectRead(file, node.c_str(), nullptr, KHFA_SEEK_PATH, &object, g_header, e.out()) !=
        0) {
        kmif_ObjectFree(&object, g_header, nullptr);
        e.error(fn, 3, "khfa_ObjectRead failed");
        return nullptr;
    }
    const Header *h = static_cast<const Header *>(object);
    const int32_t n = h ? h->count : 0;
    Kxfr_XFormMIF *m = n >= 0 && n <= kMaxSteps ? mifNew(n) : nullptr;
    bool ok = m != nullptr;
    if (!ok) e.error(fn, 4, "Invalid transform header at %s", node.c_str());
    for (int32_t i = 0; ok && i < n; ++i) {
        const Kmif_String &t = h->titleList[i];
        const std::string title = t.string ? std::string(t.string, strnlen(t.string, t.count)) : "";
        char child[32];
        snprintf(child, sizeof child, "XForm%ld", static_cast<long>(i));
        const std::string path = childPath(node.c_str(), child);
        if (!exists(file, path)) {
            e.error(fn, 5, "Transform data %d missing", static_cast<int>(i));
            ok = false;
        } else {
            ok = nodeToMIF(file, path, title.c_str(), m, i, fn, e);
        }
    }
    kmif_ObjectFree(&object, g_header, nullptr);
    Kxfr_XForm *x = ok ? kxfr_XFormConvertFromMIF(m, e.out()) : nullptr;
    kxfr_XFormMIFFree(m);
    if (ok && !x) e.error(fn, 6, "kxfr_XFormConvertFromMIF failed");
    return x;
}

KRASTER_API Kxfr_XForm *kxfr_XFormRead(Khfa_File *file, const char *parentPath,
                                       Kerr_ErrorReport **err) {
    Report e(err);
    Kxfr_XForm *x = kxfr_XFormReadIfPresent(file, parentPath, e.out());
    if (!x && !e.failed())
        e.error("kxfr_XFormRead", 1, "No transform found as a child of %s",
                parentPath ? parentPath : ":");
    return x;
}

}  // extern "C"
