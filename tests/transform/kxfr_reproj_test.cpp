// Reprojection transforms: the sample grid, the order search with its error
// measure, the four kinds against direct evaluation, the
// preferences read at each build, residual sums, map information carried
// into another projection, and every refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"
#include "transform/xfr_handles.hpp"
#include "support/prj_records.hpp"

namespace {

using namespace xfrtest;

Pts through(const Kxfr_XForm *x, Pts xy) {
    ktest::Err e;
    EXPECT_EQ(kxfr_CoordBlockTransform(x, static_cast<int64_t>(xy.size() / 2), xy.data(), &e), 0)
        << ktest::messages(e.r);
    return xy;
}

// A crafted map-to-map function: f applied to every point; the points it
// was given are kept.
struct Crafted {
    explicit Crafted(std::function<void(double &, double &)> g, bool fail = false)
        : f(std::move(g)), failing(fail) {}
    std::function<void(double &, double &)> f;
    Pts seen;
    bool failing;
};
int crafted(void *context, const Kgda_BaseData *in, Kgda_BaseData *out, Kerr_ErrorReport **) {
    auto *c = static_cast<Crafted *>(context);
    if (c->failing) return -1;
    const auto *p = reinterpret_cast<const double *>(in->windowStart);
    auto *q = reinterpret_cast<double *>(out->windowStart);
    c->seen.assign(p, p + 2 * in->numcolumns);
    for (int i = 0; i < in->numcolumns; ++i) {
        double x = p[2 * i], y = p[2 * i + 1];
        c->f(x, y);
        q[2 * i] = x;
        q[2 * i + 1] = y;
    }
    return 0;
}

// Points of a chain that should map them to themselves.
void expectFixed(const Kxfr_XForm *x) {
    const Pts in = {0, 0, 9, 0, 0, 9, 4.5, 7.25};
    const Pts out = through(x, in);
    for (size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(out[i], in[i], 1e-6) << i;
}

// The text of a chain's step (its model's text form).
std::string stepText(const Kxfr_XForm *x, int step) {
    int32_t n = 0;
    char **titles = nullptr, **texts = nullptr;
    std::string s;
    if (kxfr_XFormConvertToASCII(x, &n, &titles, &texts, nullptr) == 0 && step < n) s = texts[step];
    for (int32_t i = 0; i < n; ++i) {
        kmsc_HeapFree(titles[i]);
        kmsc_HeapFree(texts[i]);
    }
    kmsc_HeapFree(titles);
    kmsc_HeapFree(texts);
    return s;
}
// The fitted polynomial's text: the last step of a kind-2 chain.
std::string fitText(const Kxfr_XForm *x) {
    return stepText(x, kxfr_XFormStepCount(x) - 1);
}

class Reproj : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(kint_InitToolkit(nullptr)); }
    X unity{kxfr_XFormCreateUnity(nullptr)};

    X build(Crafted &c, long width, long height, long columns, long rows, long maxOrder,
            double *error, Kxfr_ReprojXFormType kind = KXFR_REPROJ_PIXEL_TO_PIXEL,
            const Kxfr_XForm *src = nullptr, const Kxfr_XForm *dst = nullptr) {
        ktest::Err e;
        X x(kxfr_XFormCreateReprojFromMapToMapFuncX(crafted, &c, src ? src : unity.get(), width,
                                                    height, dst ? dst : unity.get(), kind, columns,
                                                    rows, maxOrder, error, &e));
        EXPECT_TRUE(x) << ktest::messages(e.r);
        return x;
    }
};

TEST_F(Reproj, OrderSearchStopsAtToleranceElseKeepsTheLowestError) {
    // Maps whose inverses (destination to source, what is fitted) are
    // polynomials of degree 2 and 3: a power of y added to x, then a shear.
    auto quadratic = [](double &x, double &y) { x += 1e-3 * y * y, y += 0.2 * x; };
    auto cubic = [](double &x, double &y) { x += 1e-5 * y * y * y, y -= 0.3 * x; };
    auto identity = [](double &, double &) {};
    const struct {
        std::function<void(double &, double &)> f;
        long maxOrder;
        double tolerance;
        int order;
        bool exact;
    } cases[] = {
        {quadratic, 1, 0.1, 1, false}, {quadratic, 2, 0.1, 2, true}, {quadratic, 5, 0.1, 2, true},
        {cubic, 2, 1e-12, 2, false},   {cubic, 3, -1, 3, true},      {identity, 3, 0.1, 1, true},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(std::to_string(t.maxOrder) + " " + std::to_string(t.tolerance));
        Crafted c{t.f};
        double error = t.tolerance;
        X x = build(c, 100, 100, 8, 8, t.maxOrder, &error);
        // 8 x 8 samples from the outer edges of the pixels, row by row.
        ASSERT_EQ(c.seen.size(), 128u);
        EXPECT_TRUE(ktest::almost({c.seen[0], c.seen[1], c.seen[2], c.seen[126], c.seen[127]},
                                  {-0.5, -0.5, 100.0 / 7 - 0.5, 99.5, 99.5}));
        const std::string text = fitText(x.get());
        const std::string head = "POLYNOMIAL(" + std::to_string(t.order) + ",";
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        if (t.exact)
            EXPECT_LT(error, 1e-6);
        else
            EXPECT_GT(error, 1e-3);
        EXPECT_EQ(kxfr_XFormIsIdentity(x.get(), nullptr), t.exact && t.order == 1);
        // The error is the root of the sum of squares over all samples.
        Pts moved = c.seen;
        for (size_t i = 0; i < moved.size(); i += 2) t.f(moved[i], moved[i + 1]);
        Bd src = matrix(c.seen), dst = matrix(moved);
        double total = -1;
        ASSERT_EQ(
            kxfr_ComputeRMSErrorFromPoints(x.get(), dst.get(), src.get(), nullptr, &total, nullptr),
            0);
        EXPECT_NEAR(total, error, 1e-9 + 1e-9 * error);
        // The plain form reports a missed tolerance beside the chain.
        if (t.tolerance <= 0) continue;
        ktest::Err e;
        X plain(kxfr_XFormCreateReprojFromMapToMapFunc(
            crafted, &c, unity.get(), 100, 100, unity.get(), 2, 8, 8, t.maxOrder, t.tolerance, &e));
        ASSERT_TRUE(plain);
        if (error <= t.tolerance) {
            EXPECT_FALSE(e) << ktest::messages(e.r);
            continue;
        }
        char want[128];
        snprintf(want, sizeof want, "RMS: %8.6lf excedes tolerance: %8.6lf", error, t.tolerance);
        ASSERT_TRUE(e);
        EXPECT_EQ(ktest::messages(e.r), want);
        EXPECT_EQ(e->severity, 1u);
    }
}

TEST_F(Reproj, FourKindsAgainstDirectEvaluation) {
    // Source and destination map information in different units and
    // sizes; a mildly curved map-to-map function.
    Mi srcInfo(kprjtest::mapInfo("A", "meters", 1000, 5000, 1990, 4010, 10, 10));
    Mi dstInfo(kprjtest::mapInfo("B", "meters", 2000, 7000, 3980, 5020, 20, 20));
    X srcToPixel(kxfr_XFormCreateFromMapInfo(srcInfo.get(), 1, nullptr));
    X srcToMap(kxfr_XFormCreateFromMapInfo(srcInfo.get(), 0, nullptr));
    X dstToPixel(kxfr_XFormCreateFromMapInfo(dstInfo.get(), 1, nullptr));
    X dstToMap(kxfr_XFormCreateFromMapInfo(dstInfo.get(), 0, nullptr));
    auto f = [](double &x, double &y) {
        const double x0 = x;
        x = 2 * x + 1e-4 * (y - 4500) * (y - 4500) + 500;
        y = 2 * y + 1e-4 * (x0 - 1500) * (x0 - 1500) + 1500;
    };
    // Direct: source pixels, their destination pixels and both maps.
    const Pts srcPixels = {0, 0, 99, 0, 0, 99, 99, 99, 37.5, 61.25, 50, 50};
    const Pts srcMap = through(srcToMap.get(), srcPixels);
    Pts dstMap = srcMap;
    for (size_t i = 0; i < dstMap.size(); i += 2) f(dstMap[i], dstMap[i + 1]);
    const Pts dstPixels = through(dstToPixel.get(), dstMap);
    const struct {
        Kxfr_ReprojXFormType kind;
        const Pts &in, &want;
        double tolerance;
    } cases[] = {{KXFR_REPROJ_MAP_TO_MAP, dstMap, srcMap, 0.1},
                 {KXFR_REPROJ_MAP_TO_PIXEL, dstMap, srcPixels, 0.01},
                 {KXFR_REPROJ_PIXEL_TO_PIXEL, dstPixels, srcPixels, 0.01},
                 {KXFR_REPROJ_PIXEL_TO_MAP, dstPixels, srcMap, 0.1}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.kind);
        Crafted c{f};
        double error = 1e-3;
        X x = build(c, 99, 99, 16, 16, 3, &error, t.kind, srcToPixel.get(), dstToPixel.get());
        EXPECT_LT(error, 0.05);
        const Pts got = through(x.get(), t.in);
        for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], t.want[i], t.tolerance) << i;
    }
}

TEST_F(Reproj, PreferencesAreReadAtEveryBuild) {
    // UTM zone 33 to zone 34 over 300 km: order 1 misses 0.1 pixels.
    ktest::Params utm33(kprjtest::proParameters(1, "UTM", 33, "WGS 84", 6378137, 6356752.314245));
    ktest::Params utm34(kprjtest::proParameters(1, "UTM", 34, "WGS 84", 6378137, 6356752.314245));
    utm33->proParams.data[3] = utm34->proParams.data[3] = 1;
    Kprj_ProjectionPair *pair = nullptr;
    ktest::Err e;
    ASSERT_TRUE(kprj_ProjectionPairGet(kint_GetInit(), &pair, utm33.get(), utm34.get(), &e));
    Mi srcInfo(kprjtest::mapInfo("UTM", "meters", 400000, 5400000, 699000, 5101000, 1000, 1000));
    Mi dstInfo(kprjtest::mapInfo("UTM", "kilometers", -50, 5450, 350, 5050, 1, 1));
    const struct {
        double maxOrder, skip;
        const char *head;
        bool warned;
    } cases[] = {{1, 16, "POLYNOMIAL(1,1,", true},
                 {3, 1, "POLYNOMIAL(1,1,", true},  // 2 x 2 samples allow order 1 only
                 {3, 16, "POLYNOMIAL(2,2,", false}};
    for (const auto &t : cases) {
        SCOPED_TRACE(t.head);
        ASSERT_EQ(kpmg_PutNumberPreference("rasterprocess", "rp_reprojmaxorder", t.maxOrder, &e), 0)
            << ktest::messages(e.r);
        ASSERT_EQ(kpmg_PutNumberPreference("rasterprocess", "rp_reprojskipx", t.skip, &e), 0);
        ASSERT_EQ(kpmg_PutNumberPreference("rasterprocess", "rp_reprojskipy", t.skip, &e), 0);
        X x(kxfr_XFormCreateReprojFromProjPair(pair, srcInfo.get(), dstInfo.get(),
                                               KXFR_REPROJ_PIXEL_TO_PIXEL, &e));
        ASSERT_TRUE(x) << ktest::messages(e.r);
        EXPECT_EQ(fitText(x.get()).rfind(t.head, 0), 0u) << fitText(x.get());
        EXPECT_EQ(static_cast<bool>(e), t.warned) << ktest::messages(e.r);
        // A destination pixel against the exact projection.
        const Kprj_Coordinate at{550000, 5250000};
        Kprj_Coordinate there{};
        ASSERT_EQ(kprj_Project(pair, 1, &at, &there, nullptr), 0);
        const Pts got = through(x.get(), {there.x / 1000 + 50, 5450 - there.y / 1000});
        const double tolerance = t.warned ? 2.0 : 0.1;
        EXPECT_NEAR(got[0], 150, tolerance);
        EXPECT_NEAR(got[1], 150, tolerance);
    }
    kpmg_PutNumberPreference("rasterprocess", "rp_reprojmaxorder", 2, nullptr);
    kpmg_PutNumberPreference("rasterprocess", "rp_reprojskipx", 16, nullptr);
    kpmg_PutNumberPreference("rasterprocess", "rp_reprojskipy", 16, nullptr);
    kprj_ProjectionPairFree(pair);
}

TEST_F(Reproj, ResidualSumsAndPerPointLengths) {
    Bd residuals(kgda_BaseDataCreate(3, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    const double values[] = {3, 0, 1, 4, 0, 0};  // column by column: x then y
    std::copy(values, values + 6, reinterpret_cast<double *>(residuals->windowStart));
    for (int rows : {3, 1}) {
        Bd perPoint(kgda_BaseDataCreate(rows, 4 - rows, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr,
                                        nullptr));
        double total = 0;
        ASSERT_EQ(
            kxfr_ComputeRMSErrorFromResiduals(residuals.get(), perPoint.get(), &total, nullptr), 0);
        EXPECT_DOUBLE_EQ(total, std::sqrt(26.0));
        const auto *p = reinterpret_cast<const double *>(perPoint->windowStart);
        EXPECT_EQ((ktest::Reals{p[0], p[1], p[2]}), (ktest::Reals{5, 0, 1}));
    }
}

TEST_F(Reproj, MapInformationCarriedIntoAnotherProjection) {
    ktest::Params utm(kprjtest::proParameters(1, "UTM", 33, "WGS 84", 6378137, 6356752.314245));
    utm->proParams.data[3] = 1;
    ktest::Params geo(
        kprjtest::proParameters(0, "Geographic (Lat/Lon)", 0, "WGS 84", 6378137, 6356752.314245));
    // 100 x 50 pixels of 30 m.
    Mi in(kprjtest::mapInfo("UTM", "meters", 500015, 4499985, 502985, 4498515, 30, 30));
    ktest::Err e;
    Mi out(kxfr_ReprojectMapInfo(in.get(), utm.get(), geo.get(), nullptr, &e));
    ASSERT_TRUE(out) << ktest::messages(e.r);
    EXPECT_EQ(kprjtest::str(out->units), "degrees");
    EXPECT_EQ(kprjtest::str(out->proName), "Geographic (Lat/Lon)");
    Kprj_ProjectionPair *pair = nullptr;
    ASSERT_TRUE(kprj_ProjectionPairGet(kint_GetInit(), &pair, utm.get(), geo.get(), nullptr));
    const Kprj_Coordinate corners[4] = {
        {500000, 4500000}, {503000, 4500000}, {500000, 4498500}, {503000, 4498500}};
    Kprj_Coordinate c[4];
    ASSERT_EQ(kprj_ProjectWithUnits(pair, 4, corners, "meters", c, "degrees", nullptr), 0);
    kprj_ProjectionPairFree(pair);
    const double w = out->pixelSize->width, h = out->pixelSize->height;
    // The outer corners' bounding box is the new area; the counts stay.
    const double left = std::min(c[0].x, c[2].x), right = std::max(c[1].x, c[3].x);
    const double top = std::max(c[0].y, c[1].y), bottom = std::min(c[2].y, c[3].y);
    EXPECT_NEAR(out->upperLeftCenter->x - w / 2, left, 1e-9);
    EXPECT_NEAR(out->upperLeftCenter->y + h / 2, top, 1e-9);
    EXPECT_NEAR(out->lowerRightCenter->x + w / 2, right, 1e-9);
    EXPECT_NEAR(out->lowerRightCenter->y - h / 2, bottom, 1e-9);
    EXPECT_NEAR((out->lowerRightCenter->x - out->upperLeftCenter->x) / w, 99, 1e-6);
    EXPECT_NEAR((out->upperLeftCenter->y - out->lowerRightCenter->y) / h, 49, 1e-6);
    Mi feet(kxfr_ReprojectMapInfo(in.get(), utm.get(), utm.get(), "feet", &e));
    ASSERT_TRUE(feet);
    EXPECT_NEAR(feet->pixelSize->width, 30 / 0.3048, 1e-6);
}

TEST_F(Reproj, Refusals) {
    Crafted identity{[](double &, double &) {}}, failing{[](double &, double &) {}, true};
    X singular(kxfr_XFormScaleXY(0, 0, nullptr));
    const Kxfr_XForm *u = unity.get();
    double error = 0.1;
    auto funcX = [&](Kxfr_MapToMapFunc f, Crafted *c, const Kxfr_XForm *src, long w, long h,
                     int kind, long columns) {
        return [=, &error](Kerr_ErrorReport **err) {
            X x(kxfr_XFormCreateReprojFromMapToMapFuncX(f, c, src, w, h, u, kind, columns, columns,
                                                        2, &error, err));
            return !x;
        };
    };
    const char *fx = "kxfr_XFormCreateReprojFromMapToMapFuncX";
    Bd pts = matrix({0, 0, 1, 0, 0, 1, 1, 1}), two = matrix({0, 0, 1, 1});
    Bd same = matrix({1, 1, 1, 1, 1, 1, 1, 1});
    Bd residuals(kgda_BaseDataCreate(3, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    Bd wrong(kgda_BaseDataCreate(1, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    Mi noUnits(kprjtest::mapInfo("A", "meters", 0, 10, 10, 0, 1, 1));
    kprj_CharStrFree(&noUnits->units);
    Mi metres(kprjtest::mapInfo("A", "meters", 0, 10, 10, 0, 1, 1));
    Mi other(kprjtest::mapInfo("A", "other", 0, 10, 10, 0, 1, 1));
    Mi empty(kprj_MapInfoCreate(nullptr));
    ktest::Params utm(kprjtest::proParameters(1, "UTM", 33, "WGS 84", 6378137, 6356752.314245));
    auto reproject = [&](const Kprj_MapInfo *m, const Kprj_ProParameters *a,
                         const Kprj_ProParameters *b, const char *units) {
        return [=](Kerr_ErrorReport **err) {
            Mi out(kxfr_ReprojectMapInfo(m, a, b, units, err));
            return !out;
        };
    };
    double total = 0;
    ktest::expectRefusals({
        {fx, 1, "NULL MapToMapFunc", funcX(nullptr, &identity, u, 10, 10, 2, 4)},
        {fx, 2, "srcWidth is 0", funcX(crafted, &identity, u, 0, 10, 2, 4)},
        {fx, 3, "srcHeight is 0", funcX(crafted, &identity, u, 10, 0, 2, 4)},
        {fx, 4, "4: Unsupported Kxfr_ReprojXFormType", funcX(crafted, &identity, u, 10, 10, 4, 4)},
        {fx, 4, "-1: Unsupported Kxfr_ReprojXFormType",
         funcX(crafted, &identity, u, 10, 10, -1, 4)},
        {fx, 5, "NULL xForm", funcX(crafted, &identity, nullptr, 10, 10, 2, 4)},
        {fx, 6, "Integer overflow", funcX(crafted, &identity, u, 10, 10, 2, 1L << 16)},
        {fx, 7, "kxfr_XFormInvert failed", funcX(crafted, &identity, singular.get(), 10, 10, 2, 4)},
        {fx, 10, "MapToMapFunc failed", funcX(crafted, &failing, u, 10, 10, 2, 4)},
        {"kxfr_XFormCreateReprojFromMapToMapFunc", 1,
         "kxfr_XFormCreateReprojFromMapToMapFuncX failed",
         [&](auto err) {
             return !X(kxfr_XFormCreateReprojFromMapToMapFunc(crafted, &identity, u, 0, 1, u, 2, 2,
                                                              2, 1, 0.1, err));
         }},
        {"kxfr_XFormComputeFromPointsX", 1, "Invalid input points",
         [&](auto err) {
             return !X(kxfr_XFormComputeFromPointsX(pts.get(), nullptr, 2, &error, err));
         }},
        {"kxfr_XFormComputeFromPointsX", 2, "Too few points",
         [&](auto err) {
             return !X(kxfr_XFormComputeFromPointsX(two.get(), two.get(), 2, &error, err));
         }},
        {"kxfr_XFormComputeFromPointsX", 3, "Invalid maximum order",
         [&](auto err) {
             return !X(kxfr_XFormComputeFromPointsX(pts.get(), pts.get(), 0, &error, err));
         }},
        {"kxfr_XFormComputeFromPointsX", 5, "kfga_DerivePolyCoefs failed",
         [&](auto err) {
             return !X(kxfr_XFormComputeFromPoints(same.get(), same.get(), 1, 0.1, err));
         }},
        {"kxfr_ComputeRMSErrorFromResiduals", 1, "Invalid residual matrix",
         [&](auto err) {
             return kxfr_ComputeRMSErrorFromResiduals(nullptr, nullptr, &total, err) == -1;
         }},
        {"kxfr_ComputeRMSErrorFromResiduals", 2, "Error - invalid RMS vector size",
         [&](auto err) {
             return kxfr_ComputeRMSErrorFromResiduals(residuals.get(), wrong.get(), &total, err) ==
                    -1;
         }},
        {"kxfr_ComputeRMSErrorFromPoints", 1, "Invalid input points",
         [&](auto err) {
             return kxfr_ComputeRMSErrorFromPoints(nullptr, pts.get(), pts.get(), nullptr, &total,
                                                   err) == -1;
         }},
        {"kxfr_ComputeRMSErrorFromPoints", 2, "Point counts differ: 4 and 2",
         [&](auto err) {
             return kxfr_ComputeRMSErrorFromPoints(u, pts.get(), two.get(), nullptr, &total, err) ==
                    -1;
         }},
        {"kxfr_XFormCreateFromProjPairAndMapInfo", 1, "Source or Destination Map Unit name is NULL",
         [&](auto err) {
             return !X(
                 kxfr_XFormCreateReprojFromProjPair(nullptr, metres.get(), noUnits.get(), 2, err));
         }},
        {"kxfr_XFormCreateReprojFromProjPair", 1, "Invalid input MapInfo",
         [&](auto err) {
             return !X(
                 kxfr_XFormCreateReprojFromProjPair(nullptr, empty.get(), metres.get(), 2, err));
         }},
        {"kxfr_XFormCreateReprojFromLayers", 1, "NULL layer",
         [&](auto err) { return !X(kxfr_XFormCreateReprojFromLayers(nullptr, nullptr, 2, err)); }},
        {"kxfr_XFormCreateReprojFromLayerAndProj", 1, "NULL layer or map information",
         [&](auto err) {
             return !X(
                 kxfr_XFormCreateReprojFromLayerAndProj(nullptr, utm.get(), metres.get(), 2, err));
         }},
        {"kxfr_ReprojectMapInfo", 1, "Source mapinfo empty.",
         reproject(empty.get(), utm.get(), utm.get(), nullptr)},
        {"kxfr_ReprojectMapInfo", 2, "Projections don't match / Missing parameters for reproject",
         reproject(metres.get(), utm.get(), nullptr, nullptr)},
        {"kxfr_ReprojectMapInfo", 3, "Bad unit type",
         reproject(other.get(), utm.get(), utm.get(), nullptr)},
        {"kxfr_ReprojectMapInfo", 3, "Bad unit type",
         reproject(metres.get(), utm.get(), utm.get(), "furlongs per fortnight")},
    });
}

// Memory running out at any step of a build of every kind ends in a report
// and leaves nothing behind.
TEST_F(Reproj, AllocationFailuresLeaveNothingBehind) {
    Mi srcInfo(kprjtest::mapInfo("A", "meters", 1000, 5000, 1990, 4010, 10, 10));
    X srcToPixel(kxfr_XFormCreateFromMapInfo(srcInfo.get(), 1, nullptr));
    Crafted c{[](double &x, double &y) { x += 1e-3 * y * y, y += 0.2 * x; }};
    for (Kxfr_ReprojXFormType kind : {KXFR_REPROJ_MAP_TO_MAP, KXFR_REPROJ_PIXEL_TO_PIXEL}) {
        SCOPED_TRACE(kind);
        EXPECT_GT(ktest::runMaking(
                      [&](Kerr_ErrorReport **err) {
                          double error = 1e-9;
                          return kxfr_XFormCreateReprojFromMapToMapFuncX(
                              crafted, &c, srcToPixel.get(), 99, 99, unity.get(), kind, 4, 4, 2,
                              &error, err);
                      },
                      kxfr_XFormFree),
                  0);
    }
}

// Builds in several threads at once, each with its own map-to-map function,
// give what one thread alone gives.
TEST_F(Reproj, ConcurrentThreadsBuildTransforms) {
    auto shift = [](double k) {
        return [k](double &x, double &y) { x += k + 1e-3 * y * y, y -= k; };
    };
    std::vector<Pts> alone, together(4);
    for (int t = 0; t < 4; ++t) {
        Crafted c{shift(t)};
        double error = 1e-6;
        X x = build(c, 50, 50, 6, 6, 2, &error);
        alone.push_back(through(x.get(), {10, 20, 30, 5}));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                Crafted c{shift(t)};
                double error = 1e-6;
                X x(kxfr_XFormCreateReprojFromMapToMapFuncX(
                    crafted, &c, unity.get(), 50, 50, unity.get(), 2, 6, 6, 2, &error, nullptr));
                Pts xy = {10, 20, 30, 5};
                if (x) kxfr_CoordBlockTransform(x.get(), 2, xy.data(), nullptr);
                together[static_cast<size_t>(t)] = xy;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(together, alone);
}

// Layers: map information and projections read from the layers themselves.
TEST_F(Reproj, FromLayers) {
    ktest::TempDir dir;
    const std::string a = dir.file("a.img") + "(:Layer_1)", b = dir.file("b.img") + "(:Layer_1)";
    ktest::Params utm(kprjtest::proParameters(1, "UTM", 33, "WGS 84", 6378137, 6356752.314245));
    utm->proParams.data[3] = 1;
    Mi info(kprjtest::mapInfo("UTM", "meters", 500015, 4499985, 500285, 4499715, 30, 30));
    ktest::Err e;
    for (const std::string &name : {a, b}) {
        Kimg_Layer *l = kimg_LayerCreate(name.c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U8, 10, 10,
                                         kint_GetInit(), &e, 0);
        ASSERT_TRUE(l) << ktest::messages(e.r);
        if (name == a) {
            EXPECT_EQ(kimg_LayerMapInformationWrite(l, info.get(), &e), 0) << ktest::messages(e.r);
            EXPECT_EQ(kimg_LayerMapProjectionWrite(l, utm.get(), &e), 0) << ktest::messages(e.r);
        }
        kimg_LayerClose(l, nullptr);
    }
    Kimg_Layer *la = kimg_LayerOpen(a.c_str(), kint_GetInit(), &e, 0);
    Kimg_Layer *lb = kimg_LayerOpen(b.c_str(), kint_GetInit(), &e, 0);
    ASSERT_TRUE(la && lb);
    X same(kxfr_XFormCreateReprojFromLayers(la, la, KXFR_REPROJ_PIXEL_TO_PIXEL, &e));
    ASSERT_TRUE(same) << ktest::messages(e.r);
    EXPECT_FALSE(e) << ktest::messages(e.r);  // no tolerance warning
    EXPECT_EQ(fitText(same.get()).rfind("POLYNOMIAL(1,1,", 0), 0u) << fitText(same.get());
    expectFixed(same.get());
    X none(kxfr_XFormCreateReprojFromLayers(la, lb, KXFR_REPROJ_PIXEL_TO_PIXEL, &e));
    EXPECT_FALSE(none);
    EXPECT_TRUE(ktest::says(e.r, "Layer " + b + " has no map information"));
    X none2(kxfr_XFormCreateReprojFromLayerAndProj(lb, utm.get(), info.get(), 2, &e));
    EXPECT_FALSE(none2);
    EXPECT_TRUE(ktest::hasCode(e.r, "kxfr_XFormCreateReprojFromLayerAndProj", 3));
    kimg_LayerClose(la, nullptr);
    kimg_LayerClose(lb, nullptr);
    kimg_FileNameDequeue(dir.file("a.img").c_str(), nullptr);
    kimg_FileNameDequeue(dir.file("b.img").c_str(), nullptr);
}

}  // namespace
