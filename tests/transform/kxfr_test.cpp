// Transform chains: every model against direct evaluation, inversion,
// compaction, text and stored forms, the older stored layout, misbehaving
// model plug-ins, and chains shared by threads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"
#include "transform/xfr_handles.hpp"
#include "support/prj_records.hpp"

namespace {

using namespace xfrtest;

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

Poly quadratic() {
    Poly p(kfga_PolynomialCreate(2, 2, 2, nullptr));
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
// p + 0.01 h, scaled by 1000 about (5000, 4000); ground offsets (10, 50, 100),
// scales (0.5, 0.5, 500), height 100.
const char kRpc[] =
    "RATIONALFUNCTION(0,100,4000,5000,50,10,100,1000,1000,0.5,0.5,500,"
    "0,0,1,0.01,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
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
    Poly q = quadratic();
    Kprj_ProjectionPair *pair = utmToGeo();
    Kprj_MapInfo *mi = kprjtest::mapInfo("UTM", "meters", 100, 200, 400, -100, 30, 30);
    const double c[6] = {5, 2, -1, -3, 0.5, 1.5};
    using XY = std::pair<double, double>;
    using Map = std::function<XY(double, double)>;
    struct Case {
        const char *name;
        X x;
        Pts points;
        Map direct;
        double tol, inverseTol;
    };
    auto poly = [&](double x, double y) {
        double xy[2] = {x, y};
        kfga_PolyTransBlockCoords(q.get(), 1, xy, nullptr);
        return XY{xy[0], xy[1]};
    };
    auto affine = [&](double x, double y) {
        return XY{c[0] + c[1] * x + c[2] * y, c[3] + c[4] * x + c[5] * y};
    };
    auto same = [](double x, double y) { return XY{x, y}; };
    auto turned = [](double x, double y) { return XY{-3 * y + 1, 2 * x - 1}; };
    auto toMap = [](double x, double y) { return XY{30 * x + 100, -30 * y + 200}; };
    auto toPixel = [](double x, double y) { return XY{(x - 100) / 30, (200 - y) / 30}; };
    auto feet = [](double x, double y) { return XY{x * 0.3048, y * 0.3048}; };
    Case cases[] = {
        {"identity", ascii("Identity", "IDENTITY;"), unit, same, 0, 0},
        {"affine", X(kxfr_XFormCreateUsingCoeffs(c, nullptr)), unit, affine, 1e-15, 1e-12},
        {"scale, rotate, translate",
         chain({kxfr_XFormScaleXY(2, 3, nullptr), kxfr_XFormRotate(M_PI / 2, nullptr),
                kxfr_XFormTranslate(1, -1, nullptr)}),
         unit, turned, 1e-14, 1e-12},
        {"pixel to map", X(kxfr_XFormCreateFromMapInfo(mi, 0, nullptr)), unit, toMap, 1e-15, 1e-12},
        {"map to pixel", X(kxfr_XFormCreateFromMapInfo(mi, 1, nullptr)), unit, toPixel, 1e-15,
         1e-12},
        {"feet to meters", X(kxfr_XFormCreateFromUnits("feet", "meters", nullptr)), unit, feet,
         1e-12, 1e-12},
        {"polynomial", X(kxfr_XFormCreateFromPolyPair(q.get(), nullptr, nullptr)), grid, poly,
         1e-15, 1e-2},
        {"affine around polynomial",
         chain({kxfr_XFormTranslate(1, 2, nullptr),
                kxfr_XFormCreateFromPolyPair(q.get(), nullptr, nullptr),
                kxfr_XFormScale(2, nullptr)}),
         grid,
         [&](double x, double y) {
             const XY p = poly(x + 1, y + 2);
             return XY{2 * p.first, 2 * p.second};
         },
         1e-12, 1e-2},
        {"projection pair", X(kxfr_XFormCreateFromProjPair(pair, nullptr)), utm,
         [&](double x, double y) {
             Kprj_Coordinate p{x, y};
             kprj_Project(pair, 1, &p, &p, nullptr);
             return XY{p.x, p.y};
         },
         0, 1e-9},
        {"rational function", ascii("Rational Function", kRpc), ground,
         [](double x, double y) {
             const double l = (x - 10) / 0.5, p = (y - 50) / 0.5;
             return XY{(l + 0.1 * l * l) / (1 + 0.05 * p) * 1000 + 5000, p * 1000 + 4000};
         },
         1e-12, 1e-9},
    };
    Khfa_File *f = khfa_FileCreate(dir.file("chains.hfa").c_str(), toolkit, &err);
    ASSERT_TRUE(f) << ktest::messages(err.r);
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "Layer", "Eimg_Layer", &err));
    for (Case &k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(k.x);
        EXPECT_EQ(kxfr_XFormIsUsable(k.x.get(), &err), 1);
        Pts want = k.points;
        for (size_t i = 0; i < want.size(); i += 2)
            std::tie(want[i], want[i + 1]) = k.direct(want[i], want[i + 1]);
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
        for (int i = 0; i < n; ++i) kmsc_HeapFree(titles[i]), kmsc_HeapFree(texts[i]);
        kmsc_HeapFree(titles);
        kmsc_HeapFree(texts);
        ASSERT_TRUE(back) << ktest::messages(err.r);
        EXPECT_EQ(kxfr_XFormIsSame(back.get(), k.x.get(), &err), 1);
        ktest::PrintedReports printed;  // replacing the chain warns of nothing
        for (int pass = 0; pass < 2; ++pass)
            ASSERT_EQ(kxfr_XFormWrite(f, ":Layer", k.x.get(), &err), 0) << ktest::messages(err.r);
        EXPECT_TRUE(printed.entries().empty());
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

TEST_F(Chains, OlderLayoutGivesTheChainOfItsFourStepKinds) {
    Khfa_File *f = khfa_FileCreate(dir.file("older.hfa").c_str(), toolkit, &err);
    ASSERT_TRUE(f) << ktest::messages(err.r);
    Kmif_Dictionary *fd = khfa_FileDictionary(f);
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "Old", "Eimg_Layer", &err));
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_LAST_CHILD, "XForm", "Old_XForm", &err));
    // Affine: a polynomial as the node's data.
    Poly a(kfga_PolyCreate2DAffine(1, 2, 0, -1, 0, 2, nullptr));
    Kfga_PolynomialPrivate *stored = kfga_PolynomialCopyToPrivate(a.get(), nullptr);
    ASSERT_TRUE(kmif_DictionaryAddDesign(fd, kfga_PolynomialDesign(nullptr), &err));
    ASSERT_EQ(khfa_ObjectWrite(f, ":Old:XForm", "XFormAffine", "Kfga_Polynomial",
                               KHFA_WRITE_LAST_CHILD, stored, kfga_PolynomialDesign(nullptr), &err),
              0)
        << ktest::messages(err.r);
    kfga_PolynomialPrivateDelete(stored);
    // Polynomial: forward and inverse children.
    Poly q = quadratic(), qi(kfga_PolynomialInvert(q.get(), nullptr, nullptr));
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_NEXT, "XFormPolynomial", "Old_Poly", &err));
    ASSERT_EQ(kfga_PolynomialWrite(f, ":Old:XForm:XFormPolynomial", KFGA_FORWARD_POLYNOMIAL,
                                   q.get(), &err),
              0);
    ASSERT_EQ(kfga_PolynomialWrite(f, ":Old:XForm:XFormPolynomial", KFGA_INVERSE_POLYNOMIAL,
                                   qi.get(), &err),
              0);
    // Projection: the two projection records.
    Kprj_ProjectionPair *pair = utmToGeo();
    Kmif_Dictionary *prj = kprj_InitDictionaryCreate(&err);
    const Kmif_Design *pd = kmif_DictionarySearchByName(prj, "Kprj_ProParameters", nullptr);
    ASSERT_TRUE(pd && kmif_DictionaryAddDesign(fd, pd, &err));
    ASSERT_TRUE(khfa_EntrySeek(f, KHFA_SEEK_PATH, ":Old:XForm:XFormPolynomial", &err));
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_NEXT, "XFormProjection", "Old_Proj", &err));
    const char *sides[2] = {"InputProjection", "OutputProjection"};
    Kprj_Projection *ends[2] = {pair->input, pair->output};
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(khfa_ObjectWrite(f, ":Old:XForm:XFormProjection", sides[k], "Kprj_ProParameters",
                                   KHFA_WRITE_LAST_CHILD, ends[k]->mapProjection->proParameters, pd,
                                   &err),
                  0)
            << ktest::messages(err.r);
    // Rational function: its MIF data.
    X rpc = ascii("Rational Function", kRpc);
    Kxfr_XFormMIF *mif = kxfr_XFormConvertToMIF(rpc.get(), &err);
    ASSERT_TRUE(mif) << ktest::messages(err.r);
    Kmif_Dictionary *rd = kmif_DictionaryDecodeFromString(mif->dictionaries[0], nullptr);
    ASSERT_TRUE(kmif_DictionaryAddDesign(
        fd, kmif_DictionarySearchByName(rd, mif->designNames[0], nullptr), &err));
    ASSERT_EQ(khfa_ObjectDataWrite(f, ":Old:XForm", "XFormRationalFunction", mif->designNames[0],
                                   KHFA_WRITE_LAST_CHILD, mif->data[0], mif->sizes[0], &err),
              0);
    kmif_DictionaryDestroy(rd, nullptr);
    kxfr_XFormMIFFree(mif);

    X got(kxfr_XFormRead(f, ":Old", &err));
    ASSERT_TRUE(got) << ktest::messages(err.r);
    X want =
        chain({kxfr_XFormCreateFromAffinePoly(a.get(), nullptr),
               kxfr_XFormCreateFromPolyPair(q.get(), qi.get(), nullptr),
               kxfr_XFormCreateFromProjPair(pair, nullptr), kxfr_XFormCopy(rpc.get(), nullptr)});
    EXPECT_EQ(kxfr_XFormStepCount(got.get()), 4);
    EXPECT_EQ(kxfr_XFormIsSame(got.get(), want.get(), &err), 1) << ktest::messages(err.r);
    const char *title = nullptr;
    const char *titles[] = {"Affine", "Polynomial", "Projection Pair", "Rational Function"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(kxfr_XFormDataGet(got.get(), i, &title, &err));
        EXPECT_STREQ(title, titles[i]);
    }
    // A step kind the layout does not have.
    ASSERT_TRUE(khfa_EntrySeek(f, KHFA_SEEK_PATH, ":Old:XForm:XFormRationalFunction", &err));
    ASSERT_TRUE(khfa_EntryWrite(f, KHFA_WRITE_NEXT, "XFormBogus", "Old_Bogus", &err));
    refusedWith(err, !X(kxfr_XFormRead(f, ":Old", &err)), "Unrecognized type");
    // A step of the current layout that has lost its data.
    ASSERT_EQ(kxfr_XFormWrite(f, ":Old", want.get(), &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(khfa_ObjectDelete(f, ":Old:GenericXForm:XForm2", nullptr, KHFA_SEEK_PATH, &err), 0);
    refusedWith(err, !X(kxfr_XFormReadIfPresent(f, ":Old", &err)), "Transform data 2 missing");
    EXPECT_FALSE(X(kxfr_XFormReadIfPresent(f, ":Old:XForm", &err)));
    EXPECT_FALSE(err);
    refused(err, !X(kxfr_XFormRead(f, ":Old:XForm", &err)),
            "No transform found as a child of :Old:XForm");
    kprj_ProjectionPairFree(pair);
    EXPECT_EQ(khfa_FileClose(f, &err), 0);
}

TEST_F(Chains, FailuresAreReportedWithTheirMessages) {
    X affine(kxfr_XFormCreateUsingCoeffs((const double[6]){1, 2, 0, 3, 0, 4}, nullptr));
    X singular(kxfr_XFormScaleXY(0, 1, nullptr));
    X compacted(kxfr_XFormCopy(affine.get(), nullptr));
    ASSERT_EQ(kxfr_XFormCompact(compacted.get(), &err), 0);
    X rpc = ascii("Rational Function", kRpc);
    Bd in = matrix({1, 2, 3, 4, 5, 6}), thin = matrix({1, 2, 3, 4});
    Bd row(kgda_BaseDataCreate(1, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    Poly q = quadratic();
    const char *wrong = "depth";
    double v = 0;
    Kxfr_NameParameterList *renamed = kxfr_NameParameterListCreate(1, &wrong, &v, nullptr);
    Khfa_File *f = khfa_FileCreate(dir.file("fail.hfa").c_str(), toolkit, &err);
    const char *affineTitle = "Affine", *shortText = "AFFINE(1,2);";
    using Call = std::function<bool(Kerr_ErrorReport **)>;  // true when the call failed
    const struct {
        Call call;
        const char *message;
    } cases[] = {
        {[](auto e) { return !kxfr_XFormCopy(nullptr, e); }, "Null input xForm"},
        {[&](auto e) { return !kxfr_Transform(nullptr, in.get(), nullptr, e); }, "NULL xForm"},
        {[&](auto e) { return !kxfr_Transform(affine.get(), nullptr, nullptr, e); },
         "NULL input matrix"},
        {[&](auto e) { return !kxfr_Transform(affine.get(), row.get(), nullptr, e); },
         "Input matrix row dimension < 2"},
        {[&](auto e) { return !kxfr_Transform(affine.get(), in.get(), row.get(), e); },
         "Output matrix row dimension < 2"},
        {[&](auto e) { return !kxfr_Transform(affine.get(), in.get(), thin.get(), e); },
         "Output matrix column dimension < 3"},
        {[&](auto e) { return kxfr_XFormComposition(compacted.get(), affine.get(), e) != 0; },
         "Cannot composite compacted XForms"},
        {[&](auto e) { return !kxfr_XFormInvert(compacted.get(), nullptr, e); },
         "Cannot invert compacted XForms"},
        {[&](auto e) { return kxfr_XFormWrite(f, ":", compacted.get(), e) != 0; },
         "Cannot write compacted XForms"},
        {[&](auto e) { return !kxfr_XFormConvertToMIF(compacted.get(), e); },
         "Cannot convert compacted XForms"},
        {[&](auto e) { return kxfr_XFormPrint(compacted.get(), nullptr, e) != 0; },
         "Cannot convert compacted XForms"},
        {[&](auto e) { return !kxfr_XFormCreateFromAffinePoly(q.get(), e); }, "Invalid poly"},
        {[&](auto e) { return !kxfr_XFormInvert(singular.get(), nullptr, e); },
         "XFormInvert failed"},
        {[&](auto e) { return !kxfr_XFormExtractAffine(rpc.get(), e); }, "XForm is not affine"},
        {[&](auto e) { return !kxfr_XFormConvertFromASCII(1, &affineTitle, &shortText, e); },
         "'Affine' XFormSscanf failed"},
        {[&](auto e) { return kxfr_XFormNameParameterListSet(rpc.get(), renamed, 2, e) != 0; },
         "List length mismatch"},
        {[&](auto e) { return kxfr_XFormNameParameterListSet(rpc.get(), renamed, 1, e) != 0; },
         "List mismatch"},
        {[&](auto e) { return kxfr_NameParameterListParameterValueGet(renamed, 1, &v, e) != 0; },
         "index too large"},
        {[&](auto e) { return kxfr_NameParameterListParameterValueSet(renamed, -1, v, e) != 0; },
         "index too large"},
    };
    EXPECT_EQ(kxfr_XFormIsUsable(singular.get(), &err), 0);
    for (const auto &c : cases) refusedWith(err, c.call(&err), c.message);
    kxfr_NameParameterListFree(renamed, 1);
    EXPECT_EQ(khfa_FileClose(f, &err), 0);
}

TEST_F(Chains, ParametersWindowsAndPointMatricesOfOtherShapes) {
    // The rational function's height moves its image.
    X rpc = ascii("Rational Function", kRpc);
    int32_t n = 0;
    Kxfr_NameParameterList *lists = kxfr_XFormNameParameterListGet(rpc.get(), &n, &err);
    ASSERT_TRUE(lists && n == 1 && lists[0].count == 1) << ktest::messages(err.r);
    double h = 0;
    ASSERT_EQ(kxfr_NameParameterListParameterValueGet(&lists[0], 0, &h, &err), 0);
    EXPECT_EQ(h, 100);
    const Pts before = apply(rpc.get(), {10.2, 50.1}, err);
    ASSERT_EQ(kxfr_NameParameterListParameterValueSet(&lists[0], 0, 600, &err), 0);
    ASSERT_EQ(kxfr_XFormNameParameterListSet(rpc.get(), lists, n, &err), 0);
    kxfr_NameParameterListFree(lists, n);
    lists = kxfr_XFormNameParameterListGet(rpc.get(), &n, &err);
    EXPECT_EQ(lists[0].values[0], 600);
    kxfr_NameParameterListFree(lists, n);
    EXPECT_NE(apply(rpc.get(), {10.2, 50.1}, err), before);
    // Windows keep their sides: map to pixel turns y around.
    Kprj_MapInfo *mi = kprjtest::mapInfo("UTM", "meters", 100, 200, 400, -100, 30, 30);
    X toPixel(kxfr_XFormCreateFromMapInfo(mi, 1, nullptr));
    X scale(kxfr_XFormScaleXY(2, 3, nullptr));
    X both = chain({kxfr_XFormCopy(scale.get(), nullptr), kxfr_XFormCopy(toPixel.get(), nullptr)});
    const struct {
        const Kxfr_XForm *x;
        Kxfr_Window in, want;
    } windows[] = {
        {scale.get(), {0, 0, 10, 20}, {0, 0, 20, 60}},
        {toPixel.get(), {100, 200, 400, -100}, {0, 0, 10, 10}},
        {both.get(), {50, 100, 200, -50}, {0, -10.0 / 3, 10, 35.0 / 3}},
    };
    for (const auto &w : windows) {
        Kxfr_Window out{};
        ASSERT_EQ(kxfr_WindowTransform(w.x, &w.in, &out, &err), 0) << ktest::messages(err.r);
        const Pts got = {out.left, out.top, out.right, out.bottom};
        expectNear(got, {w.want.left, w.want.top, w.want.right, w.want.bottom}, 1e-12, "window");
    }
    kprj_MapInfoFree(mi);
    // An f32 output of 3 rows keeps its third row; the rotation angle.
    Bd in = matrix({1, 2, 3, 4});
    Bd out(kgda_BaseDataCreate(3, 2, KGDA_TYPE_F32, KGDA_MATRIX_OBJECT, nullptr, nullptr));
    auto *o = reinterpret_cast<float *>(out->windowStart);
    o[2] = o[5] = 7;
    ASSERT_EQ(kxfr_Transform(scale.get(), in.get(), out.get(), &err), out.get());
    EXPECT_EQ(std::vector<float>(o, o + 6), (std::vector<float>{2, 6, 7, 6, 12, 7}));
    X turn(kxfr_XFormRotate(0.3, nullptr));
    double angle = 0;
    ASSERT_EQ(kxfr_XFormFindRotationAngle(turn.get(), &angle, &err), 0);
    EXPECT_NEAR(angle, 0.3, 1e-15);
    // A fitted affine recovers the map that made its points.
    Bd from = matrix({0, 0, 1, 0, 0, 1, 3, 5}), to = matrix({0, 0, 1, 0, 0, 1, 3, 5});
    ASSERT_TRUE(kxfr_Transform(turn.get(), from.get(), to.get(), &err));
    X fitted(kxfr_XFormFindAffine(from.get(), to.get(), &err));
    ASSERT_TRUE(fitted) << ktest::messages(err.r);
    EXPECT_EQ(kxfr_XFormIsSame(fitted.get(), turn.get(), &err), 1);
}

// The test plug-ins of the class, ahead of the library's own models.
struct Models : Fixture {
    ktest::ScopedEnv path{"ORVEL_GEOMETRIC_MODELS_PATH", KRASTER_GM_TEST_DIR};
    void SetUp() override {
        Fixture::SetUp();
        kxfr_GeometricModelsReset();
    }
    void TearDown() override { kxfr_GeometricModelsReset(); }
    static double *shift(double s) {
        auto *d = static_cast<double *>(kmsc_HeapMalloc(sizeof(double)));
        *d = s;
        return d;
    }
};

TEST_F(Models, MisbehavingPluginsAreIgnoredAndModelFailuresReported) {
    ktest::PrintedReports printed;
    X x(kxfr_XFormCreateFromTitleAndData("Test Model", shift(2), &err));
    ASSERT_TRUE(x) << ktest::messages(err.r);
    const std::string d = KRASTER_GM_TEST_DIR;
    for (const std::string &m :
         {"XFormTransform missing from " + d + "/libgmnotransform.so:  DLL ignored",
          "InstanceTitleListGet missing from " + d + "/libgmnotitles.so:  DLL ignored",
          "InstanceTitleListGet returning garbage from " + d + "/libgmgarbage.so:  DLL ignored"})
        EXPECT_TRUE(printed.contains(m)) << m;
    EXPECT_EQ(apply(x.get(), {1, 1, 5, 5}, err), (Pts{3, 1, 7, 5}));
    // The fake "Affine" of the test directory has no constructors.
    refusedWith(err, !X(kxfr_XFormCreateUnity(&err)),
                "XFormCreateUnity: Function not found in gmfakeaffine");
    double *data = shift(-1);
    refused(err, !X(kxfr_XFormCreateFromTitleAndData("Nowhere", data, &err)),
            "Nowhere:  Unknown Geometric Model");
    X failing(kxfr_XFormCreateFromTitleAndData("Test Model", data, &err));
    refusedWith(err, apply(failing.get(), {1, 1}, err).empty(),
                "'Test Model' XFormTransform failed");
    refusedWith(err, kxfr_XFormIsSame(failing.get(), failing.get(), &err) == -1,
                "XFormInvert failed");
    int32_t n = 0;
    char **titles = nullptr, **texts = nullptr;
    refused(err, kxfr_XFormConvertToASCII(x.get(), &n, &titles, &texts, &err) == -1,
            "No method to convert 'Test Model' xForm to ASCII");
    refused(err, kxfr_XFormConvertToASCII(x.get(), &n, nullptr, &texts, &err) == -1,
            "NULL xForm or result");
    EXPECT_EQ(kxfr_XFormWrite(nullptr, ":", x.get(), &err), -1);
}

// A model with only XFormIsInverse is compared through the inverse, and its
// library is unloaded once its last step is gone.
TEST_F(Models, EqualityThroughInversesAndUnloadAfterTheLastStep) {
    const std::string lib = std::string(KRASTER_GM_TEST_DIR) + "/libgmgood.so";
    auto loaded = [&] {
        void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (h) dlclose(h);
        return h != nullptr;
    };
    {
        X a(kxfr_XFormCreateFromTitleAndData("Test Model", shift(2), &err));
        X b(kxfr_XFormCreateFromTitleAndData("Test Model", shift(2), &err));
        X c(kxfr_XFormCreateFromTitleAndData("Test Model", shift(-2), &err));
        ASSERT_TRUE(a && b && c) << ktest::messages(err.r);
        EXPECT_EQ(kxfr_XFormIsSame(a.get(), b.get(), &err), 1);
        EXPECT_EQ(kxfr_XFormIsSame(a.get(), c.get(), &err), 0);
        X inverse(kxfr_XFormInvert(c.get(), nullptr, &err));
        EXPECT_EQ(kxfr_XFormIsSame(a.get(), inverse.get(), &err), 1);
        EXPECT_TRUE(loaded());
    }
    EXPECT_FALSE(loaded());
    // Loaded again on the next use.
    X again(kxfr_XFormCreateFromTitleAndData("Test Model", shift(1), &err));
    ASSERT_TRUE(again) << ktest::messages(err.r);
    EXPECT_EQ(apply(again.get(), {1, 1}, err), (Pts{2, 1}));
}

TEST_F(Models, ConcurrentThreadsApplySharedChains) {
    X unsafe(kxfr_XFormCreateFromTitleAndData("Test Model", shift(1), &err));
    kxfr_GeometricModelsReset();  // the library's own models from here
    ktest::ScopedEnv none{"ORVEL_GEOMETRIC_MODELS_PATH", nullptr};
    Poly q = quadratic();
    X safe = chain({kxfr_XFormTranslate(1, 2, nullptr),
                    kxfr_XFormCreateFromPolyPair(q.get(), nullptr, nullptr),
                    kxfr_XFormRotate(0.5, nullptr)});
    ASSERT_TRUE(unsafe && safe);
    const Pts points = {1, 2, 3, 4, 5, 6};
    const Pts wantSafe = apply(safe.get(), points, err), wantUnsafe = {2, 2, 4, 4, 6, 6};
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            ktest::Err e;
            for (int i = 0; i < 20; ++i) {
                wrong += apply(safe.get(), points, e) != wantSafe;
                wrong += apply(unsafe.get(), points, e) != wantUnsafe;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    // The model is not thread-safe: its calls never overlapped.
    void *lib = dlopen((std::string(KRASTER_GM_TEST_DIR) + "/libgmgood.so").c_str(),
                       RTLD_NOW | RTLD_NOLOAD);
    ASSERT_TRUE(lib);
    EXPECT_EQ(*static_cast<int *>(dlsym(lib, "gmTestMostAtOnce")), 1);
    dlclose(lib);
}

}  // namespace
