// Owning handles and point matrices shared by the transform suites.
#pragma once

#include <kraster/kraster.h>

#include <memory>
#include <vector>

namespace xfrtest {

struct XDelete {
    void operator()(Kxfr_XForm *x) const { kxfr_XFormFree(x); }
};
using X = std::unique_ptr<Kxfr_XForm, XDelete>;
struct BdDelete {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using Bd = std::unique_ptr<Kgda_BaseData, BdDelete>;
struct PolyDelete {
    void operator()(Kfga_Polynomial *p) const { kfga_PolynomialDelete(p, nullptr); }
};
using Poly = std::unique_ptr<Kfga_Polynomial, PolyDelete>;
struct MiDelete {
    void operator()(Kprj_MapInfo *m) const { kprj_MapInfoFree(m); }
};
using Mi = std::unique_ptr<Kprj_MapInfo, MiDelete>;
using Pts = std::vector<double>;  // x0 y0 x1 y1 ...

// The points as a matrix of `rows` rows (f64), one column a point; rows
// past the second hold a value no transform may use.
inline Bd matrix(const Pts &xy, int rows = 2) {
    const int n = static_cast<int>(xy.size() / 2);
    Bd b(kgda_BaseDataCreate(rows, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    auto *v = reinterpret_cast<double *>(b->windowStart);
    for (int p = 0; p < n; ++p) {
        v[rows * p] = xy[2 * p];
        v[rows * p + 1] = xy[2 * p + 1];
        for (int r = 2; r < rows; ++r) v[rows * p + r] = 1e300;
    }
    return b;
}

}  // namespace xfrtest
