// The geometric model "Polynomial": a forward polynomial applied to points
// and the inverse polynomial that undoes it (2-D, f64, any order).
//
// Text form:  POLYNOMIAL(fo,io,F...,I...);  fo and io are the orders of the
//             forward and inverse polynomials, then per polynomial the x
//             row and the y row, each the constant followed by the
//             coefficients of the terms x, y, x^2, xy, y^2, x^3 ... (the
//             term order of the polynomials), as %.17g.
// MIF form:   design Kxfr_PolynomialPair {1:*oKfga_Polynomial,forward,
//             1:*oKfga_Polynomial,inverse} holding the polynomials' stored
//             records.
#include <mutex>

#include "gm_common.hpp"

namespace {

struct Pair {
    Kfga_Polynomial *forward;
    Kfga_Polynomial *inverse;
};

struct StoredPair {
    Kfga_PolynomialPrivate *forward;
    Kfga_PolynomialPrivate *inverse;
};

const Pair *as(const void *data) {
    return static_cast<const Pair *>(data);
}

bool usable(const Kfga_Polynomial *p) {
    return p && p->numdimtransform == 2 && p->numdimpolynomial == 2 && p->polycoefmtx &&
           p->polycoefmtx->datatype == KGDA_TYPE_F64 && p->order <= 16;
}

// Takes both polynomials (freed on failure).
Pair *make(Kfga_Polynomial *forward, Kfga_Polynomial *inverse, Kerr_ErrorReport **err) {
    Pair *p = nullptr;
    if (!usable(forward) || !usable(inverse))
        gm::fail(err, "XFormCreateFromPolyPair", 1, "Invalid poly");
    else if (!(p = static_cast<Pair *>(kmsc_HeapMalloc(sizeof(Pair)))))
        gm::fail(err, "XFormCreateFromPolyPair", 2, "No memory");
    if (!p) {
        kfga_PolynomialDelete(forward, nullptr);
        kfga_PolynomialDelete(inverse, nullptr);
        return nullptr;
    }
    *p = {forward, inverse};
    return p;
}

Pair *copyOf(const Kfga_Polynomial *forward, const Kfga_Polynomial *inverse,
             Kerr_ErrorReport **err) {
    Kfga_Polynomial *f = kfga_PolynomialCopy(forward, err);
    Kfga_Polynomial *i = f ? kfga_PolynomialCopy(inverse, err) : nullptr;
    return make(f, i, err);
}

const Kmif_Design *pairDesign(Kerr_ErrorReport **err) {
    static std::once_flag once;
    static gm::LoadDesign made;
    std::call_once(once, [&] {
        const Kmif_Design *poly = kfga_PolynomialDesign(err);
        made.dictionary = poly ? kmif_DictionaryCreate(err) : nullptr;
        constexpr int kOne = KMIF_TYPE_REFERENCE | KMIF_FLAG_POINTER;
        if (made.dictionary && kmif_DictionaryAddDesign(made.dictionary, poly, err))
            made.design =
                kmif_DesignCreate(made.dictionary, "Kxfr_PolynomialPair", kOne, "forward",
                                  "Kfga_Polynomial", kOne, "inverse", "Kfga_Polynomial", 0, err);
    });
    if (!made.design) gm::fail(err, "Kxfr_PolynomialPair", 1, "Design create failed");
    return made.design;
}

void writeRows(gm::TextWriter &w, const Kfga_Polynomial *p) {
    const double *m = reinterpret_cast<const double *>(p->polycoefmtx->windowStart);
    const double *v = reinterpret_cast<const double *>(p->polycoefvector->windowStart);
    for (int i = 0; i < 2; ++i) {
        w.number(v[i]);
        for (int k = 0; k + 1 < p->termcount; ++k) w.number(m[2 * k + i]);  // column-major
    }
}

Kfga_Polynomial *readRows(gm::TokenReader &r, long order, Kerr_ErrorReport **err) {
    Kfga_Polynomial *p = kfga_PolynomialCreate(static_cast<int32_t>(order), 2, 2, err);
    if (!p) return nullptr;
    double *m = reinterpret_cast<double *>(p->polycoefmtx->windowStart);
    double *v = reinterpret_cast<double *>(p->polycoefvector->windowStart);
    bool ok = true;
    for (int i = 0; ok && i < 2; ++i) {
        ok = r.number(v[i]);
        for (int k = 0; ok && k + 1 < p->termcount; ++k) ok = r.number(m[2 * k + i]);
    }
    if (!ok) {
        kfga_PolynomialDelete(p, nullptr);
        return nullptr;
    }
    return p;
}

// p after a (prepend) or a after p (append), a given as an order-1 polynomial.
Kfga_Polynomial *composed(const Kfga_Polynomial *outer, const Kfga_Polynomial *inner,
                          Kerr_ErrorReport **err) {
    return kfga_PolynomialComposition(outer, inner, err);
}

long fold(void *data, const Kfga_Polynomial *affine, bool prepend, Kerr_ErrorReport **err) {
    Pair *p = static_cast<Pair *>(data);
    double c[6], inv[6];
    if (!gm::affineOf(affine, c) || !gm::affineInverse(c, inv)) {
        gm::fail(err, prepend ? "XFormAffinePrepend" : "XFormAffineAppend", 1,
                 "Singular or invalid affine transform");
        return -1;
    }
    Kfga_Polynomial *a = gm::affinePoly(c, err);
    Kfga_Polynomial *ainv = a ? gm::affinePoly(inv, err) : nullptr;
    Kfga_Polynomial *f = nullptr, *i = nullptr;
    if (ainv) {
        f = prepend ? composed(p->forward, a, err) : composed(a, p->forward, err);
        i = f ? (prepend ? composed(ainv, p->inverse, err) : composed(p->inverse, ainv, err))
              : nullptr;
    }
    kfga_PolynomialDelete(a, nullptr);
    kfga_PolynomialDelete(ainv, nullptr);
    if (!i) {
        kfga_PolynomialDelete(f, nullptr);
        return -1;
    }
    kfga_PolynomialDelete(p->forward, nullptr);
    kfga_PolynomialDelete(p->inverse, nullptr);
    *p = {f, i};
    return 0;
}

}  // namespace

GM_INSTANCE("Polynomial", 1)

GM_EXPORT void XFormDestroy(void *data) {
    if (!data) return;
    kfga_PolynomialDelete(static_cast<Pair *>(data)->forward, nullptr);
    kfga_PolynomialDelete(static_cast<Pair *>(data)->inverse, nullptr);
    kmsc_HeapFree(data);
}

GM_EXPORT void *XFormCopy(const void *data, Kerr_ErrorReport **err) {
    return copyOf(as(data)->forward, as(data)->inverse, err);
}

GM_EXPORT void *XFormInvert(const void *data, Kerr_ErrorReport **err) {
    return copyOf(as(data)->inverse, as(data)->forward, err);
}

GM_EXPORT long XFormIsSame(const void *a, const void *b) {
    return kfga_PolynomialMostlyEqual(as(a)->forward, as(b)->forward) &&
           kfga_PolynomialMostlyEqual(as(a)->inverse, as(b)->inverse);
}

GM_EXPORT long XFormIsInverse(const void *a, const void *b) {
    return kfga_PolynomialMostlyEqual(as(a)->forward, as(b)->inverse) &&
           kfga_PolynomialMostlyEqual(as(a)->inverse, as(b)->forward);
}

GM_EXPORT long XFormAffineExtract(const void *data, Kfga_Polynomial **affine,
                                  Kerr_ErrorReport **err) {
    *affine = nullptr;
    if (as(data)->forward->order != 1) return 0;
    *affine = kfga_PolynomialCopy(as(data)->forward, err);
    return *affine ? 1 : -1;
}

GM_EXPORT long XFormAffinePrepend(void *data, const Kfga_Polynomial *affine,
                                  Kerr_ErrorReport **err) {
    return fold(data, affine, true, err);
}

GM_EXPORT long XFormAffineAppend(void *data, const Kfga_Polynomial *affine,
                                 Kerr_ErrorReport **err) {
    return fold(data, affine, false, err);
}

GM_EXPORT long XFormTransform(const void *data, long count, double *xy) {
    return kfga_PolyTransBlockCoords(as(data)->forward, count, xy, nullptr) == 0 ? count : -1;
}

GM_EXPORT char *XFormSprintf(const void *data, Kerr_ErrorReport **) {
    gm::TextWriter w("POLYNOMIAL");
    w.number(as(data)->forward->order).number(as(data)->inverse->order);
    writeRows(w, as(data)->forward);
    writeRows(w, as(data)->inverse);
    return w.finish();
}

GM_EXPORT void *XFormSscanf(const char *text, Kerr_ErrorReport **err) {
    std::vector<gm::Token> tokens;
    gm::TokenReader r(tokens);
    long fo = 0, io = 0;
    Kfga_Polynomial *f = nullptr, *i = nullptr;
    if (gm::parseText(text, "POLYNOMIAL", tokens) && r.integer(fo, 0, 16) && r.integer(io, 0, 16) &&
        (f = readRows(r, fo, err)) && (i = readRows(r, io, err)) && r.done())
        return make(f, i, err);
    kfga_PolynomialDelete(f, nullptr);
    kfga_PolynomialDelete(i, nullptr);
    gm::fail(err, "XFormSscanf", 1, "Not a polynomial transform: %s", text ? text : "<NULL>");
    return nullptr;
}

GM_EXPORT long XFormConvertToMIF(const void *data, char **dictionary, char **designName,
                                 unsigned char **bytes, int32_t *size, Kerr_ErrorReport **err) {
    const Kmif_Design *d = pairDesign(err);
    StoredPair s{d ? kfga_PolynomialCopyToPrivate(as(data)->forward, err) : nullptr, nullptr};
    s.inverse = s.forward ? kfga_PolynomialCopyToPrivate(as(data)->inverse, err) : nullptr;
    const long r = s.inverse ? gm::toMIF(&s, d, dictionary, designName, bytes, size, err) : -1;
    kfga_PolynomialPrivateDelete(s.forward);
    kfga_PolynomialPrivateDelete(s.inverse);
    return r;
}

GM_EXPORT void *XFormConvertFromMIF(const char *dictionary, const char *designName,
                                    const unsigned char *bytes, int32_t size,
                                    Kerr_ErrorReport **err) {
    const Kmif_Design *d = pairDesign(err);
    gm::Decoded decoded;
    if (!d || !gm::fromMIF(dictionary, designName, bytes, size, d, decoded, err)) return nullptr;
    const StoredPair *s = static_cast<const StoredPair *>(decoded.object);
    Kfga_Polynomial *f = kfga_PolynomialCopyFromPrivate(s->forward, err);
    Kfga_Polynomial *i = f ? kfga_PolynomialCopyFromPrivate(s->inverse, err) : nullptr;
    if (!i) {
        kfga_PolynomialDelete(f, nullptr);
        return nullptr;
    }
    return make(f, i, err);
}

GM_EXPORT void *XFormCreateFromPolyPair(const Kfga_Polynomial *forward,
                                        const Kfga_Polynomial *inverse, Kerr_ErrorReport **err) {
    Kfga_Polynomial *f = kfga_PolynomialCopy(forward, err);
    Kfga_Polynomial *i = !f        ? nullptr
                         : inverse ? kfga_PolynomialCopy(inverse, err)
                                   : kfga_PolynomialInvert(forward, nullptr, err);
    return make(f, i, err);
}
