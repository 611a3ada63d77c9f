// The stored form of polynomials: the design "Kfga_Polynomial", conversion
// between the in-memory record and the flat stored record, and storage as
// children of a calibration node in HFA files.
#include <kraster/kmsc.h>

#include <atomic>
#include <string>

#include "transform/kfga_internal.hpp"

using namespace kr::fga;

namespace {

const char *const kDesignName = "Kfga_Polynomial";

Kmif_Dictionary *g_dictionary = nullptr;
Kmif_Design *g_design = nullptr;
std::atomic<const Kmif_Design *> g_cached{nullptr};

// A design in a file is used only when it describes the same record as this
// process's design: item for item the same name, type, count and pointer
// kind (the host layout then agrees as well).
bool sameDesign(const Kmif_Design *a, const Kmif_Design *b) {
    const Kmif_Item *x = a->itemList, *y = b->itemList;
    for (; x && y; x = x->next, y = y->next)
        if (x->type != y->type || x->count != y->count || x->countedFlag != y->countedFlag ||
            x->indirectFlag != y->indirectFlag || !x->name || !y->name ||
            std::string(x->name) != y->name)
            return false;
    return !x && !y;
}

// The file dictionary's design for polynomials, added when missing.
const Kmif_Design *fileDesign(Khfa_File *file, bool add, const char *fn, kr::Report &e) {
    const Kmif_Design *ours = kfga_PolynomialDesign(e.out());
    Kmif_Dictionary *dict = ours ? khfa_FileDictionary(file) : nullptr;
    const Kmif_Design *found = nullptr;
    if (dict) {
        found = kmif_DictionarySearchByName(dict, kDesignName, e.out());
        if (!found && add && !e.failed()) found = kmif_DictionaryAddDesign(dict, ours, e.out());
    }
    if (!found || !sameDesign(found, ours)) {
        e.error(fn, 3, "Error on reading design for Kfga_Polynomial from dictionary");
        return nullptr;
    }
    return ours;
}

std::string childPath(const char *calibrationPath, const char *name) {
    std::string path = calibrationPath;
    if (path.empty() || path.back() != ':') path += ':';
    return path + name;
}

}  // namespace

extern "C" {

KRASTER_API const Kmif_Design *kfga_PolynomialDesign(Kerr_ErrorReport **err) {
    if (const Kmif_Design *d = g_cached.load(std::memory_order_acquire)) return d;
    kr::Report e(err);
    const Kmif_Design *d =
        KMIF_DESIGN_FETCH(g_dictionary, g_design, kDesignName, KMIF_TYPE_S32, "order",
                          KMIF_TYPE_S32, "numdimtransform", KMIF_TYPE_S32, "numdimpolynomial",
                          KMIF_TYPE_S32, "termcount", KMIF_TYPE_S32 | KMIF_FLAG_COUNTED_POINTER,
                          "exponentlist", KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "polycoefmtx",
                          KMIF_TYPE_BASEDATA | KMIF_FLAG_POINTER, "polycoefvector", 0, e.out());
    if (!d) {
        e.error("kfga_PolynomialDesign", 1, "KMIF_DESIGN_FETCH failed");
        return nullptr;
    }
    g_cached.store(d, std::memory_order_release);
    return d;
}

KRASTER_API void kfga_PolynomialPrivateDelete(Kfga_PolynomialPrivate *stored) {
    if (!stored) return;
    kmsc_HeapFree(stored->exponentlist);
    kgda_BaseDataDelete(stored->polycoefmtx, nullptr);
    kgda_BaseDataDelete(stored->polycoefvector, nullptr);
    kmsc_HeapFree(stored);
}

KRASTER_API Kfga_PolynomialPrivate *kfga_PolynomialCopyToPrivate(const Kfga_Polynomial *polynomial,
                                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolynomialCopyToPrivate";
    kr::Report e(err);
    if (!checkPolynomial(polynomial, fn, 1, e)) return nullptr;
    const int32_t count = polynomial->termcount * polynomial->numdimpolynomial;
    auto *s =
        static_cast<Kfga_PolynomialPrivate *>(kmsc_HeapMalloc(sizeof(Kfga_PolynomialPrivate)));
    if (s) s->exponentlist = static_cast<int32_t *>(kmsc_HeapMalloc(count * sizeof(int32_t)));
    if (!s || !s->exponentlist) {
        kfga_PolynomialPrivateDelete(s);
        e.error(fn, 2, "can't allocate space");
        return nullptr;
    }
    s->order = polynomial->order;
    s->numdimtransform = polynomial->numdimtransform;
    s->numdimpolynomial = polynomial->numdimpolynomial;
    s->termcount = polynomial->termcount;
    s->exponentcount = count;
    for (int32_t k = 0; k < polynomial->termcount; ++k)
        memcpy(s->exponentlist + static_cast<size_t>(k) * polynomial->numdimpolynomial,
               polynomial->exponentlist[k], polynomial->numdimpolynomial * sizeof(int32_t));
    s->polycoefmtx = kgda_BaseDataCopy(polynomial->polycoefmtx, nullptr, e.out());
    if (s->polycoefmtx)
        s->polycoefvector = kgda_BaseDataCopy(polynomial->polycoefvector, nullptr, e.out());
    if (!s->polycoefvector) {
        kfga_PolynomialPrivateDelete(s);
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    return s;
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialCopyFromPrivate(const Kfga_PolynomialPrivate *stored,
                                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolynomialCopyFromPrivate";
    kr::Report e(err);
    if (!stored) {
        e.error(fn, 1, "Polynomial is NULL");
        return nullptr;
    }
    int32_t terms = 0;
    const char *why = nullptr;
    kr::Report quiet(nullptr);
    if (!sizeOk(stored->order, stored->numdimtransform, stored->numdimpolynomial, &terms) ||
        stored->termcount != terms)
        why = "order, dimensions and term count disagree";
    else if (stored->exponentcount != terms * stored->numdimpolynomial || !stored->exponentlist)
        why = "the exponent list has the wrong length";
    else if (!stored->polycoefmtx || !stored->polycoefvector ||
             !kr::gda::checkArray(stored->polycoefmtx, fn, 2, quiet) ||
             !kr::gda::checkArray(stored->polycoefvector, fn, 2, quiet))
        why = "a coefficient matrix is missing";
    else if (!realType(stored->polycoefmtx->datatype) ||
             stored->polycoefvector->datatype != stored->polycoefmtx->datatype)
        why = "the coefficients are not both f32 or both f64";
    else if (stored->polycoefmtx->numrows != stored->numdimtransform ||
             stored->polycoefmtx->numcolumns != terms - 1 ||
             stored->polycoefvector->numrows != stored->numdimtransform ||
             stored->polycoefvector->numcolumns != 1)
        why = "a coefficient matrix has the wrong shape";
    if (why) {
        e.error(fn, 2, "Invalid stored polynomial: %s", why);
        return nullptr;
    }
    Kfga_Polynomial *p =
        kfga_BasePolynomialCreate(stored->order, stored->numdimtransform, stored->numdimpolynomial,
                                  stored->polycoefmtx->datatype, e.out());
    if (!p) {
        e.error(fn, 3, "can't allocate space");
        return nullptr;
    }
    const int32_t d = stored->numdimpolynomial;
    for (int32_t k = 0; k < terms; ++k)
        if (memcmp(p->exponentlist[k], stored->exponentlist + static_cast<size_t>(k) * d,
                   d * sizeof(int32_t)) != 0) {
            kfga_PolynomialDelete(p, nullptr);
            e.error(fn, 2, "Invalid stored polynomial: the exponent list is not in term order");
            return nullptr;
        }
    for (int32_t i = 0; i < stored->numdimtransform; ++i) {
        setValue(p->polycoefvector, i, 0, valueAt(stored->polycoefvector, i, 0));
        for (int32_t k = 0; k + 1 < terms; ++k)
            setValue(p->polycoefmtx, i, k, valueAt(stored->polycoefmtx, i, k));
    }
    return p;
}

KRASTER_API int kfga_PolynomialWrite(Khfa_File *file, const char *calibrationPath, const char *name,
                                     const Kfga_Polynomial *polynomial, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolynomialWrite";
    kr::Report e(err);
    if (!polynomial) {
        e.error(fn, 1, "Polynomial is NULL");
        return -1;
    }
    if (!file || !calibrationPath || !name || !*name) {
        e.error(fn, 2, "Invalid file, calibration node or name");
        return -1;
    }
    const Kmif_Design *design = fileDesign(file, true, fn, e);
    if (!design) return -1;
    Kfga_PolynomialPrivate *stored = kfga_PolynomialCopyToPrivate(polynomial, e.out());
    if (!stored) {
        e.error(fn, 4, "Error on writing Kfga_Polynomial structure to disc");
        return -1;
    }
    const std::string child = childPath(calibrationPath, name);
    Kerr_ErrorReport *peekErr = nullptr;
    const bool present = khfa_EntryPeek(file, KHFA_SEEK_PATH, child.c_str(), &peekErr) != nullptr;
    kerr_DeleteErrorReport(peekErr);
    const int rc = present ? khfa_ObjectWrite(file, child.c_str(), nullptr, kDesignName,
                                              KHFA_WRITE_CURRENT, stored, design, e.out())
                           : khfa_ObjectWrite(file, calibrationPath, name, kDesignName,
                                              KHFA_WRITE_LAST_CHILD, stored, design, e.out());
    kfga_PolynomialPrivateDelete(stored);
    if (rc != 0) {
        e.error(fn, 4, "Error on writing Kfga_Polynomial structure to disc");
        return -1;
    }
    return 0;
}

KRASTER_API Kfga_Polynomial *kfga_PolynomialRead(Khfa_File *file, const char *calibrationPath,
                                                 const char *name, Kerr_ErrorReport **err) {
    static const char *const fn = "kfga_PolynomialRead";
    kr::Report e(err);
    if (!file || !calibrationPath || !name || !*name) {
        e.error(fn, 2, "Invalid file, calibration node or name");
        return nullptr;
    }
    const Kmif_Design *design = fileDesign(file, false, fn, e);
    if (!design) return nullptr;
    void *object = nullptr;
    if (khfa_ObjectRead(file, calibrationPath, name, KHFA_SEEK_CHILD_BY_NAME, &object, design,
                        e.out()) != 0) {
        kmif_ObjectFree(&object, design, nullptr);
        e.error(fn, 5, "Error on reading Kfga_Polynomial structure from disc");
        return nullptr;
    }
    Kfga_Polynomial *p = nullptr;
    if (!object) {
        e.error(fn, 6, "The entry holds no polynomial");
    } else {
        p = kfga_PolynomialCopyFromPrivate(static_cast<Kfga_PolynomialPrivate *>(object), e.out());
        if (!p) e.error(fn, 7);
    }
    kmif_ObjectFree(&object, design, nullptr);
    return p;
}

}  // extern "C"
