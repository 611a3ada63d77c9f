// Stack functions: the values of every layer of every argument are taken
// line by line as doubles (through the pixel conversion table), combined
// element by element, and the results stored into the destination's type.
// The same walk serves the matrix transform of raster layers.
#include <kraster/kpxm.h>

#include <algorithm>

#include "data/kgda_op_internal.hpp"

namespace {

using namespace kr::gdaop;

// Computes n result elements of every output from m value lines.
struct Lanes {
    const double *const *v;
    int32_t m;
    double *const *out;
    int32_t outputs;
    int64_t n;
    const void *context;
};
using Compute = void (*)(const Lanes &);

// Walks the value arrays of stacks first ... count-1 and the destination
// layers together. The caller's check guarantees the shapes and types.
int runStack(int op, int code, Compute compute, const void *context, int32_t first,
             Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!begin(op, code, dest, args, e)) return -1;
    std::vector<const Kgda_BaseData *> arrays;
    std::vector<double> buffer;
    std::vector<const double *> values;
    std::vector<double *> results;
    std::vector<View> in, out;
    const int32_t outputs = dest->numberOfLayers;
    const Lines lines = linesOf(dest->layers[0]);
    const int64_t n = lines.length;
    try {
        for (int32_t k = first; k < args->count; ++k)
            for (int32_t j = 0; j < args->stacks[k]->numberOfLayers; ++j)
                arrays.push_back(args->stacks[k]->layers[j]);
        values.resize(arrays.size());
        in.resize(arrays.size());
        results.resize(static_cast<size_t>(outputs));
        out.resize(static_cast<size_t>(outputs));
        buffer.resize((arrays.size() + static_cast<size_t>(outputs) + 1) * static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        e.error(opName(op), 5, "Out of memory");
        return -1;
    }
    const auto m = static_cast<int32_t>(arrays.size());
    const auto convert = kmsc_AddressOf_kpxm_ConvertInc();
    for (int32_t j = 0; j < m; ++j) {
        in[j] = viewOf(arrays[j], lines.byColumns, true);
        values[j] = buffer.data() + j * n;
    }
    for (int32_t o = 0; o < outputs; ++o) {
        out[o] = viewOf(dest->layers[o], lines.byColumns, false);
        results[o] = buffer.data() + (int64_t{m} + o) * n;
    }
    double *current = buffer.data() + (int64_t{m} + outputs) * n;
    const Kgda_BaseData *mask = args->mask;
    const View mv = mask ? viewOf(mask, lines.byColumns, false) : View{};
    const Lanes lanes{values.data(), m, results.data(), outputs, n, context};
    for (int32_t l = 0; l < lines.count; ++l) {
        for (int32_t j = 0; j < m; ++j) {
            const ptrdiff_t nb = arrays[j]->numbytes;
            convert[arrays[j]->datatype][KGDA_TYPE_F64](
                in[j].at<unsigned char>(l), const_cast<double *>(values[j]), n, in[j].step / nb, 1);
        }
        compute(lanes);
        for (int32_t o = 0; o < outputs; ++o) {
            const int32_t t = dest->layers[o]->datatype;
            const ptrdiff_t sd = out[o].step / dest->layers[o]->numbytes;
            unsigned char *d = out[o].at<unsigned char>(l);
            double *r = results[o];
            if (mask) {
                // Unselected elements go back as they were: the round trip
                // through double is exact for the integer and real types.
                const uint8_t *mk = mv.at<uint8_t>(l);
                convert[t][KGDA_TYPE_F64](d, current, n, sd, 1);
                for (int64_t i = 0; i < n; ++i)
                    if (!mk[i * mv.step]) r[i] = current[i];
            }
            convert[KGDA_TYPE_F64][t](r, d, n, 1, sd);
        }
    }
    return 0;
}

template <Compute F, int OP, int First = 0>
struct StackFn {
    template <int C>
    struct At {
        static constexpr bool served = isScalarNumber(C);
        static int run(Kgda_BaseDataStack *d, const Kgda_ArgumentList *a, Kerr_ErrorReport **e) {
            return runStack(OP, C, F, nullptr, First, d, a, e);
        }
    };
};

// ---- Colour spaces ----------------------------------------------------------

constexpr double kDegree = 3.14159265358979323846 / 180.0;

void rgbToIhs(double r, double g, double b, double *i, double *h, double *s) {
    *i = (r + g + b) / 3.0;
    const double lo = std::min(r, std::min(g, b));
    *s = *i != 0 ? 1.0 - lo / *i : 0.0;
    const double num = 0.5 * ((r - g) + (r - b));
    const double den = std::sqrt((r - g) * (r - g) + (r - b) * (g - b));
    double hue = 0.0;
    if (den > 0) {
        hue = std::acos(std::clamp(num / den, -1.0, 1.0)) / kDegree;
        if (b > g) hue = 360.0 - hue;
        if (hue >= 360.0) hue -= 360.0;
    }
    *h = hue;
}

void ihsToRgb(double i, double h, double s, double *r, double *g, double *b) {
    h = std::fmod(h, 360.0);
    if (h < 0) h += 360.0;
    // Sector of 120 degrees: the channel that is lowest, the one that the
    // hue points to, and the remainder.
    double *low = b, *lead = r, *rest = g;
    if (h >= 240.0) {
        h -= 240.0, low = g, lead = b, rest = r;
    } else if (h >= 120.0) {
        h -= 120.0, low = r, lead = g, rest = b;
    }
    *low = i * (1.0 - s);
    *lead = i * (1.0 + s * std::cos(h * kDegree) / std::cos((60.0 - h) * kDegree));
    *rest = 3.0 * i - (*low + *lead);
}

template <int Channel>
void ihsChannel(const Lanes &x) {
    double c[3];
    for (int64_t k = 0; k < x.n; ++k) {
        rgbToIhs(x.v[0][k], x.v[1][k], x.v[2][k], &c[0], &c[1], &c[2]);
        x.out[0][k] = c[Channel];
    }
}

void ihsAll(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k)
        rgbToIhs(x.v[0][k], x.v[1][k], x.v[2][k], &x.out[0][k], &x.out[1][k], &x.out[2][k]);
}

template <int Channel>
void rgbChannel(const Lanes &x) {
    double c[3];
    for (int64_t k = 0; k < x.n; ++k) {
        ihsToRgb(x.v[0][k], x.v[1][k], x.v[2][k], &c[0], &c[1], &c[2]);
        x.out[0][k] = c[Channel];
    }
}

void rgbAll(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k)
        ihsToRgb(x.v[0][k], x.v[1][k], x.v[2][k], &x.out[0][k], &x.out[1][k], &x.out[2][k]);
}

// Hexcone model: H in degrees, S in [0, 1], V in any unit.
template <int Channel>
void hsvChannel(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        const double h = x.v[0][k], s = x.v[1][k], v = x.v[2][k];
        if (!std::isfinite(h)) {
            x.out[0][k] = std::nan("");
            continue;
        }
        double hp = std::fmod(h, 360.0);
        if (hp < 0) hp += 360.0;
        hp /= 60.0;
        const int sector = std::min(5, static_cast<int>(hp));
        const double c = v * s, f = c * (1.0 - std::fabs(std::fmod(hp, 2.0) - 1.0)), base = v - c;
        static constexpr int kMax[6][3] = {{2, 1, 0}, {1, 2, 0}, {0, 2, 1},
                                           {0, 1, 2}, {1, 0, 2}, {2, 0, 1}};
        const int which = kMax[sector][Channel];  // 2: c, 1: f, 0: nothing
        x.out[0][k] = base + (which == 2 ? c : which == 1 ? f : 0.0);
    }
}

// (C, Y, M, K) fractions of full ink.
template <int Ink>
void cymkChannel(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) x.out[0][k] = (1.0 - x.v[Ink][k]) * (1.0 - x.v[3][k]);
}

// ---- Reductions over the value list -----------------------------------------

void mean(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        double s = 0;
        for (int32_t j = 0; j < x.m; ++j) s += x.v[j][k];
        x.out[0][k] = s / x.m;
    }
}

void sdevi(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        double s = 0, q = 0;
        for (int32_t j = 0; j < x.m; ++j) s += x.v[j][k];
        const double mu = s / x.m;
        for (int32_t j = 0; j < x.m; ++j) q += (x.v[j][k] - mu) * (x.v[j][k] - mu);
        x.out[0][k] = std::sqrt(q / x.m);
    }
}

// Occurrences of value j in the list (NaN equals nothing).
int32_t occurrences(const Lanes &x, int64_t k, int32_t j) {
    int32_t c = 0;
    for (int32_t i = 0; i < x.m; ++i) c += x.v[i][k] == x.v[j][k];
    return c;
}

void diversity(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        int32_t distinct = 0;
        for (int32_t j = 0; j < x.m; ++j) {
            bool seen = false;
            for (int32_t i = 0; i < j && !seen; ++i) seen = x.v[i][k] == x.v[j][k];
            distinct += !seen;
        }
        x.out[0][k] = distinct;
    }
}

void density(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) x.out[0][k] = occurrences(x, k, 0);
}

// The most (Most) or least frequent value; ties go to the earlier one.
template <bool Most>
void frequent(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        int32_t best = 0, bestCount = occurrences(x, k, 0);
        for (int32_t j = 1; j < x.m; ++j) {
            const int32_t c = occurrences(x, k, j);
            if (Most ? c > bestCount : c < bestCount) best = j, bestCount = c;
        }
        x.out[0][k] = x.v[best][k];
    }
}

void position(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        int32_t p = 0;
        for (int32_t j = 0; j < x.m && !p; ++j)
            if (x.v[j][k] != 0) p = j + 1;
        x.out[0][k] = p;
    }
}

void rank(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        int32_t below = 0;
        for (int32_t j = 1; j < x.m; ++j) below += x.v[j][k] < x.v[0][k];
        x.out[0][k] = below;
    }
}

void index(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        int32_t p = 0;
        for (int32_t j = 1; j < x.m && !p; ++j)
            if (x.v[j][k] == x.v[0][k]) p = j;
        x.out[0][k] = p;
    }
}

void pick(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        const double i = std::trunc(x.v[0][k]);
        x.out[0][k] = i >= 1 && i < x.m ? x.v[static_cast<int32_t>(i)][k] : 0.0;
    }
}

void condition(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) {
        double r = 0.0;
        int32_t j = 0;
        for (; j + 1 < x.m; j += 2)
            if (x.v[j][k] != 0) break;
        if (j + 1 < x.m)
            r = x.v[j + 1][k];
        else if (x.m % 2 == 1)
            r = x.v[x.m - 1][k];
        x.out[0][k] = r;
    }
}

void ifOr(const Lanes &x) {
    for (int64_t k = 0; k < x.n; ++k) x.out[0][k] = x.v[0][k] != 0 ? x.v[1][k] : x.v[2][k];
}

void fillArray(const Lanes &x) {
    for (int32_t j = 0; j < x.m; ++j) std::copy(x.v[j], x.v[j] + x.n, x.out[j]);
}

// ---- Matrix applied to the layers of a raster stack ---------------------------

void transform(const Lanes &x) {
    const auto *matrix = static_cast<const std::vector<double> *>(x.context);
    for (int32_t o = 0; o < x.outputs; ++o) {
        const double *row = matrix->data() + static_cast<size_t>(o) * x.m;
        double *r = x.out[o];
        std::fill(r, r + x.n, 0.0);
        for (int32_t j = 0; j < x.m; ++j) {
            const double w = row[j], *v = x.v[j];
            for (int64_t k = 0; k < x.n; ++k) r[k] += w * v[k];
        }
    }
}

template <int C>
struct TrRaster {
    static constexpr bool served = isScalarNumber(C);
    static int run(Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   Kerr_ErrorReport **err) {
        // The matrix as row-major doubles; a bad argument list is left to the
        // check inside runStack.
        std::vector<double> matrix;
        if (args && args->count == 2 && args->stacks && args->stacks[0] &&
            args->stacks[0]->numberOfLayers == 1 && args->stacks[0]->layers) {
            const Kgda_BaseData *a = args->stacks[0]->layers[0];
            kr::Report probe(nullptr);
            if (checkArray(a, "", 1, probe) && isScalarNumber(a->datatype)) {
                try {
                    matrix.resize(static_cast<size_t>(a->numelements));
                } catch (const std::bad_alloc &) {
                    kr::Report e(err);
                    e.error(opName(KGDA_OP_MaoMatrixTrRaster), 5, "Out of memory");
                    return -1;
                }
                const auto convert = kmsc_AddressOf_kpxm_ConvertInc()[a->datatype][KGDA_TYPE_F64];
                for (int32_t r = 0; r < a->numrows; ++r)
                    for (int32_t c = 0; c < a->numcolumns; ++c)
                        convert(elementAt(a, r, c),
                                &matrix[static_cast<size_t>(r) * a->numcolumns + c], 1, 0, 0);
            }
        }
        return runStack(KGDA_OP_MaoMatrixTrRaster, C, &transform, &matrix, 1, dest, args, err);
    }
};

}  // namespace

KGDA_OPERATOR_TABLE(GpfInten, StackFn<&ihsChannel<0>, KGDA_OP_GpfInten>::At)
KGDA_OPERATOR_TABLE(GpfHue, StackFn<&ihsChannel<1>, KGDA_OP_GpfHue>::At)
KGDA_OPERATOR_TABLE(GpfSatur, StackFn<&ihsChannel<2>, KGDA_OP_GpfSatur>::At)
KGDA_OPERATOR_TABLE(GpfRed, StackFn<&rgbChannel<0>, KGDA_OP_GpfRed>::At)
KGDA_OPERATOR_TABLE(GpfGreen, StackFn<&rgbChannel<1>, KGDA_OP_GpfGreen>::At)
KGDA_OPERATOR_TABLE(GpfBlue, StackFn<&rgbChannel<2>, KGDA_OP_GpfBlue>::At)
KGDA_OPERATOR_TABLE(GpfRgbToIhs, StackFn<&ihsAll, KGDA_OP_GpfRgbToIhs>::At)
KGDA_OPERATOR_TABLE(GpfIhsToRgb, StackFn<&rgbAll, KGDA_OP_GpfIhsToRgb>::At)
KGDA_OPERATOR_TABLE(GpfHSVtoRed, StackFn<&hsvChannel<0>, KGDA_OP_GpfHSVtoRed>::At)
KGDA_OPERATOR_TABLE(GpfHSVtoGreen, StackFn<&hsvChannel<1>, KGDA_OP_GpfHSVtoGreen>::At)
KGDA_OPERATOR_TABLE(GpfHSVtoBlue, StackFn<&hsvChannel<2>, KGDA_OP_GpfHSVtoBlue>::At)
KGDA_OPERATOR_TABLE(GpfCYMKtoRed, StackFn<&cymkChannel<0>, KGDA_OP_GpfCYMKtoRed>::At)
KGDA_OPERATOR_TABLE(GpfCYMKtoGreen, StackFn<&cymkChannel<2>, KGDA_OP_GpfCYMKtoGreen>::At)
KGDA_OPERATOR_TABLE(GpfCYMKtoBlue, StackFn<&cymkChannel<1>, KGDA_OP_GpfCYMKtoBlue>::At)
KGDA_OPERATOR_TABLE(GpfMean, StackFn<&mean, KGDA_OP_GpfMean>::At)
KGDA_OPERATOR_TABLE(GpfSdevi, StackFn<&sdevi, KGDA_OP_GpfSdevi>::At)
KGDA_OPERATOR_TABLE(GpfDiversity, StackFn<&diversity, KGDA_OP_GpfDiversity>::At)
KGDA_OPERATOR_TABLE(GpfDensity, StackFn<&density, KGDA_OP_GpfDensity>::At)
KGDA_OPERATOR_TABLE(GpfMajority, StackFn<&frequent<true>, KGDA_OP_GpfMajority>::At)
KGDA_OPERATOR_TABLE(GpfMinority, StackFn<&frequent<false>, KGDA_OP_GpfMinority>::At)
KGDA_OPERATOR_TABLE(GpfPosition, StackFn<&position, KGDA_OP_GpfPosition>::At)
KGDA_OPERATOR_TABLE(GpfRank, StackFn<&rank, KGDA_OP_GpfRank>::At)
KGDA_OPERATOR_TABLE(GpfIndex, StackFn<&index, KGDA_OP_GpfIndex>::At)
KGDA_OPERATOR_TABLE(GpfPick, StackFn<&pick, KGDA_OP_GpfPick>::At)
KGDA_OPERATOR_TABLE(GpfCondition, StackFn<&condition, KGDA_OP_GpfCondition>::At)
KGDA_OPERATOR_TABLE(GpfIfOr, StackFn<&ifOr, KGDA_OP_GpfIfOr>::At)
KGDA_OPERATOR_TABLE(GpfFillArray, StackFn<&fillArray, KGDA_OP_GpfFillArray>::At)
KGDA_OPERATOR_TABLE(MaoMatrixTrRaster, TrRaster)
