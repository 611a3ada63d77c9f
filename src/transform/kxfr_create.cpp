// Chains made by the models' constructors: affine maps (from coefficients,
// polynomials, map information, point fits, units), polynomial pairs and
// projection pairs.
#include <kraster/kcvt.h>

#include <cstring>

#include "transform/kxfr_internal.hpp"

using kr::Report;
using namespace kr::xfr;

namespace {

constexpr const char *kAffine = "Affine";

// Appends next to x (both owned here); x on success, else null.
Kxfr_XForm *then(Kxfr_XForm *x, Kxfr_XForm *next, const char *fn, Report &e) {
    if (x && next && kxfr_XFormComposition(x, next, e.out()) == 0) {
        kxfr_XFormFree(next);
        return x;
    }
    kxfr_XFormFree(x);
    kxfr_XFormFree(next);
    e.error(fn, 20, "XFormCombine failed");
    return nullptr;
}

bool poly2D(const Kfga_Polynomial *p) {
    return p && p->numdimtransform == 2 && p->numdimpolynomial == 2 && p->polycoefmtx &&
           p->polycoefvector;
}

const char *nativeUnits(const Kprj_Projection *p) {
    const Kprj_ProParameters *pp = p->mapProjection->proParameters;
    return pp->proType == KPRJ_INTERNAL && pp->proNumber == KPRJ_GEOGRAPHIC ? "radians" : "meters";
}

bool pairReady(const Kprj_ProjectionPair *pair) {
    return pair && pair->input && pair->output && pair->input->mapProjection &&
           pair->output->mapProjection && pair->input->mapProjection->proParameters &&
           pair->output->mapProjection->proParameters;
}

}  // namespace

extern "C" {

KRASTER_API Kxfr_XForm *kxfr_XFormCreateUnity(Kerr_ErrorReport **err) {
    Report e(err);
    return construct<Kxfr_XFormCreateUnityFunc>(kAffine, "XFormCreateUnity",
                                                "kxfr_XFormCreateUnity", e);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateUsingCoeffs(const double coeffs[6],
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateUsingCoeffs";
    Report e(err);
    if (!coeffs) {
        e.error(fn, 1, "NULL coefficients");
        return nullptr;
    }
    return construct<Kxfr_XFormCreateUsingCoeffsFunc>(kAffine, "XFormCreateUsingCoeffs", fn, e,
                                                      coeffs);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromAffinePoly(const Kfga_Polynomial *poly,
                                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromAffinePoly";
    Report e(err);
    if (!poly2D(poly) || poly->order != 1) {
        e.error(fn, 1, "Invalid poly");
        return nullptr;
    }
    return construct<Kxfr_XFormCreateFromAffinePolyFunc>(kAffine, "XFormCreateFromAffinePoly", fn,
                                                         e, poly);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromMapInfo(const Kprj_MapInfo *mapInfo, int direction,
                                                    Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromMapInfo";
    Report e(err);
    if (!mapInfo || !mapInfo->upperLeftCenter || !mapInfo->pixelSize) {
        e.error(fn, 1, "Invalid input MapInfo");
        return nullptr;
    }
    if (direction != 0 && direction != 1) {
        e.error(fn, 2, "Invalid direction %d", direction);
        return nullptr;
    }
    Kxfr_XForm *x = construct<Kxfr_XFormCreateFromMapInfoFunc>(kAffine, "XFormCreateFromMapInfo",
                                                               fn, e, mapInfo);
    if (x && direction == 1 && !kxfr_XFormInvert(x, x, e.out())) {
        kxfr_XFormFree(x);
        e.error(fn, 3, "kxfr_XFormInvert failed");
        return nullptr;
    }
    return x;
}

KRASTER_API Kxfr_XForm *kxfr_XFormFindAffine(const Kgda_BaseData *from, const Kgda_BaseData *to,
                                             Kerr_ErrorReport **err) {
    Report e(err);
    return construct<Kxfr_XFormFindAffineFunc>(kAffine, "XFormFindAffine", "kxfr_XFormFindAffine",
                                               e, from, to);
}

KRASTER_API Kxfr_XForm *kxfr_XFormRotate(double angle, Kerr_ErrorReport **err) {
    Report e(err);
    return construct<Kxfr_XFormRotateFunc>(kAffine, "XFormRotate", "kxfr_XFormRotate", e, angle);
}

KRASTER_API Kxfr_XForm *kxfr_XFormTranslate(double tx, double ty, Kerr_ErrorReport **err) {
    Report e(err);
    return construct<Kxfr_XFormPairOfDoublesFunc>(kAffine, "XFormTranslate", "kxfr_XFormTranslate",
                                                  e, tx, ty);
}

KRASTER_API Kxfr_XForm *kxfr_XFormScaleXY(double sx, double sy, Kerr_ErrorReport **err) {
    Report e(err);
    return construct<Kxfr_XFormPairOfDoublesFunc>(kAffine, "XFormScaleXY", "kxfr_XFormScaleXY", e,
                                                  sx, sy);
}

KRASTER_API Kxfr_XForm *kxfr_XFormScale(double scale, Kerr_ErrorReport **err) {
    return kxfr_XFormScaleXY(scale, scale, err);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromPolyPair(const Kfga_Polynomial *forward,
                                                     const Kfga_Polynomial *inverse,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromPolyPair";
    Report e(err);
    if (!poly2D(forward) || (inverse && !poly2D(inverse))) {
        e.error(fn, 1, "Invalid poly");
        return nullptr;
    }
    return construct<Kxfr_XFormCreateFromPolyPairFunc>("Polynomial", "XFormCreateFromPolyPair", fn,
                                                       e, forward, inverse);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromProjPair(const Kprj_ProjectionPair *pair,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromProjPair";
    Report e(err);
    if (!pairReady(pair)) {
        e.error(fn, 1, "Not enough information to do projection");
        return nullptr;
    }
    return construct<Kxfr_XFormCreateFromProjPairFunc>(
        "Projection Pair", "XFormCreateFromProjPair", fn, e,
        static_cast<const Kprj_ProParameters *>(pair->input->mapProjection->proParameters),
        static_cast<const Kprj_ProParameters *>(pair->output->mapProjection->proParameters));
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromUnits(const char *fromUnits, const char *toUnits,
                                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromUnits";
    Report e(err);
    if (!fromUnits || !toUnits) {
        e.error(fn, 1, "NULL unit name");
        return nullptr;
    }
    // The conversion is v a + b: its images of 0 and 1 give b and a + b.
    const double in[2] = {0.0, 1.0};
    double out[2];
    if (kcvt_UnitsConvertByName(in, fromUnits, out, toUnits, 2, e.out()) != 0) {
        e.error(fn, 2, "Cannot convert %s to %s", fromUnits, toUnits);
        return nullptr;
    }
    const double scale = out[1] - out[0];
    const double c[6] = {out[0], scale, 0, out[0], 0, scale};
    return kxfr_XFormCreateUsingCoeffs(c, e.out());
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreate(const Kfga_Polynomial *affine,
                                         const Kprj_ProjectionPair *pair, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreate";
    Report e(err);
    Kxfr_XForm *a = kxfr_XFormCreateFromAffinePoly(affine, e.out());
    if (!a) return nullptr;
    return then(a, kxfr_XFormCreateFromProjPair(pair, e.out()), fn, e);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromProjPairAndMapInfo(const Kprj_ProjectionPair *pair,
                                                               const Kprj_MapInfo *source,
                                                               const Kprj_MapInfo *destination,
                                                               Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromProjPairAndMapInfo";
    Report e(err);
    if (!source || !destination || !source->units.data || !destination->units.data) {
        e.error(fn, 1, "Source or Destination Map Unit name is NULL");
        return nullptr;
    }
    const char *from = source->units.data, *to = destination->units.data;
    if (!pair) return kxfr_XFormCreateFromUnits(from, to, e.out());
    if (!pairReady(pair)) {
        e.error(fn, 2, "Not enough information to do projection");
        return nullptr;
    }
    Kxfr_XForm *x = kxfr_XFormCreateFromUnits(from, nativeUnits(pair->input), e.out());
    if (x) x = then(x, kxfr_XFormCreateFromProjPair(pair, e.out()), fn, e);
    if (x) x = then(x, kxfr_XFormCreateFromUnits(nativeUnits(pair->output), to, e.out()), fn, e);
    return x;
}

}  // extern "C"
