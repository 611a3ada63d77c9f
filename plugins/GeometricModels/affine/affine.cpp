// The geometric model "Affine": x' = x0 + a x + b y, y' = y0 + c x + d y,
// kept as an order-1 polynomial.
//
// Text form:  AFFINE(x0,a,b,y0,c,d);  the six coefficients as %.17g.
// MIF form:   the polynomial's stored record, design Kfga_Polynomial
//             (order 1, two dimensions).
// Parameters: "x0", "a", "b", "y0", "c", "d".
#include <kraster/kgda.h>
#include <kraster/kprj.h>

#include "gm_common.hpp"

namespace {

const char *const kNames[6] = {"x0", "a", "b", "y0", "c", "d"};

struct Affine {
    double c[6];
    Kfga_Polynomial *poly;
};

Affine *make(const double c[6], Kerr_ErrorReport **err) {
    for (int k = 0; k < 6; ++k)
        if (!std::isfinite(c[k])) {
            gm::fail(err, "XFormCreate", 1, "Affine coefficient %d is not finite", k);
            return nullptr;
        }
    auto *a = static_cast<Affine *>(kmsc_HeapMalloc(sizeof(Affine)));
    if (!a) {
        gm::fail(err, "XFormCreate", 2, "No memory");
        return nullptr;
    }
    memcpy(a->c, c, sizeof a->c);
    a->poly = gm::affinePoly(c, err);
    if (!a->poly) {
        kmsc_HeapFree(a);
        return nullptr;
    }
    return a;
}

const Affine *as(const void *data) {
    return static_cast<const Affine *>(data);
}

}  // namespace

GM_INSTANCE("Affine", 1)

GM_EXPORT void XFormDestroy(void *data) {
    if (!data) return;
    kfga_PolynomialDelete(static_cast<Affine *>(data)->poly, nullptr);
    kmsc_HeapFree(data);
}

GM_EXPORT void *XFormCopy(const void *data, Kerr_ErrorReport **err) {
    return make(as(data)->c, err);
}

GM_EXPORT void *XFormInvert(const void *data, Kerr_ErrorReport **err) {
    double inv[6];
    if (!gm::affineInverse(as(data)->c, inv)) {
        gm::fail(err, "XFormInvert", 1, "Affine transform is singular");
        return nullptr;
    }
    return make(inv, err);
}

GM_EXPORT long XFormIsUsable(const void *data) {
    double inv[6];
    return gm::affineInverse(as(data)->c, inv);
}

GM_EXPORT long XFormIsSame(const void *a, const void *b) {
    for (int k = 0; k < 6; ++k)
        if (!gm::nearlyEqual(as(a)->c[k], as(b)->c[k])) return 0;
    return 1;
}

GM_EXPORT long XFormIsInverse(const void *a, const void *b) {
    double inv[6];
    if (!gm::affineInverse(as(a)->c, inv)) return 0;
    for (int k = 0; k < 6; ++k)
        if (!gm::nearlyEqual(inv[k], as(b)->c[k])) return 0;
    return 1;
}

GM_EXPORT long XFormAffineExtract(const void *data, Kfga_Polynomial **affine,
                                  Kerr_ErrorReport **err) {
    *affine = kfga_PolynomialCopy(as(data)->poly, err);
    return *affine ? 1 : -1;
}

GM_EXPORT long XFormTransform(const void *data, long count, double *xy) {
    const double *c = as(data)->c;
    const double x0 = c[0], a = c[1], b = c[2], y0 = c[3], cc = c[4], d = c[5];
    for (long i = 0; i < count; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        xy[2 * i] = x0 + a * x + b * y;
        xy[2 * i + 1] = y0 + cc * x + d * y;
    }
    return count;
}

GM_EXPORT char *XFormSprintf(const void *data, Kerr_ErrorReport **) {
    return gm::TextWriter("AFFINE").numbers(as(data)->c, 6).finish();
}

GM_EXPORT void *XFormSscanf(const char *text, Kerr_ErrorReport **err) {
    std::vector<gm::Token> tokens;
    double c[6];
    gm::TokenReader r(tokens);
    if (!gm::parseText(text, "AFFINE", tokens) || !r.numbers(c, 6) || !r.done()) {
        gm::fail(err, "XFormSscanf", 1, "Not an affine transform: %s", text ? text : "<NULL>");
        return nullptr;
    }
    return make(c, err);
}

GM_EXPORT long XFormConvertToMIF(const void *data, char **dictionary, char **designName,
                                 unsigned char **bytes, int32_t *size, Kerr_ErrorReport **err) {
    const Kmif_Design *d = kfga_PolynomialDesign(err);
    Kfga_PolynomialPrivate *stored =
        d ? kfga_PolynomialCopyToPrivate(as(data)->poly, err) : nullptr;
    const long r = stored ? gm::toMIF(stored, d, dictionary, designName, bytes, size, err) : -1;
    kfga_PolynomialPrivateDelete(stored);
    return r;
}

GM_EXPORT void *XFormConvertFromMIF(const char *dictionary, const char *designName,
                                    const unsigned char *bytes, int32_t size,
                                    Kerr_ErrorReport **err) {
    const Kmif_Design *d = kfga_PolynomialDesign(err);
    gm::Decoded decoded;
    if (!d || !gm::fromMIF(dictionary, designName, bytes, size, d, decoded, err)) return nullptr;
    Kfga_Polynomial *p =
        kfga_PolynomialCopyFromPrivate(static_cast<Kfga_PolynomialPrivate *>(decoded.object), err);
    double c[6];
    const bool affine = gm::affineOf(p, c);
    kfga_PolynomialDelete(p, nullptr);
    if (!affine) {
        gm::fail(err, "XFormConvertFromMIF", 3, "The polynomial is not affine");
        return nullptr;
    }
    return make(c, err);
}

GM_EXPORT long XFormNameParameterListGet(const void *data, Kxfr_NameParameterList **list,
                                         Kerr_ErrorReport **err) {
    *list = kxfr_NameParameterListCreate(6, kNames, as(data)->c, err);
    return *list ? 0 : -1;
}

GM_EXPORT long XFormNameParameterListSet(void *data, const Kxfr_NameParameterList *list,
                                         Kerr_ErrorReport **err) {
    Affine *a = static_cast<Affine *>(data);
    Affine *made = list->count == 6 ? make(list->values, err) : nullptr;
    if (!made) return -1;
    std::swap(a->poly, made->poly);
    memcpy(a->c, made->c, sizeof a->c);
    XFormDestroy(made);
    return 0;
}

// ---- Constructors ----

GM_EXPORT void *XFormCreate(double x0, double a, double b, double y0, double c, double d,
                            Kerr_ErrorReport **err) {
    const double k[6] = {x0, a, b, y0, c, d};
    return make(k, err);
}

GM_EXPORT void *XFormCreateUsingCoeffs(const double *coeffs, Kerr_ErrorReport **err) {
    return make(coeffs, err);
}

GM_EXPORT void *XFormCreateUnity(Kerr_ErrorReport **err) {
    return XFormCreate(0, 1, 0, 0, 0, 1, err);
}

GM_EXPORT void *XFormCreateFromAffinePoly(const Kfga_Polynomial *poly, Kerr_ErrorReport **err) {
    double c[6];
    if (!gm::affineOf(poly, c)) {
        gm::fail(err, "XFormCreateFromAffinePoly", 1, "Invalid poly");
        return nullptr;
    }
    return make(c, err);
}

GM_EXPORT void *XFormCreateFromMapInfo(const Kprj_MapInfo *mapInfo, Kerr_ErrorReport **err) {
    Kfga_Polynomial *p = kprj_MapInfoToPolynomial(mapInfo, nullptr, err);
    void *a = p ? XFormCreateFromAffinePoly(p, err) : nullptr;
    kfga_PolynomialDelete(p, nullptr);
    return a;
}

GM_EXPORT void *XFormFindAffine(const Kgda_BaseData *from, const Kgda_BaseData *to,
                                Kerr_ErrorReport **err) {
    if (!from || !to || from->numrows != 2 || to->numrows != 2 ||
        from->numcolumns != to->numcolumns || from->numcolumns < 3) {
        gm::fail(err, "XFormFindAffine", 1, "Need matching 2 x n point matrices, n >= 3");
        return nullptr;
    }
    Kfga_Polynomial *p = kfga_PolynomialCreate(1, 2, 2, err);
    void *a = p && kfga_DerivePolyCoefs(from, to, p, err) == 0 ? XFormCreateFromAffinePoly(p, err)
                                                               : nullptr;
    kfga_PolynomialDelete(p, nullptr);
    return a;
}

GM_EXPORT void *XFormRotate(double angle, Kerr_ErrorReport **err) {
    return XFormCreate(0, std::cos(angle), -std::sin(angle), 0, std::sin(angle), std::cos(angle),
                       err);
}

GM_EXPORT void *XFormTranslate(double tx, double ty, Kerr_ErrorReport **err) {
    return XFormCreate(tx, 1, 0, ty, 0, 1, err);
}

GM_EXPORT void *XFormScaleXY(double sx, double sy, Kerr_ErrorReport **err) {
    return XFormCreate(0, sx, 0, 0, 0, sy, err);
}
