// The six coefficients of a 2-D affine map, and what chains do with them.
#pragma once

#include <kraster/kxfr.h>

#include "core/report.hpp"

namespace kr::xfr {

struct Step;

// x' = c[0] + c[1] x + c[2] y, y' = c[3] + c[4] x + c[5] y.
struct Affine {
    double c[6] = {0, 1, 0, 0, 0, 1};
};

// The coefficients of an order-1, 2-D polynomial; false for anything else.
bool affineCoeffs(const Kfga_Polynomial *p, Affine &a);
// outer after inner (inner applied first).
Affine affineAfter(const Affine &outer, const Affine &inner);
bool isIdentity(const Affine &a, double tolerance);
// 1 with a step's affine form, 0 when the step is not affine, -1.
int stepAffine(const Step &s, Affine &a, const char *fn, Report &e);
// 1 with a whole chain's mapping when it is affine, 0 when not, -1.
int chainAffine(const Kxfr_XForm *x, Affine &a, const char *fn, Report &e);

}  // namespace kr::xfr
