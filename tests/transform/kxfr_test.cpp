// Transform chains: every model against direct evaluation, inversion,
// compaction, text and stored forms, the older stored layout, misbehaving
// model plug-ins, and chains shared by threads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/ktest.hpp"
#include "support/prj_records.hpp"

namespace {

struct XDelete {
    void operator()(Kxfr_XForm *x) const { kxfr_XFormFree(x); }
};
using X = std::unique_ptr<Kxfr_XForm, XDelete>;
struct BdDelete {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using Bd = std::unique_ptr<Kgda_BaseData, BdDelete>;
using Pts = std::vector<double>;  // x0 y0 x1 y1 ...

Bd matrix(const Pts &xy, int rows = 2) {
    const int n = static_cast<int>(xy.size() / 2);
    Bd b(kgda_BaseDataCreate(rows, n, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    auto *v = reinterpret_cast<double *>(b->windowStart);
    for (int p = 0; p < n; ++p) {
        v[rows * p] = xy[2 * p];
        v[rows * p + 1] = xy[2 * p + 1];
        for (int r = 2; r < rows; ++r) v[rows * p + r] = 1e300;  // never used
    }
    return b;
}

// The chain applied to the points (empty on failure, with the report).
Pts apply(const Kxfr_XForm *x, const Pts &xy, ktest::Err &err) {
    Bd in = matrix(xy, 3);
    Bd out(kxfr_Transform(x, in.get(), nullptr, &err));
    if (!out) return {};
    EXPECT_EQ(out->numrows, 2);
    const auto *v = reinterpret_cast<const double *>(out->windowStart);
    return Pts(v, v + xy.size());
}

void expectNear(const Pts &got, const Pts &want, double tol, const std::string &what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], tol * (1 + std::fabs(want[i]))) << what << " value " << i;
}

X ascii(const char *title, const char *text) {
    ktest::Err err;
    X x(kxfr_XFormConvertFromASCII(1, &title, &text, &err));
    EXPECT_TRUE(x) << ktest::messages(err.r);
    return x;
}

// Steps of the models appended into one chain.
X chain(std::initializer_list<Kxfr_XForm *> parts) {
    X x(kxfr_XFormNew(nullptr));
    for (Kxfr_XForm *p : parts) {
        EXPECT_TRUE(p);
        EXPECT_EQ(kxfr_XFormComposition(x.get(), p, nullptr), 0);
        kxfr_XFormFree(p);
    }
    return x;
}

Kfga_Polynomial *quadratic() {
    Kfga_Polynomial *p = kfga_PolynomialCreate(2, 2, 2, nullptr);
    const double x[6] = {3, 1.1, 0.2, 0.01, -0.02, 0.005}, y[6] = {-2, 0.1, 0.9, 0.0, 0.01, -0.01};
    auto *m = reinterpret_cast<double *>(p->polycoefmtx->windowStart);
    auto *v = reinterpret_cast<double *>(p->polycoefvector->windowStart);
    v[0] = x[0];
    v[1] = y[0];
    for (int k = 0; k < 5; ++k) {
        m[2 * k] = x[k + 1];
        m[2 * k + 1] = y[k + 1];
    }
    return p;
}

// A rational function whose sample is l + 0.1 l^2 (over 1 + 0.05 p) and line
// p, scaled by 1000 about (5000, 4000); ground offsets (10, 50), scales 0.5.
const char kRpc[] =
    "RATIONALFUNCTION(0,100,4000,5000,50,10,100,1000,1000,0.5,0.5,500,"
    "0,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
    "1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
    "0,1,0,0,0,0,0,0.1,0,0,0,0,0,0,0,0,0,0,0,0,"
    "1,0,0.05,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0);";

struct Fixture : ::testing::Test {
    void SetUp() override { toolkit = kint_InitToolkit(nullptr); }
    // A pair from UTM zone 18 north to geographic.
    Kprj_ProjectionPair *utmToGeo() {
        Kprj_ProParameters *utm = kprj_ProParametersCreateByName(toolkit, "UTM", nullptr);
        Kprj_ProParameters *geo =
            kprj_ProParametersCreateByName(toolkit, "Geographic (Lat/Lon)", nullptr);
        EXPECT_TRUE(utm && geo);
        utm->proZone = 18;
        Kprj_ProjectionPair *pair = kprj_ProjectionPairCreate(nullptr);
        EXPECT_EQ(kprj_ProjectionPairInit(toolkit, pair, utm, geo, &err), 0)
            << ktest::messages(err.r);
        kprj_ProParametersFree(utm);
        kprj_ProParametersFree(geo);
        return pair;
    }
    Kint_InitToolkitData *toolkit = nullptr;
    ktest::Err err;
    ktest::TempDir dir;
};

using Chains = Fixture;

TEST_F(Chains, EveryModelMatchesDirectEvaluationAndSurvivesInversionCompactionTextAndStorage) {
    const Pts unit = {0, 0, 1, 0, 0, 1, 2.5, -3, -10, 7};
    const Pts grid = {1, 0, 2, 3, 4, 1, 5, 5, 3, 2};  // where the fitted inverses hold
    const Pts utm = {500000, 4.4e6, 510000, 4.41e6, 480000, 4.3e6};
    const Pts ground = {10, 50, 10.2, 50.1, 9.9, 49.8};
    std::unique_ptr<Kfga_Polynomial, void (*)(Kfga_Polynomial *)> q(
        quadratic(), [](Kfga_Polynomial *p) { kfga_PolynomialDelete(p, nullptr); });
    Kprj_ProjectionPair *pair = utmToGeo();
    Kprj_MapInfo *mi = kprjtest::mapInfo("UTM", "meters", 100, 200, 400, -100, 30, 30);
    const double c[6] = {5, 2, -1, -3, 0.5, 1.5};
    using Map = std::function<void(double &, double &)>;
    struct Case {
        const char *name;
        X x;
        Pts points;
        Map direct;
        double tol, inverseTol;
    };
    auto poly = [&](double &x, double &y) {
        double xy[2] = {x, y};
        kfga_PolyTransBlockCoords(q.get(), 1, xy, nullptr);
        x = xy[0];
        y = xy[1];
    };
    auto affine = [&](double &x, double &y) {
        const double u = c[0] + c[1] * x + c[2] * y;
        y = c[3] + c[4] * x + c[5] * y;
        x = u;
    };
    Case cases[] = {
        {"identity", ascii("Identity", "IDENTITY;"), unit, [](double &, double &) {}, 0, 0},
        {"affine", X(kxfr_XFormCreateUsingCoeffs(c, nullptr)), unit, affine, 1e-15, 1e-12},
        {"scale, rotate, translate",
         chain({kxfr_XFormScaleXY(2, 3, nullptr), kxfr_XFormRotate(M_PI / 2, nullptr),
                kxfr_XFormTranslate(1, -1, nullptr)}),
         unit,
         [](double &x, double &y) {
             const double u = -3 * y + 1;
             y = 2 * x - 1;
             x = u;
         },
         1e-14, 1e-12},
        {"pixel to map", X(kxfr_XFormCreateFromMapInfo(mi, 0, nullptr)), unit,
         [](double &x, double &y) {
             x = 30 * x + 100;
             y = -30 * y + 200;
         },
         1e-15, 1e-12},
        {"map to pixel", X(kxfr_XFormCreateFromMapInfo(mi, 1, nullptr)), unit,
         [](double &x, double &y) {
             x = (x - 100) / 30;
             y = (200 - y) / 30;
         },
         1e-15, 1e-12},
        {"feet to meters", X(kxfr_XFormCreateFromUnits("feet", "meters", nullptr)), unit,
         [](double &x, double &y) {
             x *= 0.3048;
             y *= 0.3048;
         },
         1e-12, 1e-12},
        {"polynomial", X(kxfr_XFormCreateFromPolyPair(q.get(), nullptr, nullptr)), grid, poly,
         1e-15, 1e-2},
        {"affine around polynomial",
         chain({kxfr_XFormTranslate(1, 2, nullptr),
                kxfr_XFormCreateFromPolyPair(q.get(), nullptr, nullptr),
                kxfr_XFormScale(2, nullptr)}),
         grid,
         [&](double &x, double &y) {
             x += 1;
             y += 2;
             poly(x, y);
             x *= 2;
             y *= 2;
         },
         1e-12, 1e-2},
        {"projection pair", X(kxfr_XFormCreateFromProjPair(pair, nullptr)), utm,
         [&](double &x, double &y) {
             Kprj_Coordinate p{x, y};
             kprj_Project(pair, 1, &p, &p, nullptr);
             x = p.x;
             y = p.y;
         },
         0, 1e-9},
        {"rational function", ascii("Rational Function", kRpc), ground,
         [](double &x, double &y) {
             const double l = (x - 10) / 0.5, p = (y - 50) / 0.5;
             x = (l + 0.1 * l * l) / (1 + 0.05 * p) * 1000 + 5000;
             y = p * 1000 + 4000;
         },
         1e-12, 1e-9},
    };
    const std::string file = dir.file("chains.hfa");
    Khfa_File *f = khfa_FileCreate(file.c_str(), toolkit, &err);
    ASSERT_TRUE(f) << ktest::messages(err.r);
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "Layer", "Eimg_Layer", &err));
    for (Case &k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(k.x);
        EXPECT_EQ(kxfr_XFormIsUsable(k.x.get(), &err), 1);
        Pts want = k.points;
        for (size_t i = 0; i < want.size(); i += 2) k.direct(want[i], want[i + 1]);
        const Pts got = apply(k.x.get(), k.points, err);
        expectNear(got, want, k.tol, "direct");
        // The chain after its inverse gives the points back.
        X inv(kxfr_XFormInvert(k.x.get(), nullptr, &err));
        X round(inv ? kxfr_XFormCompose(inv.get(), k.x.get(), nullptr, &err) : nullptr);
        ASSERT_TRUE(round) << ktest::messages(err.r);
        expectNear(apply(round.get(), k.points, err), k.points, k.inverseTol, "inverse");
        // Compaction keeps the mapping and never adds steps.
        X compact(kxfr_XFormCopy(k.x.get(), &err));
        ASSERT_EQ(kxfr_XFormCompact(compact.get(), &err), 0) << ktest::messages(err.r);
        EXPECT_LE(kxfr_XFormStepCount(compact.get()), std::max(1, kxfr_XFormStepCount(k.x.get())));
        EXPECT_LE(kxfr_XFormStepCount(compact.get()), 1);
        expectNear(apply(compact.get(), k.points, err), got, 1e-12, "compacted");
        // Text form, then written under the layer, read, written again.
        int32_t n = 0;
        char **titles = nullptr, **texts = nullptr;
        ASSERT_EQ(kxfr_XFormConvertToASCII(k.x.get(), &n, &titles, &texts, &err), 0);
        X back(kxfr_XFormConvertFromASCII(n, titles, texts, &err));
        for (int i = 0; i < n; ++i) {
            kmsc_HeapFree(titles[i]);
            kmsc_HeapFree(texts[i]);
        }
        kmsc_HeapFree(titles);
        kmsc_HeapFree(texts);
        ASSERT_TRUE(back) << ktest::messages(err.r);
        EXPECT_EQ(kxfr_XFormIsSame(back.get(), k.x.get(), &err), 1);
        for (int pass = 0; pass < 2; ++pass)
            ASSERT_EQ(kxfr_XFormWrite(f, ":Layer", k.x.get(), &err), 0) << ktest::messages(err.r);
        Kstr_StringList *nodes = khfa_ObjectList(f, ":Layer", "GenericXForm", nullptr, &err);
        EXPECT_EQ(nodes ? nodes->count : -1, 1);
        kstr_StringListFree(nodes);
        X read(kxfr_XFormRead(f, ":Layer", &err));
        ASSERT_TRUE(read) << ktest::messages(err.r);
        EXPECT_EQ(kxfr_XFormStepCount(read.get()), kxfr_XFormStepCount(k.x.get()));
        EXPECT_EQ(kxfr_XFormIsSame(read.get(), k.x.get(), &err), 1);
        expectNear(apply(read.get(), k.points, err), got, 0, "read back");
    }
    // Different chains are not the same; the identity chain is the identity.
    EXPECT_EQ(kxfr_XFormIsSame(cases[1].x.get(), cases[2].x.get(), &err), 0);
    EXPECT_EQ(kxfr_XFormIsIdentity(cases[0].x.get(), &err), 1);
    EXPECT_EQ(kxfr_XFormIsIdentity(cases[1].x.get(), &err), 0);
    EXPECT_EQ(kxfr_XFormIsIdentity(cases[6].x.get(), &err), 0);
    EXPECT_EQ(khfa_FileClose(f, &err), 0);
    kprj_MapInfoFree(mi);
    kprj_ProjectionPairFree(pair);
}

}  // namespace
