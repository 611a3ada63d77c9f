// The geometric model "Rational Function": the rational polynomial camera
// model that satellite image vendors publish. Ground (longitude x, latitude
// y, at a fixed height) maps to image (sample x, line y):
//     sample = S(L, P, H) / S'(L, P, H) x sampleScale + sampleOffset
//     line   = N(L, P, H) / N'(L, P, H) x lineScale + lineOffset
// with L, P, H the longitude, latitude and height offset and scaled to
// about [-1, 1], and N, N', S, S' cubic polynomials of 20 terms in the order
//     1, L, P, H, LP, LH, PH, L^2, P^2, H^2, PLH, L^3, LP^2, LH^2, L^2P,
//     P^3, PH^2, L^2H, P^2H, H^3.
// The inverse step (image to ground) is solved by Newton iteration.
//
// Text form:  RATIONALFUNCTION(inverse,height,lineOffset,sampleOffset,
//             latOffset,longOffset,heightOffset,lineScale,sampleScale,
//             latScale,longScale,heightScale,N[20],N'[20],S[20],S'[20]);
// MIF form:   design Kxfr_RationalFunction {1:linverse,1:dheight,
//             10:dnormalization,80:dcoefficients} in the order of the text.
// Parameters: "height" (the ground height of the points).
#include <mutex>

#include "gm_common.hpp"

namespace {

const char *const kNames[1] = {"height"};

enum {
    LINE_OFF,
    SAMP_OFF,
    LAT_OFF,
    LONG_OFF,
    HEIGHT_OFF,
    LINE_SCALE,
    SAMP_SCALE,
    LAT_SCALE,
    LONG_SCALE,
    HEIGHT_SCALE
};

struct Rpc {
    int32_t inverse;
    double height;
    double norm[10];
    double coef[80];  // line numerator, line denominator, sample numerator, sample denominator
};

const Rpc *as(const void *data) {
    return static_cast<const Rpc *>(data);
}

double cubic(const double *c, double l, double p, double h) {
    const double t[20] = {1,         l,         p,         h,         l * p,
                          l * h,     p * h,     l * l,     p * p,     h * h,
                          p * l * h, l * l * l, l * p * p, l * h * h, l * l * p,
                          p * p * p, p * h * h, l * l * h, p * p * h, h * h * h};
    double s = 0;
    for (int k = 0; k < 20; ++k) s += c[k] * t[k];
    return s;
}

// Ground (x = longitude, y = latitude) to image (x = sample, y = line).
bool forward(const Rpc &r, double x, double y, double &sample, double &line) {
    const double *n = r.norm;
    const double l = (x - n[LONG_OFF]) / n[LONG_SCALE], p = (y - n[LAT_OFF]) / n[LAT_SCALE];
    const double h = (r.height - n[HEIGHT_OFF]) / n[HEIGHT_SCALE];
    const double ld = cubic(r.coef + 20, l, p, h), sd = cubic(r.coef + 60, l, p, h);
    if (ld == 0 || sd == 0) return false;
    line = cubic(r.coef, l, p, h) / ld * n[LINE_SCALE] + n[LINE_OFF];
    sample = cubic(r.coef + 40, l, p, h) / sd * n[SAMP_SCALE] + n[SAMP_OFF];
    return std::isfinite(line) && std::isfinite(sample);
}

// Image to ground by Newton iteration from the ground offsets.
bool backward(const Rpc &r, double sample, double line, double &x, double &y) {
    const double *n = r.norm;
    x = n[LONG_OFF];
    y = n[LAT_OFF];
    const double hx = 1e-6 * std::fabs(n[LONG_SCALE]), hy = 1e-6 * std::fabs(n[LAT_SCALE]);
    for (int it = 0; it < 30; ++it) {
        double s0, l0, sx, lx, sy, ly;
        if (!forward(r, x, y, s0, l0) || !forward(r, x + hx, y, sx, lx) ||
            !forward(r, x, y + hy, sy, ly))
            return false;
        const double a = (sx - s0) / hx, b = (sy - s0) / hy, c = (lx - l0) / hx, d = (ly - l0) / hy;
        const double det = a * d - b * c;
        if (!(std::fabs(det) > 0)) return false;
        const double ds = sample - s0, dl = line - l0;
        const double dx = (d * ds - b * dl) / det, dy = (a * dl - c * ds) / det;
        x += dx;
        y += dy;
        if (std::fabs(dx) <= 1e-12 * (1 + std::fabs(x)) &&
            std::fabs(dy) <= 1e-12 * (1 + std::fabs(y)))
            return true;
    }
    return false;
}

Rpc *make(const Rpc &from, Kerr_ErrorReport **err) {
    bool ok = std::isfinite(from.height) && (from.inverse == 0 || from.inverse == 1);
    for (double v : from.norm) ok = ok && std::isfinite(v);
    for (int k : {LINE_SCALE, SAMP_SCALE, LAT_SCALE, LONG_SCALE, HEIGHT_SCALE})
        ok = ok && from.norm[k] != 0;
    for (double v : from.coef) ok = ok && std::isfinite(v);
    if (!ok) {
        gm::fail(err, "XFormCreate", 1, "Invalid rational function");
        return nullptr;
    }
    auto *r = static_cast<Rpc *>(kmsc_HeapMalloc(sizeof(Rpc)));
    if (r)
        *r = from;
    else
        gm::fail(err, "XFormCreate", 2, "No memory");
    return r;
}

const Kmif_Design *rpcDesign(Kerr_ErrorReport **err) {
    static std::once_flag once;
    static gm::LoadDesign made;
    std::call_once(once, [&] {
        constexpr int kArray = KMIF_TYPE_F64 | KMIF_FLAG_COUNT;
        made.design = kmif_DesignCreate(nullptr, "Kxfr_RationalFunction", KMIF_TYPE_S32, "inverse",
                                        KMIF_TYPE_F64, "height", kArray, "normalization", 10,
                                        kArray, "coefficients", 80, 0, err);
    });
    if (!made.design) gm::fail(err, "Kxfr_RationalFunction", 1, "Design create failed");
    return made.design;
}

}  // namespace

GM_INSTANCE("Rational Function", 1)

GM_EXPORT void XFormDestroy(void *data) {
    kmsc_HeapFree(data);
}

GM_EXPORT void *XFormCopy(const void *data, Kerr_ErrorReport **err) {
    return make(*as(data), err);
}

GM_EXPORT void *XFormInvert(const void *data, Kerr_ErrorReport **err) {
    Rpc r = *as(data);
    r.inverse = !r.inverse;
    return make(r, err);
}

GM_EXPORT long XFormIsSame(const void *a, const void *b) {
    return memcmp(a, b, sizeof(Rpc)) == 0;
}

GM_EXPORT long XFormIsInverse(const void *a, const void *b) {
    Rpc r = *as(a);
    r.inverse = !r.inverse;
    return memcmp(&r, b, sizeof(Rpc)) == 0;
}

GM_EXPORT long XFormTransform(const void *data, long count, double *xy) {
    const Rpc &r = *as(data);
    long failed = 0;
    for (long i = 0; i < count; ++i) {
        double &x = xy[2 * i], &y = xy[2 * i + 1];
        const bool ok = r.inverse ? backward(r, x, y, x, y) : forward(r, x, y, x, y);
        failed += !ok;
    }
    return failed ? -1 : count;
}

GM_EXPORT char *XFormSprintf(const void *data, Kerr_ErrorReport **) {
    const Rpc &r = *as(data);
    return gm::TextWriter("RATIONALFUNCTION")
        .number(r.inverse)
        .number(r.height)
        .numbers(r.norm, 10)
        .numbers(r.coef, 80)
        .finish();
}

GM_EXPORT void *XFormSscanf(const char *text, Kerr_ErrorReport **err) {
    std::vector<gm::Token> tokens;
    gm::TokenReader t(tokens);
    Rpc r{};
    long inverse = 0;
    if (!gm::parseText(text, "RATIONALFUNCTION", tokens) || !t.integer(inverse, 0, 1) ||
        !t.number(r.height) || !t.numbers(r.norm, 10) || !t.numbers(r.coef, 80) || !t.done()) {
        gm::fail(err, "XFormSscanf", 1, "Not a rational function: %s", text ? text : "<NULL>");
        return nullptr;
    }
    r.inverse = static_cast<int32_t>(inverse);
    return make(r, err);
}

GM_EXPORT long XFormConvertToMIF(const void *data, char **dictionary, char **designName,
                                 unsigned char **bytes, int32_t *size, Kerr_ErrorReport **err) {
    const Kmif_Design *d = rpcDesign(err);
    return d ? gm::toMIF(data, d, dictionary, designName, bytes, size, err) : -1;
}

GM_EXPORT void *XFormConvertFromMIF(const char *dictionary, const char *designName,
                                    const unsigned char *bytes, int32_t size,
                                    Kerr_ErrorReport **err) {
    const Kmif_Design *d = rpcDesign(err);
    gm::Decoded decoded;
    if (!d || !gm::fromMIF(dictionary, designName, bytes, size, d, decoded, err)) return nullptr;
    return make(*static_cast<const Rpc *>(decoded.object), err);
}

GM_EXPORT long XFormNameParameterListGet(const void *data, Kxfr_NameParameterList **list,
                                         Kerr_ErrorReport **err) {
    *list = kxfr_NameParameterListCreate(1, kNames, &as(data)->height, err);
    return *list ? 0 : -1;
}

GM_EXPORT long XFormNameParameterListSet(void *data, const Kxfr_NameParameterList *list,
                                         Kerr_ErrorReport **err) {
    if (list->count != 1 || !std::isfinite(list->values[0])) {
        gm::fail(err, "XFormNameParameterListSet", 1, "Invalid height");
        return -1;
    }
    static_cast<Rpc *>(data)->height = list->values[0];
    return 0;
}
