// Robinson on the sphere from the published table: per 5 degrees of
// latitude the parallel's length (scaled by 0.9858, so that the equator is
// 0.9858 pi r either side) and its distance from the equator (as a share of
// the pole line's pi r / 2), interpolated by second-order central
// differences between the table's rows.
#include "projection/families/kprj_sphere_family.hpp"

namespace kr::prj {

namespace {

constexpr char kToLL[] = "kprj_ROBINToLL";
constexpr char kFromLL[] = "kprj_ROBINFromLL";

// Rows for -5, 0, 5, ..., 90 degrees (the first mirrors 5 degrees).
constexpr int kRows = 20;
constexpr double kLength[kRows] = {0.9986, 1.0,    0.9986, 0.9954, 0.99,   0.9822, 0.973,
                                   0.96,   0.9427, 0.9216, 0.8962, 0.8679, 0.835,  0.7986,
                                   0.7597, 0.7186, 0.6732, 0.6213, 0.5722, 0.5322};
constexpr double kHeight[kRows] = {-0.062, 0.0,    0.062,  0.124,  0.186,  0.248,  0.31,
                                   0.372,  0.434,  0.4958, 0.5571, 0.6176, 0.6769, 0.7346,
                                   0.7903, 0.8435, 0.8936, 0.9394, 0.9761, 1.0};
constexpr double kLengthScale = 0.9858;

// Interpolates a table at row i (the row of 5 i degrees) plus a fraction p.
double interpolate(const double *t, int i, double p) {
    const double a = t[i], b = t[i + 1], c = t[i + 2];
    return b + p * (c - a) / 2 + p * p * (c - 2 * b + a) / 2;
}

// The row and fraction of |lat| in degrees.
void rowOf(double degrees, int &i, double &p) {
    const double steps = degrees / 5;
    i = static_cast<int>(steps - kEpsilon);
    if (i < 0) i = 0;
    if (i > kRows - 3) i = kRows - 3;
    p = steps - i;
}

const char *forward(const SphereFrame &b, double &x, double &y) {
    int i = 0;
    double p = 0;
    rowOf(std::fabs(y) / kD2R, i, p);
    x = b.fe + b.r * kLengthScale * interpolate(kLength, i, p) * adjl(x - b.lon0);
    y = b.fn + std::copysign(b.r * interpolate(kHeight, i, p) * kHalfPi, y);
    return nullptr;
}

const char *inverse(const SphereFrame &b, double &x, double &y) {
    const double h = std::fabs(y - b.fn) / (b.r * kHalfPi);
    if (h > 1 + kEpsilon) return "Input data error";
    // The interpolation is a rising quadratic on each row: find the row, then
    // solve the quadratic for the fraction.
    int i = 0;
    while (i < kRows - 3 && kHeight[i + 2] < h) ++i;
    const double a = kHeight[i], m = kHeight[i + 1], c = kHeight[i + 2];
    const double qa = (c - 2 * m + a) / 2, qb = (c - a) / 2, qc = m - h;
    double p = -2 * qc / (qb + std::sqrt(std::max(qb * qb - 4 * qa * qc, 0.0)));
    p = p < 0 ? 0 : (p > 1 ? 1 : p);
    const double dlon = (x - b.fe) / (b.r * kLengthScale * interpolate(kLength, i, p));
    if (std::fabs(dlon) > kPi + 1e-9) return "Input data error";
    x = adjl(b.lon0 + dlon);
    y = std::copysign(5 * (i + p) * kD2R, y - b.fn);
    return nullptr;
}

}  // namespace

bool robinsonInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    return sphereFamilyInit<SphereFrame, forward, inverse, kToLL, kFromLL>(p, m, "kprj_ROBINInit",
                                                                           e);
}

}  // namespace kr::prj
