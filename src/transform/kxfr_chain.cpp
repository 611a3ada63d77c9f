// Transform chains: life cycle, composition, inversion, compaction,
// equality, application to points and windows, affine access, step data and
// named parameters.
#include <kraster/kmsc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "transform/kfga_internal.hpp"
#include "transform/kxfr_affine.hpp"
#include "transform/kxfr_internal.hpp"

using kr::Report;
using namespace kr::xfr;

namespace kr::xfr {

bool affineCoeffs(const Kfga_Polynomial *p, Affine &a) {
    if (!p || p->order != 1 || p->numdimtransform != 2 || p->numdimpolynomial != 2 ||
        !p->polycoefmtx || !p->polycoefvector || !kr::fga::realType(p->polycoefmtx->datatype))
        return false;
    using kr::fga::valueAt;
    a = {valueAt(p->polycoefvector, 0, 0), valueAt(p->polycoefmtx, 0, 0),
         valueAt(p->polycoefmtx, 0, 1),    valueAt(p->polycoefvector, 1, 0),
         valueAt(p->polycoefmtx, 1, 0),    valueAt(p->polycoefmtx, 1, 1)};
    return true;
}

Affine affineAfter(const Affine &outer, const Affine &inner) {
    const auto &o = outer.c;
    const auto &i = inner.c;
    return {o[0] + o[1] * i[0] + o[2] * i[3], o[1] * i[1] + o[2] * i[4], o[1] * i[2] + o[2] * i[5],
            o[3] + o[4] * i[0] + o[5] * i[3], o[4] * i[1] + o[5] * i[4], o[4] * i[2] + o[5] * i[5]};
}

bool isIdentity(const Affine &a, double tolerance) {
    const double id[6] = {0, 1, 0, 0, 0, 1};
    for (int k = 0; k < 6; ++k)
        if (!(std::fabs(a.c[k] - id[k]) <= tolerance)) return false;
    return true;
}

// 1 with the step's affine form, 0 when the step is not affine, -1.
int stepAffine(const Step &s, Affine &a, const char *fn, Report &e) {
    if (!s.model->fn.XFormAffineExtract) return 0;
    Kfga_Polynomial *p = nullptr;
    const long r = call(s.model, s.model->fn.XFormAffineExtract, s.data, &p, e.out());
    if (r < 0) {
        e.error(fn, 50, "'%s' XFormAffineExtract failed", s.title());
        return -1;
    }
    const bool ok = r > 0 && affineCoeffs(p, a);
    kfga_PolynomialDelete(p, nullptr);
    return ok ? 1 : 0;
}

namespace {

// One element of a chain being compacted: a model step, or an affine map.
struct Item {
    Step step;
    bool affine = false;
    Affine map;
};

bool fold(Step &into, Kxfr_XFormAffineFoldFunc f, const Affine &a, const char *what, const char *fn,
          Report &e) {
    Kfga_Polynomial *p =
        kfga_PolyCreate2DAffine(a.c[0], a.c[1], a.c[2], a.c[3], a.c[4], a.c[5], e.out());
    const long r = p ? call(into.model, f, into.data, p, e.out()) : -1;
    kfga_PolynomialDelete(p, nullptr);
    if (r < 0) e.error(fn, 51, "%s", what);
    return r >= 0;
}

// Compacts the steps of x in place (x is a private copy of the caller's).
bool compactSteps(Kxfr_XForm &x, const char *fn, Report &e) {
    std::vector<Item> items;
    for (Step &s : x.steps) {
        Item it;
        const int r = stepAffine(s, it.map, fn, e);
        if (r < 0) return false;
        if (r > 0) {
            it.affine = true;
            stepRelease(s);
        } else {
            it.step = s;
        }
        s = Step{};
        if (it.affine && !items.empty() && items.back().affine)
            items.back().map = affineAfter(it.map, items.back().map);
        else
            items.push_back(it);
    }
    x.steps.clear();
    // Hand each affine map to a neighbour that can absorb it, else keep it.
    std::vector<Item> kept;
    bool ok = true;
    for (size_t i = 0; i < items.size(); ++i) {
        Item &it = items[i];
        if (!it.affine) {
            kept.push_back(it);
            continue;
        }
        if (!ok || isIdentity(it.map, 0)) continue;
        Item *next = i + 1 < items.size() ? &items[i + 1] : nullptr;
        Item *prev = kept.empty() ? nullptr : &kept.back();
        if (next && next->step.model->fn.XFormAffinePrepend) {
            ok = fold(next->step, next->step.model->fn.XFormAffinePrepend, it.map,
                      "XFormAffinePrepend failed", fn, e);
        } else if (prev && !prev->affine && prev->step.model->fn.XFormAffineAppend) {
            ok = fold(prev->step, prev->step.model->fn.XFormAffineAppend, it.map,
                      "XFormAffineAppend failed", fn, e);
        } else {
            Kxfr_XForm *a = construct<Kxfr_XFormCreateUsingCoeffsFunc>(
                "Affine", "XFormCreateUsingCoeffs", fn, e, static_cast<const double *>(it.map.c));
            ok = a != nullptr;
            if (ok) {
                Item made;
                made.step = a->steps[0];
                a->steps.clear();
                kept.push_back(made);
            }
            delete a;
        }
    }
    // Every model step is kept (also after a failure, so that it is freed).
    for (Item &it : kept) x.steps.push_back(it.step);
    if (!ok) return false;
    x.compacted = true;
    return true;
}

bool copySteps(const Kxfr_XForm &from, std::vector<Step> &to, const char *fn, Report &e) {
    for (const Step &s : from.steps) {
        Step c;
        if (!stepCopy(s, c, fn, e)) return false;
        to.push_back(c);
    }
    return true;
}

// A compacted copy of x (x itself when it needs no compaction: *owned null).
const Kxfr_XForm *compacted(const Kxfr_XForm *x, Kxfr_XForm **owned, const char *fn, Report &e) {
    *owned = nullptr;
    if (x->compacted || x->steps.empty()) return x;
    Kxfr_XForm *c = kxfr_XFormCopy(x, e.out());
    if (!c || kxfr_XFormCompact(c, e.out()) != 0) {
        kxfr_XFormFree(c);
        e.error(fn, 52, "kxfr_XFormCompact failed");
        return nullptr;
    }
    *owned = c;
    return c;
}

bool applySteps(const Kxfr_XForm &x, int64_t count, double *xy, const char *fn, Report &e) {
    for (const Step &s : x.steps)
        if (call(s.model, s.model->fn.XFormTransform, s.data, static_cast<long>(count), xy) < 0) {
            e.error(fn, 53, "'%s' XFormTransform failed", s.title());
            return false;
        }
    return true;
}

}  // namespace

// 1 with the chain's mapping when it is affine, 0 when not, -1.
int chainAffine(const Kxfr_XForm *x, Affine &a, const char *fn, Report &e) {
    Kxfr_XForm *owned = nullptr;
    const Kxfr_XForm *c = compacted(x, &owned, fn, e);
    if (!c) return -1;
    a = Affine{};
    int r = 1;
    if (c->steps.size() == 1)
        r = stepAffine(c->steps[0], a, fn, e);
    else if (!c->steps.empty())
        r = 0;
    kxfr_XFormFree(owned);
    return r;
}

}  // namespace kr::xfr

namespace {

bool chainGiven(const Kxfr_XForm *x, const char *fn, Report &e) {
    if (!x) e.error(fn, 1, "NULL xForm");
    return x != nullptr;
}

bool stepGiven(const Kxfr_XForm *x, int32_t index, const char *fn, Report &e) {
    if (!chainGiven(x, fn, e)) return false;
    if (index < 0 || static_cast<size_t>(index) >= x->steps.size()) {
        e.error(fn, 2, "Step %ld out of range", static_cast<long>(index));
        return false;
    }
    return true;
}

bool realMatrix(const Kgda_BaseData *b) {
    return kr::fga::realType(b->datatype) && (b->windowStart || b->numelements == 0);
}

}  // namespace

extern "C" {

KRASTER_API Kxfr_XForm *kxfr_XFormNew(Kerr_ErrorReport **err) {
    Report e(err);
    return newChain("kxfr_XFormNew", e);
}

KRASTER_API Kxfr_XForm *kxfr_XFormCopy(const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCopy";
    Report e(err);
    if (!xForm) {
        e.error(fn, 1, "Null input xForm");
        return nullptr;
    }
    Kxfr_XForm *c = newChain(fn, e);
    if (!c) return nullptr;
    c->compacted = xForm->compacted;
    if (!copySteps(*xForm, c->steps, fn, e)) {
        delete c;
        return nullptr;
    }
    return c;
}

KRASTER_API void kxfr_XFormFree(Kxfr_XForm *xForm) {
    delete xForm;
}

KRASTER_API int32_t kxfr_XFormStepCount(const Kxfr_XForm *xForm) {
    return xForm ? static_cast<int32_t>(xForm->steps.size()) : 0;
}

KRASTER_API int kxfr_XFormIsCompacted(const Kxfr_XForm *xForm) {
    return xForm && xForm->compacted;
}

KRASTER_API int kxfr_XFormIsIdentity(const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormIsIdentity";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    Affine a;
    const int r = chainAffine(xForm, a, fn, e);
    return r <= 0 ? r : isIdentity(a, 1e-12);
}

KRASTER_API int kxfr_XFormIsUsable(const Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormIsUsable";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    for (const Step &s : xForm->steps)
        if (s.model->fn.XFormIsUsable && call(s.model, s.model->fn.XFormIsUsable, s.data) <= 0)
            return 0;
    return 1;
}

KRASTER_API int kxfr_XFormIsSame(const Kxfr_XForm *a, const Kxfr_XForm *b, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormIsSame";
    Report e(err);
    if (!chainGiven(a, fn, e) || !chainGiven(b, fn, e)) return -1;
    Kxfr_XForm *ownA = nullptr, *ownB = nullptr;
    const Kxfr_XForm *ca = compacted(a, &ownA, fn, e);
    const Kxfr_XForm *cb = ca ? compacted(b, &ownB, fn, e) : nullptr;
    int same = cb ? ca->steps.size() == cb->steps.size() : -1;
    for (size_t i = 0; same == 1 && i < ca->steps.size(); ++i) {
        const Step &x = ca->steps[i], &y = cb->steps[i];
        const Functions &f = x.model->fn;
        if (x.model != y.model || x.titleIndex != y.titleIndex) {
            same = 0;
        } else if (f.XFormIsSame) {
            same = call(x.model, f.XFormIsSame, x.data, y.data) > 0;
        } else if (f.XFormIsInverse) {
            // A model that only recognises inverses: x equals y when x is
            // the inverse of y's inverse.
            void *inverse = call(x.model, f.XFormInvert, y.data, e.out());
            if (!inverse) {
                e.error(fn, 3, "XFormInvert failed");
                same = -1;
                break;
            }
            same = call(x.model, f.XFormIsInverse, x.data, inverse) > 0;
            call(x.model, f.XFormDestroy, inverse);
        } else {
            same = 0;
        }
    }
    kxfr_XFormFree(ownA);
    kxfr_XFormFree(ownB);
    return same;
}

KRASTER_API int kxfr_XFormComposition(Kxfr_XForm *first, const Kxfr_XForm *second,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormComposition";
    Report e(err);
    if (!chainGiven(first, fn, e) || !chainGiven(second, fn, e)) return -1;
    if (first->compacted || second->compacted) {
        e.error(fn, 3, "Cannot composite compacted XForms");
        return -1;
    }
    std::vector<Step> added;
    if (!copySteps(*second, added, fn, e)) {
        for (Step &s : added) stepRelease(s);
        return -1;
    }
    first->steps.insert(first->steps.end(), added.begin(), added.end());
    return 0;
}

KRASTER_API Kxfr_XForm *kxfr_XFormCompose(const Kxfr_XForm *outer, const Kxfr_XForm *inner,
                                          Kxfr_XForm *result, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCompose";
    Report e(err);
    if (!chainGiven(outer, fn, e) || !chainGiven(inner, fn, e)) return nullptr;
    Kxfr_XForm *c = kxfr_XFormCopy(inner, e.out());
    if (!c || kxfr_XFormComposition(c, outer, e.out()) != 0) {
        kxfr_XFormFree(c);
        e.error(fn, 4, "XFormCombine failed");
        return nullptr;
    }
    if (!result) return c;
    std::swap(result->steps, c->steps);
    result->compacted = false;
    kxfr_XFormFree(c);
    return result;
}

KRASTER_API Kxfr_XForm *kxfr_XFormInvert(const Kxfr_XForm *xForm, Kxfr_XForm *result,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormInvert";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return nullptr;
    if (xForm->compacted) {
        e.error(fn, 3, "Cannot invert compacted XForms");
        return nullptr;
    }
    Kxfr_XForm *c = newChain(fn, e);
    if (!c) return nullptr;
    for (auto s = xForm->steps.rbegin(); s != xForm->steps.rend(); ++s) {
        void *inv = call(s->model, s->model->fn.XFormInvert, s->data, e.out());
        if (!inv) {
            e.error(fn, 4, "XFormInvert failed");
            delete c;
            return nullptr;
        }
        c->steps.push_back(Step{gmInstanceReference(s->model), s->titleIndex, inv});
    }
    if (!result) return c;
    std::swap(result->steps, c->steps);
    result->compacted = false;
    delete c;
    return result;
}

KRASTER_API int kxfr_XFormCompact(Kxfr_XForm *xForm, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCompact";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    if (xForm->compacted) return 0;
    Kxfr_XForm *c = kxfr_XFormCopy(xForm, e.out());
    if (!c || !compactSteps(*c, fn, e)) {
        delete c;
        return -1;
    }
    std::swap(xForm->steps, c->steps);
    xForm->compacted = true;
    delete c;
    return 0;
}

KRASTER_API Kgda_BaseData *kxfr_Transform(const Kxfr_XForm *xForm, const Kgda_BaseData *input,
                                          Kgda_BaseData *output, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_Transform";
    Report e(err);
    if (!xForm) {
        e.error(fn, 1, "NULL xForm");
        return nullptr;
    }
    if (!input) {
        e.error(fn, 2, "NULL input matrix");
        return nullptr;
    }
    if (input->numrows < 2) {
        e.error(fn, 3, "Input matrix row dimension < 2");
        return nullptr;
    }
    const int32_t n = input->numcolumns;
    if (output && output->numrows < 2) {
        e.error(fn, 4, "Output matrix row dimension < 2");
        return nullptr;
    }
    if (output && output->numcolumns < n) {
        e.error(fn, 5, "Output matrix column dimension < %ld", static_cast<long>(n));
        return nullptr;
    }
    if (!realMatrix(input) || input->objecttype != KGDA_MATRIX_OBJECT ||
        (output && (!realMatrix(output) || output->objecttype != KGDA_MATRIX_OBJECT))) {
        e.error(fn, 6, "Point matrices must be f32 or f64 matrices");
        return nullptr;
    }
    Kgda_BaseData *made = nullptr;
    if (!output) {
        output = made =
            kgda_BaseDataCreate(2, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, e.out());
        if (!made) {
            e.error(fn, 7, "kgda_BaseDataCreate failed");
            return nullptr;
        }
    }
    // Points are worked on in place in the output when it is a 2 x n f64
    // matrix; otherwise in a buffer of their own.
    const bool direct = output->datatype == KGDA_TYPE_F64 && output->numrows == 2 &&
                        output->pitch == 2 * static_cast<int32_t>(sizeof(double));
    double *xy = nullptr;
    if (direct) {
        xy = reinterpret_cast<double *>(output->windowStart);
    } else {
        xy = static_cast<double *>(kmsc_HeapMalloc(2 * sizeof(double) * std::max(n, 1)));
        if (!xy) {
            kgda_BaseDataDelete(made, nullptr);
            e.error(fn, 8, "PointBufferAllocate failed for %ld", static_cast<long>(n));
            return nullptr;
        }
    }
    using kr::fga::setValue;
    using kr::fga::valueAt;
    if (input->datatype == KGDA_TYPE_F64 && input->numrows == 2 &&
        input->pitch == 2 * static_cast<int32_t>(sizeof(double))) {
        if (static_cast<void *>(xy) != input->windowStart)
            memmove(xy, input->windowStart, sizeof(double) * 2 * static_cast<size_t>(n));
    } else {
        for (int32_t p = 0; p < n; ++p) {
            const double x = valueAt(input, 0, p), y = valueAt(input, 1, p);
            xy[2 * p] = x;
            xy[2 * p + 1] = y;
        }
    }
    Kxfr_XForm *owned = nullptr;
    const Kxfr_XForm *c = compacted(xForm, &owned, fn, e);
    const bool ok = c && applySteps(*c, n, xy, fn, e);
    kxfr_XFormFree(owned);
    if (ok && !direct)
        for (int32_t p = 0; p < n; ++p) {
            setValue(output, 0, p, xy[2 * p]);
            setValue(output, 1, p, xy[2 * p + 1]);
        }
    if (!direct) kmsc_HeapFree(xy);
    if (!ok) {
        kgda_BaseDataDelete(made, nullptr);
        return nullptr;
    }
    return output;
}

KRASTER_API int kxfr_CoordBlockTransform(const Kxfr_XForm *xForm, int64_t count, double *xy,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_CoordBlockTransform";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    if (count < 0 || (count > 0 && !xy)) {
        e.error(fn, 2, "Invalid coordinate block");
        return -1;
    }
    Kxfr_XForm *owned = nullptr;
    const Kxfr_XForm *c = compacted(xForm, &owned, fn, e);
    const bool ok = c && applySteps(*c, count, xy, fn, e);
    kxfr_XFormFree(owned);
    return ok ? 0 : -1;
}

KRASTER_API int kxfr_TransformObjectPoly(const Kxfr_XForm *xForm, int32_t count,
                                         const Kprj_Coordinate *in, Kprj_Coordinate *out,
                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_TransformObjectPoly";
    Report e(err);
    if (count < 0 || (count > 0 && (!in || !out))) {
        e.error(fn, 2, "Invalid polygon");
        return -1;
    }
    if (count > 0 && in != out) memmove(out, in, sizeof(Kprj_Coordinate) * count);
    if (kxfr_CoordBlockTransform(xForm, count, reinterpret_cast<double *>(out), e.out()) != 0) {
        e.error(fn, 3);
        return -1;
    }
    return 0;
}

KRASTER_API int kxfr_WindowTransform(const Kxfr_XForm *xForm, const Kxfr_Window *in,
                                     Kxfr_Window *out, Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_WindowTransform";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    if (!in || !out) {
        e.error(fn, 2, "NULL window");
        return -1;
    }
    if (xForm->steps.size() == 1 && xForm->steps[0].model->fn.XFormTransformWindow) {
        const Step &s = xForm->steps[0];
        if (call(s.model, s.model->fn.XFormTransformWindow, s.data, in, out, e.out()) < 0) {
            e.error(fn, 3, "'%s' XFormTransformWindow failed", s.title());
            return -1;
        }
        return 0;
    }
    // Points along the edges: top, bottom, left, right, k + 1 each.
    constexpr int k = 16;
    double xy[4 * (k + 1) * 2];
    for (int i = 0; i <= k; ++i) {
        const double fx = in->left + (in->right - in->left) * i / k;
        const double fy = in->top + (in->bottom - in->top) * i / k;
        const double pts[4][2] = {{fx, in->top}, {fx, in->bottom}, {in->left, fy}, {in->right, fy}};
        for (int edge = 0; edge < 4; ++edge) {
            xy[2 * (edge * (k + 1) + i)] = pts[edge][0];
            xy[2 * (edge * (k + 1) + i) + 1] = pts[edge][1];
        }
    }
    if (kxfr_CoordBlockTransform(xForm, 4 * (k + 1), xy, e.out()) != 0) {
        e.error(fn, 4);
        return -1;
    }
    double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY}, mean[4][2] = {};
    for (int edge = 0; edge < 4; ++edge)
        for (int i = 0; i <= k; ++i)
            for (int d = 0; d < 2; ++d) {
                const double v = xy[2 * (edge * (k + 1) + i) + d];
                lo[d] = std::min(lo[d], v);
                hi[d] = std::max(hi[d], v);
                mean[edge][d] += v;
            }
    // The sides keep their order: the image of the left edge is on the left
    // when it lies at smaller x, and likewise for the top.
    const bool xUp = mean[2][0] <= mean[3][0], yUp = mean[0][1] <= mean[1][1];
    *out = {xUp ? lo[0] : hi[0], yUp ? lo[1] : hi[1], xUp ? hi[0] : lo[0], yUp ? hi[1] : lo[1]};
    return 0;
}

KRASTER_API int kxfr_XFormAffineExtractIfPresent(const Kxfr_XForm *xForm, Kfga_Polynomial **affine,
                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormAffineExtractIfPresent";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    if (!affine) {
        e.error(fn, 2, "NULL affine");
        return -1;
    }
    *affine = nullptr;
    Affine a;
    const int r = chainAffine(xForm, a, fn, e);
    if (r <= 0) return r;
    *affine = kfga_PolyCreate2DAffine(a.c[0], a.c[1], a.c[2], a.c[3], a.c[4], a.c[5], e.out());
    return *affine ? 1 : -1;
}

KRASTER_API Kfga_Polynomial *kxfr_XFormExtractAffine(const Kxfr_XForm *xForm,
                                                     Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormExtractAffine";
    Report e(err);
    Kfga_Polynomial *p = nullptr;
    const int r = kxfr_XFormAffineExtractIfPresent(xForm, &p, e.out());
    if (r == 0) e.error(fn, 1, "XForm is not affine");
    if (r < 0) e.error(fn, 2);
    return p;
}

KRASTER_API int kxfr_XFormFindRotationAngle(const Kxfr_XForm *xForm, double *angle,
                                            Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormFindRotationAngle";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    Affine a;
    const int r = chainAffine(xForm, a, fn, e);
    if (r <= 0 || !angle) {
        e.error(fn, 2, r == 0 ? "XForm is not affine" : !angle ? "NULL angle" : nullptr);
        return -1;
    }
    *angle = std::atan2(a.c[4], a.c[1]);
    return 0;
}

KRASTER_API void *kxfr_XFormDataGet(const Kxfr_XForm *xForm, int32_t index, const char **title,
                                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!stepGiven(xForm, index, "kxfr_XFormDataGet", e)) return nullptr;
    if (title) *title = xForm->steps[index].title();
    return xForm->steps[index].data;
}

KRASTER_API int kxfr_XFormDataSet(Kxfr_XForm *xForm, int32_t index, void *data,
                                  Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormDataSet";
    Report e(err);
    if (!stepGiven(xForm, index, fn, e)) return -1;
    if (!data) {
        e.error(fn, 3, "NULL data");
        return -1;
    }
    Step &s = xForm->steps[index];
    if (s.data != data) call(s.model, s.model->fn.XFormDestroy, s.data);
    s.data = data;
    return 0;
}

KRASTER_API Kxfr_XForm *kxfr_XFormCreateFromTitleAndData(const char *title, void *data,
                                                         Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormCreateFromTitleAndData";
    Report e(err);
    if (!data) {
        e.error(fn, 1, "NULL data");
        return nullptr;
    }
    int32_t index = 0;
    Instance *m = gmInstanceOpen(title, &index, fn, e);
    Kxfr_XForm *x = m ? newChain(fn, e) : nullptr;
    if (!x) {
        gmInstanceClose(m);
        return nullptr;
    }
    x->steps.push_back(Step{m, index, data});
    return x;
}

KRASTER_API Kxfr_NameParameterList *kxfr_NameParameterListCreate(int32_t count,
                                                                 const char *const *names,
                                                                 const double *values,
                                                                 Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_NameParameterListCreate";
    Report e(err);
    if (count < 0 || count > (1 << 20) || (count > 0 && (!names || !values))) {
        e.error(fn, 1, "Invalid parameter list");
        return nullptr;
    }
    auto *l =
        static_cast<Kxfr_NameParameterList *>(kmsc_HeapMalloc(sizeof(Kxfr_NameParameterList)));
    if (l && count > 0) {
        l->names = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * count));
        l->values = static_cast<double *>(kmsc_HeapMalloc(sizeof(double) * count));
    }
    bool ok = l && (count == 0 || (l->names && l->values));
    for (int32_t i = 0; ok && i < count; ++i) {
        const char *n = names[i] ? names[i] : "";
        l->names[i] = static_cast<char *>(kmsc_HeapMalloc(strlen(n) + 1));
        ok = l->names[i] != nullptr;
        if (ok) strcpy(l->names[i], n);
        l->values[i] = values[i];
        l->count = i + 1;
    }
    if (!ok) {
        kxfr_NameParameterListFree(l, 1);
        e.error(fn, 2, "No memory");
        return nullptr;
    }
    return l;
}

KRASTER_API void kxfr_NameParameterListFree(Kxfr_NameParameterList *lists, int32_t count) {
    if (!lists) return;
    for (int32_t k = 0; k < count; ++k) {
        for (int32_t i = 0; i < lists[k].count; ++i) kmsc_HeapFree(lists[k].names[i]);
        kmsc_HeapFree(lists[k].names);
        kmsc_HeapFree(lists[k].values);
    }
    kmsc_HeapFree(lists);
}

KRASTER_API int kxfr_NameParameterListParameterValueGet(const Kxfr_NameParameterList *list,
                                                        int32_t index, double *value,
                                                        Kerr_ErrorReport **err) {
    Report e(err);
    if (!list || !value || index < 0 || index >= list->count) {
        e.error("kxfr_NameParameterListParameterValueGet", 1, "index too large");
        return -1;
    }
    *value = list->values[index];
    return 0;
}

KRASTER_API int kxfr_NameParameterListParameterValueSet(Kxfr_NameParameterList *list, int32_t index,
                                                        double value, Kerr_ErrorReport **err) {
    Report e(err);
    if (!list || index < 0 || index >= list->count) {
        e.error("kxfr_NameParameterListParameterValueSet", 1, "index too large");
        return -1;
    }
    list->values[index] = value;
    return 0;
}

KRASTER_API Kxfr_NameParameterList *kxfr_XFormNameParameterListGet(const Kxfr_XForm *xForm,
                                                                   int32_t *count,
                                                                   Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormNameParameterListGet";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return nullptr;
    if (!count) {
        e.error(fn, 2, "NULL count");
        return nullptr;
    }
    const int32_t n = static_cast<int32_t>(xForm->steps.size());
    auto *lists = static_cast<Kxfr_NameParameterList *>(
        kmsc_HeapMalloc(sizeof(Kxfr_NameParameterList) * std::max(n, 1)));
    if (!lists) {
        e.error(fn, 3, "No memory");
        return nullptr;
    }
    for (int32_t i = 0; i < n; ++i) {
        const Step &s = xForm->steps[i];
        if (!s.model->fn.XFormNameParameterListGet) continue;
        Kxfr_NameParameterList *l = nullptr;
        if (call(s.model, s.model->fn.XFormNameParameterListGet, s.data, &l, e.out()) < 0 || !l) {
            kxfr_NameParameterListFree(l, 1);
            kxfr_NameParameterListFree(lists, i);
            e.error(fn, 4, "'%s' XFormNameParameterListGet failed", s.title());
            return nullptr;
        }
        lists[i] = *l;
        kmsc_HeapFree(l);
    }
    *count = n;
    return lists;
}

KRASTER_API int kxfr_XFormNameParameterListSet(Kxfr_XForm *xForm,
                                               const Kxfr_NameParameterList *lists, int32_t count,
                                               Kerr_ErrorReport **err) {
    static const char *const fn = "kxfr_XFormNameParameterListSet";
    Report e(err);
    if (!chainGiven(xForm, fn, e)) return -1;
    if (count != static_cast<int32_t>(xForm->steps.size()) || (count > 0 && !lists)) {
        e.error(fn, 2, "List length mismatch");
        return -1;
    }
    int32_t have = 0;
    Kxfr_NameParameterList *current = kxfr_XFormNameParameterListGet(xForm, &have, e.out());
    if (!current) return -1;
    bool match = true;
    for (int32_t i = 0; match && i < count; ++i) {
        match = current[i].count == lists[i].count;
        for (int32_t k = 0; match && k < lists[i].count; ++k)
            match = lists[i].names && lists[i].names[k] &&
                    strcmp(current[i].names[k], lists[i].names[k]) == 0;
    }
    kxfr_NameParameterListFree(current, have);
    if (!match) {
        e.error(fn, 3, "List mismatch");
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        Step &s = xForm->steps[i];
        if (!s.model->fn.XFormNameParameterListSet || lists[i].count == 0) continue;
        if (call(s.model, s.model->fn.XFormNameParameterListSet, s.data, &lists[i], e.out()) < 0) {
            e.error(fn, 4, "'%s' XFormNameParameterListSet failed", s.title());
            return -1;
        }
    }
    return 0;
}

}  // extern "C"
