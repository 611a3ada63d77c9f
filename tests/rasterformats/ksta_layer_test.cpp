// Statistics of layers through the image level: computed with skip factors,
// excluded values and null values against a plain reference, stored below a
// native layer or in the ".aux" file of a TIFF and found after reopening,
// recomputed when a changed layer closes, skip factors from the preferences,
// covariance of a file's layers with its checks, cancelling through the
// meter, and the failure returns of the layer operations.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "rf_plugin.hpp"
#include "support/plugin_test.hpp"
#include "support/ktest_checks.hpp"
#include "support/tool_run.hpp"

namespace {

using ktest::Err;

// Pixel values of the test layers.
double valueAt(long r, long c) {
    return double((r * 7 + c * 3) % 23);
}

void fill(Kimg_Layer *l, long w, long h, const std::function<double(long, long)> &f) {
    Kgda_BaseData *rect = kimg_PixelRectCreate(w, h, KGDA_TYPE_F64, nullptr);
    auto *d = reinterpret_cast<double *>(rect->data);
    for (long r = 0; r < h; ++r)
        for (long c = 0; c < w; ++c) d[r * w + c] = f(r, c);
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, w, h, rect, nullptr), 0);
    kimg_PixelRectDelete(rect, nullptr);
}

class LayerStats : public ktest::PluginTest {
  protected:
    ktest::ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config").c_str()};

    void SetUp() override {
        install({KRASTER_PLUGIN_DIR "/RasterFormats/libmiraven.so",
                 KRASTER_PLUGIN_DIR "/RasterFormats/libtiffformat.so",
                 KRASTER_LP_TEST_DIR "/liblpnarrow.so"});
    }

    // A new layer, with the values of f when given.
    Kimg_Layer *create(const std::string &name, int32_t type, long w, long h,
                       const std::function<double(long, long)> &f = nullptr,
                       int32_t layerType = KIMG_LAYER_ATHEMATIC) {
        Kimg_Layer *l = kimg_LayerCreate(name.c_str(), layerType, type, w, h, tk, &err, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        if (l && f) fill(l, w, h, f);
        return l;
    }
    void covarianceOfAFile(const std::string &file, bool ownEntries);
    Kimg_Layer *open(const std::string &name, bool readOnly) {
        Kimg_Layer *l = readOnly
                            ? kimg_LayerOpen(name.c_str(), tk, &err, KIMG_LAYER_OPTION_READONLY, 0)
                            : kimg_LayerOpen(name.c_str(), tk, &err, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        return l;
    }
};

struct Expected {
    double n = 0, min = 1e300, max = -1e300, mean = 0, stddev = 0, median = 0, mode = 0;
    double modeCount = -1;  // pixels of the mode value
};

// The sampled pixels (every sx-th column, sy-th row), excluded values left
// out; median and mode by the walk over distinct values.
Expected expected(long w, long h, long sx, long sy, const std::vector<double> &excluded,
                  const std::function<double(long, long)> &f,
                  const std::function<bool(long, long)> &inside = nullptr) {
    Expected x;
    std::map<double, double> counts;
    double sum = 0, sumsq = 0;
    for (long r = 0; r < h; r += sy)
        for (long c = 0; c < w; c += sx) {
            const double v = f(r, c);
            if (std::find(excluded.begin(), excluded.end(), v) != excluded.end()) continue;
            if (inside && !inside(r, c)) continue;
            x.n += 1;
            sum += v;
            sumsq += v * v;
            x.min = std::min(x.min, v);
            x.max = std::max(x.max, v);
            counts[v] += 1;
        }
    x.mean = sum / x.n;
    x.stddev = std::sqrt((sumsq - x.mean * x.mean * x.n) / (x.n - 1));
    double run = 0;
    for (const auto &[v, k] : counts) {
        if (run < x.n / 2) run += k, x.median = v;
        if (k > x.modeCount) x.modeCount = k, x.mode = v;
    }
    return x;
}

void expectStats(const Ksta_Statistics &s, const Expected &x) {
    EXPECT_EQ(s.minimum, x.min);
    EXPECT_EQ(s.maximum, x.max);
    EXPECT_NEAR(s.mean, x.mean, 1e-9);
    EXPECT_NEAR(s.stddev, x.stddev, 1e-9);
    EXPECT_EQ(s.median, x.median);
    EXPECT_EQ(s.mode, x.mode);
}

// Computing with skip factors and excluded values (one given, one the null
// value), storing, and finding everything again after reopening: the native
// format below the layer, a TIFF in its ".aux" file.
TEST_F(LayerStats, ComputedStoredAndFoundAfterReopening) {
    const struct {
        const char *file;
        int32_t type;
        const char *supportFile;  // that must exist afterwards, or NULL
    } cases[] = {{"a.img", KGDA_TYPE_U16, nullptr},
                 {"b.img", KGDA_TYPE_F32, nullptr},
                 {"c.tif", KGDA_TYPE_U8, "c.aux"},
                 {"d.tif", KGDA_TYPE_S16, "d.aux"}};
    const long w = 61, h = 45;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string name = dir.file(c.file) + "(:Layer_1)";
        Kimg_Layer *l = create(name, c.type, w, h, valueAt);
        ASSERT_NE(l, nullptr);
        Kgda_BaseData *ex =
            kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, nullptr);
        reinterpret_cast<double *>(ex->data)[0] = 5;
        Kgda_BaseData *nul =
            kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr, nullptr);
        reinterpret_cast<double *>(nul->data)[0] = 11;
        ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_SKIP_FACTORS, 2L, 3L,
                                          KIMG_LAYER_OPTION_EXCLUDED_VALUES, ex,
                                          KIMG_LAYER_OPTION_NULL_VALUE, nul,
                                          KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0),
                  0)
            << ktest::messages(err.r);
        kgda_BaseDataDelete(ex, nullptr), kgda_BaseDataDelete(nul, nullptr);
        Ksta_AllStats *computed = ksta_AllStatsCreate(nullptr, 0, nullptr);
        ASSERT_EQ(kimg_LayerComputeStatistics(l, computed, &err), 0) << ktest::messages(err.r);
        const Ksta_Statistics s = computed->statistics;
        const Expected x = expected(w, h, 2, 3, {5, 11}, valueAt);
        expectStats(s, x);
        EXPECT_EQ(computed->pixelCount, x.n);
        ASSERT_NE(computed->histogram, nullptr);
        ksta_AllStatsDelete(computed);
        int64_t raster = 0;
        ASSERT_EQ(kimg_LayerGetTimeStamp(l, &raster, &err), 0);
        ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
        kimg_FileNameDequeue(dir.file(c.file).c_str(), nullptr);
        if (c.supportFile) {
            EXPECT_EQ(access(dir.file(c.supportFile).c_str(), F_OK), 0);
        }

        Kimg_Layer *r = open(name, true);
        ASSERT_NE(r, nullptr);
        Ksta_Statistics *back = kimg_StatisticsRead(r, &err);
        ASSERT_NE(back, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(std::memcmp(back, &s, sizeof s), 0);
        ksta_StatisticsDelete(back);
        Ksta_Histogram *hist = kimg_HistogramRead(r, &err);
        ASSERT_NE(hist, nullptr) << ktest::messages(err.r);
        double total = 0;
        for (int32_t i = 0; i < hist->binCount; ++i) total += hist->counts[i];
        EXPECT_EQ(total, x.n);
        EXPECT_EQ(hist->counts[kdsc_BinFunctionApply(hist->binFunction, x.mode)], x.modeCount);
        // The excluded value has no count (or no bin at all).
        const int32_t b5 = kdsc_BinFunctionApply(hist->binFunction, 5);
        EXPECT_TRUE(b5 < 0 || b5 >= hist->binCount || hist->counts[b5] == 0);
        long sx = 0, sy = 0;
        EXPECT_EQ(kimg_StatisticsGetSkipFactors(r, &sx, &sy, &err), 1) << ktest::messages(err.r);
        EXPECT_TRUE(sx == 2 && sy == 3);
        Kgda_BaseData *values = nullptr;
        EXPECT_EQ(kimg_StatisticsAreValuesExcluded(r, &values, &err), 1);
        ASSERT_NE(values, nullptr);
        const auto *v = reinterpret_cast<double *>(values->data);
        EXPECT_EQ(ktest::Reals(v, v + values->numelements), (ktest::Reals{5, 11}));
        kgda_BaseDataDelete(values, nullptr);
        EXPECT_EQ(kimg_HistogramAreValuesExcluded(r, nullptr, &err), 1);
        for (auto stamp : {kimg_StatisticsGetTimeStamp, kimg_HistogramGetTimeStamp,
                           kimg_LayerScalarStatisticsParametersModTimeGet}) {
            int64_t t = 0;
            ASSERT_EQ(stamp(r, &t, &err), 0) << ktest::messages(err.r);
            EXPECT_GE(t, raster);
        }
        Kimg_StatisticsParameters *sp = kimg_LayerHistogramParametersRead(r, &err);
        ASSERT_NE(sp, nullptr) << ktest::messages(err.r);
        long n = 0;
        char **names = nullptr;
        kimg_StatisticsParametersLayerNamesGet(sp, &n, &names, nullptr);
        EXPECT_EQ(rftest::taken(n, names), std::vector<std::string>{":Layer_1"});
        // The parameters name the bin function the histogram was made with.
        EXPECT_EQ(
            kdsc_BinFunctionIsSame(kimg_StatisticsParametersBinFunctionGet(sp), hist->binFunction),
            1);
        ksta_HistogramDelete(hist), kimg_StatisticsParametersFree(sp);
        EXPECT_EQ(ktest::take(kimg_LayerScalarStatisticsParametersNodeName(r, &err)),
                  ":Layer_1:StatisticsParameters");
        Ksta_AllStats *all = kimg_AllStatsRead(r, &err);
        ASSERT_NE(all, nullptr);
        EXPECT_EQ(all->pixelCount, x.n);
        EXPECT_EQ(all->statistics.mean, s.mean);
        // A read-only layer refuses every write.
        EXPECT_EQ(kimg_StatisticsWrite(r, &s, &err), -1);
        EXPECT_SAYS(err, "Layer " + name + " is read-only");
        EXPECT_EQ(kimg_AllStatsWrite(r, all, &err), -1);
        EXPECT_EQ(kimg_LayerScalarStatisticsParametersDestroy(r, &err), -1);
        ksta_AllStatsDelete(all), kimg_LayerClose(r, nullptr);
        kimg_FileNameDequeue(dir.file(c.file).c_str(), nullptr);
    }
}

int cancelAtHalf(double fraction, const char *task, void *seen) {
    *static_cast<std::string *>(seen) = task;
    return fraction >= 0.5;
}

// A layer without statistics says so, also after a computation the meter
// cancelled; removing parameters removes them.
TEST_F(LayerStats, MissingObjectsAndRemoval) {
    const std::string name = dir.file("m.img") + "(:Layer_1)";
    Kimg_Layer *l = create(name, KGDA_TYPE_U8, 64, 256);
    ASSERT_NE(l, nullptr);
    std::string seen;
    Kimg_Meter meter{cancelAtHalf, &seen};
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_METER, &meter, 0), 0);
    refusedWith(err, kimg_LayerComputeStatistics(l, nullptr, &err) == -1, "User aborted function");
    EXPECT_EQ(seen, "Computing statistics");
    kimg_LayerChangeOptions(l, nullptr, KIMG_LAYER_OPTION_METER, static_cast<Kimg_Meter *>(nullptr),
                            0);
    refusedWith(err, kimg_StatisticsRead(l, &err) == nullptr, "No statistics info found");
    refusedWith(err, kimg_HistogramRead(l, &err) == nullptr, "No histogram found");
    EXPECT_EQ(kimg_LayerScalarStatisticsParametersRead(l, &err), nullptr);
    EXPECT_FALSE(err);
    long sx = 0, sy = 0;
    EXPECT_EQ(kimg_StatisticsGetSkipFactors(l, &sx, &sy, &err), 0);
    EXPECT_EQ(kimg_StatisticsAreValuesExcluded(l, nullptr, &err), 0);
    ASSERT_EQ(kimg_LayerComputeStatistics(l, nullptr, &err), 0) << ktest::messages(err.r);
    Kimg_StatisticsParameters *sp = kimg_LayerScalarStatisticsParametersRead(l, &err);
    ASSERT_NE(sp, nullptr);
    kimg_StatisticsParametersFree(sp);
    ASSERT_EQ(kimg_LayerScalarStatisticsParametersDestroy(l, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(kimg_LayerScalarStatisticsParametersRead(l, &err), nullptr);
    EXPECT_FALSE(err);
    // Statistics written by hand replace the computed ones.
    Ksta_Statistics mine{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(kimg_StatisticsWrite(l, &mine, &err), 0);
    Ksta_Statistics *back = kimg_StatisticsRead(l, &err);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->mode, 5);
    ksta_StatisticsDelete(back), kimg_LayerClose(l, nullptr);
    // An object of another type is not taken for statistics, even when laid out alike.
    Kmif_Design *alike = kmif_DesignCreate(
        nullptr, "Other_Stats", KMIF_TYPE_F64, "minimum", KMIF_TYPE_F64, "maximum", KMIF_TYPE_F64,
        "mean", KMIF_TYPE_F64, "median", KMIF_TYPE_F64, "mode", KMIF_TYPE_F64, "stddev", 0, &err);
    ASSERT_EQ(kimg_FileNodeDataWrite((dir.file("m.img") + "(:Layer_1:Statistics)").c_str(), &mine,
                                     alike, &err),
              0)
        << ktest::messages(err.r);
    kmif_DesignDestroy(alike, nullptr);
    l = open(name, true);
    EXPECT_EQ(kimg_StatisticsRead(l, &err), nullptr);
    EXPECT_EQ(ktest::messages(err.r), "Don't know how to convert from Other_Stats");
    kimg_LayerClose(l, nullptr);
}

// Writing a layer and closing it computes its statistics.
TEST_F(LayerStats, ChangedLayerGetsStatisticsWhenItCloses) {
    for (const std::string ext : {".img", ".tif"}) {
        SCOPED_TRACE(ext);
        // A thematic u16 layer keeps its classes in a Direct histogram from 0
        // (thematic tables take no "Unique Value" bins), gaps left empty.
        const std::string classes = dir.file("classes" + ext) + "(:Layer_1)";
        Kimg_Layer *l = create(
            classes, KGDA_TYPE_U16, 10, 10, [](long r, long) { return r < 3 ? 7 : 300 + r; },
            KIMG_LAYER_THEMATIC);
        ASSERT_NE(l, nullptr);
        ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
        Kimg_Layer *r = open(classes, true);
        ASSERT_NE(r, nullptr);
        Ksta_Histogram *h = kimg_HistogramRead(r, &err);
        ASSERT_NE(h, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(kdsc_BinFunctionType(h->binFunction), KDSC_BIN_FUNCTION_DIRECT);
        ASSERT_EQ(h->binCount, 310);
        EXPECT_EQ(h->counts[7], 30);
        EXPECT_EQ(h->counts[303], 10);
        EXPECT_EQ(h->counts[0] + h->counts[8] + h->counts[302], 0);
        Ksta_Statistics *s = kimg_StatisticsRead(r, &err);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->mode, 7);
        EXPECT_EQ(s->median, 304);
        ksta_StatisticsDelete(s), ksta_HistogramDelete(h), kimg_LayerClose(r, nullptr);
        kimg_FileNameDequeue(dir.file("classes" + ext).c_str(), nullptr);
    }
    // A format with scalar-statistics entries keeps the statistics itself; the
    // histogram still goes to the support file.
    const std::string file = dir.file("own.kln"), name = file + "(:Layer_1)";
    Kimg_Layer *l = create(name, KGDA_TYPE_U16, 20, 10, valueAt);
    ASSERT_NE(l, nullptr);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
    l = open(name, true);
    ASSERT_NE(l, nullptr);
    Ksta_Statistics *s = kimg_StatisticsRead(l, &err);
    ASSERT_NE(s, nullptr) << ktest::messages(err.r);
    const Expected x = expected(20, 10, 1, 1, {}, valueAt);
    expectStats(*s, x);
    ksta_StatisticsDelete(s);
    // Not in the support file, and timed with the raster.
    Kmif_Design *d = nullptr;
    EXPECT_EQ(kimg_FileNodeDataRead((file + "(:Layer_1:Statistics)").c_str(), &d, &err), nullptr);
    int64_t st = -1, raster = -2;
    ASSERT_EQ(kimg_StatisticsGetTimeStamp(l, &st, &err), 0);
    ASSERT_EQ(kimg_LayerGetTimeStamp(l, &raster, &err), 0);
    EXPECT_EQ(st, raster);
    Ksta_Histogram *h = kimg_HistogramRead(l, &err);
    ASSERT_NE(h, nullptr) << ktest::messages(err.r);
    ksta_HistogramDelete(h), kimg_LayerClose(l, nullptr);
}

// An area of interest leaves the pixels outside it out, with skip factors
// and excluded values as usual, until it is dropped; one of another size is
// refused.
TEST_F(LayerStats, AreaOfInterestLimitsTheStatistics) {
    // Blocks of 10 x 7, read back from the file: sampling and the mask
    // carry across block edges that the skip factors do not divide.
    const long w = 37, h = 29;
    const std::string name = dir.file("aoi.img") + "(:Layer_1)";
    Kimg_Layer *l = kimg_LayerCreate(name.c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_S16, w, h, tk,
                                     &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 10L, 7L, 0);
    ASSERT_NE(l, nullptr) << ktest::messages(err.r);
    fill(l, w, h, valueAt);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    l = open(name, true);
    ASSERT_NE(l, nullptr);
    const struct {
        std::function<bool(long, long)> inside;  // null: no area of interest
        long sx, sy;
    } cases[] = {
        {[](long, long c) { return c < 11; }, 1, 1},
        {[](long r, long c) { return (r + c) % 3 != 0; }, 3, 2},
        {[](long r, long) { return r >= 20; }, 1, 2},
        {nullptr, 1, 1},
    };
    for (const auto &c : cases) {
        Kgda_BaseData *mask = kimg_PixelRectCreate(w, h, KGDA_TYPE_S8, nullptr);
        for (long r = 0; r < h; ++r)
            for (long k = 0; k < w; ++k)  // -1 inside: any non-zero value counts
                mask->windowStart[r * mask->pitch + k] = c.inside && c.inside(r, k) ? 0xFF : 0;
        ASSERT_EQ(c.inside ? kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_AOI, mask,
                                                     KIMG_LAYER_OPTION_SKIP_FACTORS, c.sx, c.sy,
                                                     KIMG_LAYER_OPTION_EXCLUDE_ZERO, 0)
                           : kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_NO_AOI,
                                                     KIMG_LAYER_OPTION_SKIP_FACTORS, c.sx, c.sy, 0),
                  0)
            << ktest::messages(err.r);
        kimg_PixelRectDelete(mask, nullptr);
        Ksta_AllStats *a = ksta_AllStatsCreate(nullptr, 0, nullptr);
        ASSERT_EQ(kimg_LayerComputeStatistics(l, a, &err), 0) << ktest::messages(err.r);
        const Expected x = expected(w, h, c.sx, c.sy, {0}, valueAt, c.inside);
        EXPECT_EQ(a->pixelCount, x.n);
        expectStats(a->statistics, x);
        ksta_AllStatsDelete(a);
    }
    Kgda_BaseData *small = kimg_PixelRectCreate(w, h - 1, KGDA_TYPE_U8, nullptr);
    EXPECT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_AOI, small, 0), -1);
    EXPECT_SAYS(err,
                "Area of interest must be a raster of the layer's size "
                "(37 x 29)");
    kimg_PixelRectDelete(small, nullptr), kimg_LayerClose(l, nullptr);
}

// Skip factors from filepref.continuous_stats_percent and _min_pixels, the
// edge cases of the rule and explicit factors.
TEST_F(LayerStats, SkipFactorsFollowThePreferences) {
    const struct {
        long w, h;
        int32_t layerType;
        double percent, minPixels;
        long x, y;
    } cases[] = {
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 100, 1, 1, 1},
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 25, 1, 2, 2},  // 100 / 6 < 25
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 10, 1, 3, 3},  // sqrt(10); 100 / 12 < 10
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 50, 1, 1, 2},  // s = 1; 100 / 2 >= 50
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 30, 1, 1, 2},
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 1, 1, 10, 10},     // 100 / 110 < 1
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 1, 500000, 1, 1},  // the minimum sets the target
        {1000, 1000, KIMG_LAYER_ATHEMATIC, 4, 40000, 5, 5},   // both the same: percentage rule
        {10, 10, KIMG_LAYER_ATHEMATIC, 1, 1000, 1, 1},        // the target is the whole layer
        {1000, 1000, KIMG_LAYER_THEMATIC, 1, 1, 1, 1},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n);
        ASSERT_EQ(kpmg_PutNumberPreference("filepref", "continuous_stats_percent", c.percent, &err),
                  0)
            << ktest::messages(err.r);
        ASSERT_EQ(
            kpmg_PutNumberPreference("filepref", "continuous_stats_min_pixels", c.minPixels, &err),
            0);
        const std::string name = dir.file("skip" + std::to_string(n++) + ".kln") + "(:Layer_1)";
        Kimg_Layer *l = create(name, KGDA_TYPE_U8, c.w, c.h);
        ASSERT_NE(l, nullptr);
        if (c.layerType == KIMG_LAYER_THEMATIC) {
            // The narrow test format has athematic layers only: use a native one.
            kimg_LayerClose(l, nullptr);
            l = create(dir.file("skip.img") + "(:Layer_1)", KGDA_TYPE_U8, c.w, c.h, nullptr,
                       KIMG_LAYER_THEMATIC);
            ASSERT_NE(l, nullptr);
        }
        long x = 0, y = 0;
        ASSERT_EQ(kimg_LayerDetermineStatisticsSkip(l, &x, &y, &err), 0);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        kimg_LayerChangeOptions(l, nullptr, KIMG_LAYER_OPTION_SKIP_FACTORS, 4L, 7L, 0);
        ASSERT_EQ(kimg_LayerDetermineStatisticsSkip(l, &x, &y, &err), 0);
        EXPECT_TRUE(x == 4 && y == 7);
        kimg_LayerChangeOptions(l, nullptr, KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
        kimg_LayerClose(l, nullptr);
    }
    kpmg_PutNumberPreference("filepref", "continuous_stats_percent", 100, nullptr);
    kpmg_PutNumberPreference("filepref", "continuous_stats_min_pixels", 1, nullptr);
}

// The covariance of a file's layers, stored at its root and checked against
// the stack that reads it.
void LayerStats::covarianceOfAFile(const std::string &file, bool ownEntries) {
    const long w = 17, h = 11;
    std::vector<std::function<double(long, long)>> f = {
        [](long r, long c) { return double(r + c); },
        [](long r, long c) { return double((r * c) % 13); },
        [](long r, long c) { return double(50 - 2 * r + c % 3); }};
    for (int i = 0; i < 3; ++i) {
        Kimg_Layer *l = create(file + "(:Layer_" + std::to_string(i + 1) + ")", KGDA_TYPE_U8, w, h,
                               f[size_t(i)]);
        ASSERT_NE(l, nullptr);
        kimg_LayerChangeOptions(l, nullptr, KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
        ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    }
    Kimg_LayerStack *all = kimg_LayerStackOpen(file.c_str(), tk, &err, 0);
    ASSERT_NE(all, nullptr) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerStackComputeStatistics(all, &err), 0) << ktest::messages(err.r);
    Kgda_BaseData *m = kimg_CovarianceRead(all, &err);
    ASSERT_NE(m, nullptr) << ktest::messages(err.r);
    // Two-pass reference.
    double mean[3] = {};
    for (int i = 0; i < 3; ++i) {
        for (long r = 0; r < h; ++r)
            for (long c = 0; c < w; ++c) mean[i] += f[size_t(i)](r, c);
        mean[i] /= double(w * h);
    }
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double s = 0;
            for (long r = 0; r < h; ++r)
                for (long c = 0; c < w; ++c)
                    s += (f[size_t(a)](r, c) - mean[a]) * (f[size_t(b)](r, c) - mean[b]);
            EXPECT_NEAR(reinterpret_cast<double *>(m->data)[b * 3 + a], s / double(w * h - 1),
                        1e-9);
        }
    kgda_BaseDataDelete(m, nullptr);
    // The format's entries hold it instead of the object below the root.
    Kmif_Design *d = nullptr;
    void *stored = kimg_FileNodeDataRead((file + "(:Covariance)").c_str(), &d, nullptr);
    EXPECT_EQ(stored != nullptr, !ownEntries);
    if (stored) kmif_ObjectFree(&stored, d, nullptr);
    if (d) kmif_DesignDestroy(d, nullptr);
    m = kimg_FileCovarianceRead(file.c_str(), &err);
    ASSERT_NE(m, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(m->numrows, 3);
    kgda_BaseDataDelete(m, nullptr);
    int64_t t = 0;
    EXPECT_EQ(kimg_CovarianceGetTimeStamp(all, &t, &err), 0);
    EXPECT_GT(t, 0);
    EXPECT_EQ(kimg_CovarianceAreValuesExcluded(all, nullptr, &err), 0);
    Ksta_AllStatsStack *read = kimg_AllStatsStackRead(all, &err);
    ASSERT_NE(read, nullptr) << ktest::messages(err.r);
    ASSERT_NE(read->covariance, nullptr);
    EXPECT_NEAR(read->allStats[2]->statistics.mean, mean[2], 1e-9);
    EXPECT_EQ(kimg_AllStatsStackWrite(all, read, &err), 0) << ktest::messages(err.r);
    kimg_LayerStackClose(all, nullptr);

    Kimg_LayerStack *two = kimg_LayerStackOpen((file + "(:Layer_1,:Layer_2)").c_str(), tk, &err, 0);
    ASSERT_NE(two, nullptr) << ktest::messages(err.r);
    EXPECT_REFUSAL(kimg_AllStatsStackWrite(two, read, &err), -1,
                   "Number of layers in Ksta_AllStatsStack structure (3) is different than "
                   "number of layers in layer stack (2)");
    err.reset(), ksta_AllStatsStackDelete(read);
    EXPECT_EQ(kimg_CovarianceRead(two, &err), nullptr);
    EXPECT_SAYS(err, "Covariance matrix dimension mismatch");
    kimg_LayerStackClose(two, nullptr);
    Kimg_LayerStack *swapped =
        kimg_LayerStackOpen((file + "(:Layer_2,:Layer_1,:Layer_3)").c_str(), tk, &err, 0);
    ASSERT_NE(swapped, nullptr);
    EXPECT_EQ(kimg_CovarianceRead(swapped, &err), nullptr);
    EXPECT_SAYS(err, "Covariance matrix does not match layer stack");
    Kgda_BaseData *bad =
        kgda_BaseDataCreate(2, 3, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    EXPECT_EQ(kimg_CovarianceWrite(swapped, bad, &err), -1);
    EXPECT_SAYS(err, "Covariance matrix dimension mismatch");
    kgda_BaseDataDelete(bad, nullptr);
    Ksta_AllStatsStack *one = ksta_AllStatsStackCreate(1, nullptr, 0, 0, nullptr);
    EXPECT_EQ(kimg_LayerStackAllStatsStackCompute(swapped, one, &err), -1);
    EXPECT_SAYS(err,
                "Number of layers in Ksta_AllStatsStack structure (1) is "
                "different than number of layers in layer stack (3)");
    ksta_AllStatsStackDelete(one), kimg_LayerStackClose(swapped, nullptr);
}

TEST_F(LayerStats, CovarianceOfAFileWithItsChecks) {
    // Below the root of a native file; through the format's own entries.
    for (const char *name : {"cov.img", "cov.kln"}) {
        SCOPED_TRACE(name);
        covarianceOfAFile(dir.file(name), std::string(name) == "cov.kln");
    }
    // A file of one blank layer in the format with its own entries.
    auto blank = [&](const char *file) {
        Kimg_Layer *l = create(dir.file(file) + "(:Layer_1)", KGDA_TYPE_U8, 4, 4);
        if (l) kimg_LayerClose(l, nullptr);
        return l ? dir.file(file) : "";
    };
    // A matrix the format hands back that is not square is refused.
    const std::string bad = blank("bad.kln");
    ASSERT_NE(bad, "");
    Kgda_BaseData *m =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    const char *nodes[] = {":Layer_1", ":Layer_1"};
    ASSERT_EQ(kimg_FileCovarianceWrite(bad.c_str(), m, 2, nodes, &err), 0)
        << ktest::messages(err.r);
    kgda_BaseDataDelete(m, nullptr);
    EXPECT_EQ(kimg_FileCovarianceRead(bad.c_str(), &err), nullptr);
    EXPECT_SAYS(err, "Ill-formed covariance matrix");
    // Nothing stored yet: none found.
    EXPECT_EQ(kimg_FileCovarianceRead(blank("empty.kln").c_str(), &err), nullptr);
    EXPECT_SAYS(err, "No covariance info found");
}

// A call's return as a status: a pointer handed back is 0, none is -1.
int status(int v) {
    return v;
}
int status(const void *p) {
    return p ? 0 : -1;
}
#define CALL(expr) [&](Kerr_ErrorReport **e) { return status(expr); }

TEST_F(LayerStats, FailureReturnsOfLayerOperations) {
    Ksta_Statistics s{};
    long x, y;
    int64_t t;
    Kgda_BaseData *one =
        kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    const char *node = ":Layer_1";
    const struct {
        std::function<int(Kerr_ErrorReport **)> call;
        const char *message;
    } cases[] = {
        {CALL(kimg_LayerDetermineStatisticsSkip(nullptr, &x, &y, e)), "NULL layer"},
        {CALL(kimg_LayerComputeStatistics(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_LayerComputeHistogram(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_LayerStackComputeStatistics(nullptr, e)), "NULL argument"},
        {CALL(kimg_LayerStackAllStatsStackComputeWithBinfunc(nullptr, nullptr, nullptr, e)),
         "NULL argument"},
        {CALL(kimg_LayerStackComputeAllStatsStack(nullptr, nullptr, 0, e)), "NULL argument"},
        {CALL(kimg_StatisticsRead(nullptr, e)), "NULL layer"},
        {CALL(kimg_StatisticsWrite(nullptr, &s, e)), "NULL layer"},
        {CALL(kimg_StatisticsGetTimeStamp(nullptr, &t, e)), "NULL layer"},
        {CALL(kimg_StatisticsAreValuesExcluded(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_StatisticsGetSkipFactors(nullptr, &x, &y, e)), "NULL layer"},
        {CALL(kimg_HistogramRead(nullptr, e)), "NULL layer"},
        {CALL(kimg_HistogramWrite(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_HistogramGetTimeStamp(nullptr, &t, e)), "NULL layer"},
        {CALL(kimg_HistogramAreValuesExcluded(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_CovarianceRead(nullptr, e)), "NULL stack"},
        {CALL(kimg_CovarianceWrite(nullptr, nullptr, e)), "NULL stack"},
        {CALL(kimg_CovarianceGetTimeStamp(nullptr, &t, e)), "NULL stack"},
        {CALL(kimg_CovarianceAreValuesExcluded(nullptr, nullptr, e)), "NULL stack"},
        {CALL(kimg_FileCovarianceRead(nullptr, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceWrite("x", nullptr, 1, nullptr, e)), "NULL argument"},
        {CALL(kimg_AllStatsRead(nullptr, e)), "NULL layer"},
        {CALL(kimg_AllStatsWrite(nullptr, nullptr, e)),
         "Pointer to Ksta_AllStats structure is NULL"},
        {CALL(kimg_AllStatsStackRead(nullptr, e)), "NULL stack"},
        {CALL(kimg_AllStatsStackWrite(nullptr, nullptr, e)), "NULL argument"},
        {CALL(kimg_LayerScalarStatisticsParametersRead(nullptr, e)), "NULL layer"},
        {CALL(kimg_LayerHistogramParametersWrite(nullptr, nullptr, e)), "NULL layer"},
        {CALL(kimg_LayerHistogramParametersModTimeGet(nullptr, &t, e)), "NULL layer"},
        {CALL(kimg_LayerHistogramParametersDestroy(nullptr, e)), "NULL layer"},
        {CALL(kimg_LayerHistogramParametersNodeName(nullptr, e)), "NULL layer"},
        {CALL(kimg_FileCovarianceParametersRead(nullptr, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceParametersWrite(nullptr, nullptr, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceParametersModTimeGet(nullptr, &t, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceParametersDestroy(nullptr, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceParametersNodeName(nullptr, e)), "NULL file name"},
        {CALL(kimg_FileCovarianceRead(dir.file("none.xyz").c_str(), e)), "Unrecognized format"},
        {CALL(kimg_FileCovarianceWrite(dir.file("none.xyz").c_str(), one, 1, &node, e)),
         "Unrecognized format"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        Err e;
        refusedWith(e, c.call(&e) == -1, c.message);
    }
    kgda_BaseDataDelete(one, nullptr);
}

// Colour, class-name and contrast columns written and read back; a missing
// column is reported.
TEST_F(LayerStats, ColourClassNameAndContrastColumns) {
    const std::string name = dir.file("t.img") + "(:Layer_1)";
    Kimg_Layer *l = create(name, KGDA_TYPE_U8, 8, 8, nullptr, KIMG_LAYER_THEMATIC);
    ASSERT_NE(l, nullptr);
    int32_t rows = 0;
    double *c = nullptr;
    EXPECT_EQ(ksta_ContrastTableRead(l, &rows, &c, &err), -1);
    EXPECT_TRUE(err);
    const double red[3] = {1, 0, 0.5}, green[3] = {0, 1, 0.25}, blue[3] = {0, 0, 1},
                 opacity[3] = {1, 1, 0};
    ASSERT_EQ(ksta_ColorTableWrite(l, 3, red, green, blue, opacity, &err), 0)
        << ktest::messages(err.r);
    const char *names[3] = {"water", "", "a longer class name"};
    ASSERT_EQ(ksta_ClassNamesWrite(l, 3, names, &err), 0) << ktest::messages(err.r);
    const double contrast[3] = {0.1, 0.2, 0.3};
    ASSERT_EQ(ksta_ContrastTableWrite(l, 3, contrast, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    l = open(name, true);
    ASSERT_NE(l, nullptr);
    double *r = nullptr, *g = nullptr, *b = nullptr, *o = nullptr;
    ASSERT_EQ(ksta_ColorTableRead(l, &rows, &r, &g, &b, &o, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(rows, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(r[i] == red[i] && g[i] == green[i] && b[i] == blue[i] && o[i] == opacity[i]);
    for (double *p : {r, g, b, o}) kmsc_HeapFree(p);
    char **back = nullptr;
    ASSERT_EQ(ksta_ClassNamesRead(l, &rows, &back, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(rftest::taken(rows, back), std::vector<std::string>(names, names + 3));
    ASSERT_EQ(ksta_ContrastTableRead(l, &rows, &c, &err), 0);
    EXPECT_TRUE(c[0] == 0.1 && c[2] == 0.3);
    kmsc_HeapFree(c);
    EXPECT_EQ(ksta_ContrastTableWrite(l, 3, contrast, &err), -1);  // read-only
    EXPECT_EQ(ksta_ColorTableWrite(l, 3, red, green, blue, nullptr, &err), -1);
    EXPECT_EQ(ksta_ColorTableWrite(nullptr, 3, red, green, blue, nullptr, &err), -1);
    EXPECT_SAYS(err, "NULL layer");
    refusedWith(err, ksta_ClassNamesWrite(l, 0, names, &err) == -1, "Invalid row count 0");
    kimg_LayerClose(l, nullptr);
}

TEST(StretchTable, EntriesFollowTheDeviations) {
    const struct {
        Ksta_Statistics s;
        double n;
        int32_t entries;
        std::vector<double> lut;
    } cases[] = {
        // mean 50, stddev 10, 2 deviations: 30 -> 0, 70 -> 1 over 0..100.
        {{0, 100, 50, 0, 0, 10}, 2, 6, {0, 0, 0.25, 0.75, 1, 1}},
        {{0, 100, 50, 0, 0, 10}, 5, 3, {0, 0.5, 1}},
        {{10, 10, 10, 0, 0, 0}, 1, 2, {1, 1}},  // no spread: the mean and above give 1
        {{0, 4, 2, 0, 0, 0}, 1, 5, {0, 0, 1, 1, 1}},
    };
    for (const auto &c : cases) {
        double *lut = ksta_LUTCreateForNStdDevStretch(&c.s, c.n, c.entries, nullptr);
        ASSERT_NE(lut, nullptr);
        for (int32_t i = 0; i < c.entries; ++i) EXPECT_NEAR(lut[i], c.lut[size_t(i)], 1e-12) << i;
        kmsc_HeapFree(lut);
    }
    // No deviations, fewer than two entries, no statistics.
    const Ksta_Statistics s{0, 1, 0, 0, 0, 1};
    for (const auto &[st, n, entries] : {std::tuple{&s, 0.0, 4}, {&s, 1.0, 1}, {nullptr, 1.0, 4}}) {
        Err e;
        EXPECT_EQ(ksta_LUTCreateForNStdDevStretch(st, n, entries, &e), nullptr) << n << entries;
        EXPECT_TRUE(e);
    }
}

// kraster stats computes, stores and prints; kraster info shows what is
// stored (nothing after a layer closed with the option not to); usage errors
// exit 2, failures 1.
TEST_F(LayerStats, ToolComputesStoresAndPrints) {
    const std::string file = dir.file("tool.tif");
    const long w = 40, h = 30;
    Kimg_Layer *l =
        kimg_LayerCreate((file + "(:Layer_1)").c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U16, w, h,
                         tk, &err, KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
    ASSERT_NE(l, nullptr) << ktest::messages(err.r);
    fill(l, w, h, valueAt);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    kimg_FileNameDequeue(file.c_str(), nullptr);
    auto run = [&](const std::string &args) { return tooltest::run(dir, args); };
    EXPECT_TRUE(ktest::contains(run("info " + file).out, "  statistics: none\n"));
    const tooltest::Outcome stats = run("stats " + file + " --skip 2,3 --exclude 5,11");
    EXPECT_EQ(stats.status, 0) << stats.err;
    const std::string &printed = stats.out;
    const Expected x = expected(w, h, 2, 3, {5, 11}, valueAt);
    char line[256];
    std::snprintf(line, sizeof line,
                  "  pixels: %.0f (skip 2 x 3)\n  minimum %.10g, maximum %.10g, mean %.10g, "
                  "median %.10g, mode %.10g, stddev %.10g\n",
                  x.n, x.min, x.max, x.mean, x.median, x.mode, x.stddev);
    EXPECT_TRUE(ktest::contains(printed, file + "(:Layer_1)\n" + line)) << line;
    EXPECT_TRUE(ktest::contains(printed, "  histogram: \"Unique Value\""));
    EXPECT_TRUE(ktest::contains(printed, "  stored: yes\n"));
    const tooltest::Outcome info = run("info " + file);
    EXPECT_EQ(info.status, 0);
    std::snprintf(line, sizeof line, "  statistics:\n    minimum %.17g, maximum %.17g", x.min,
                  x.max);
    EXPECT_TRUE(ktest::contains(info.out, line));
    const std::string json = run("info --json " + file).out;
    EXPECT_TRUE(ktest::contains(json, "\"statistics\": {\"minimum\": 0, \"maximum\": 22"));
    EXPECT_TRUE(ktest::contains(json, "\"outOfDate\": false}"));
    // Only one layer, quietly; usage errors and failures.
    const tooltest::Outcome one = run("stats -q " + file + " --layer Layer_1");
    EXPECT_TRUE(ktest::contains(one.out, "(skip 1 x 1)"));
    EXPECT_EQ(one.status, 0);
    for (const char *bad : {"stats", "stats --skip 0,1 x.tif", "stats --skip 2 x.tif",
                            "stats --exclude a x.tif", "stats a.tif b.tif"})
        EXPECT_EQ(run(bad).status, 2) << bad;
    EXPECT_EQ(run("stats " + dir.file("missing.tif")).status, 1);
    EXPECT_EQ(run("stats " + file + " --layer Nope").status, 1);
}

// A histogram with a given bin function: every sampled value in its bin,
// written with its parameters.
TEST_F(LayerStats, HistogramWithAGivenBinFunction) {
    const long w = 33, h = 21;
    for (int32_t type : {KGDA_TYPE_U8, KGDA_TYPE_U16, KGDA_TYPE_F64}) {
        const std::string name = dir.file("bf" + std::to_string(type) + ".img") + "(:Layer_1)";
        Kimg_Layer *l = create(name, type, w, h, valueAt);
        ASSERT_NE(l, nullptr);
        Kdsc_BinFunction *bf = kdsc_BinFunctionCreateLinear(5, 0, 19, nullptr);
        Ksta_Histogram *hist = kimg_LayerComputeHistogram(l, bf, &err);
        ASSERT_NE(hist, nullptr) << ktest::messages(err.r);
        std::vector<double> want(5, 0);
        for (long r = 0; r < h; ++r)
            for (long c = 0; c < w; ++c) {
                const int32_t b = kdsc_BinFunctionApply(bf, valueAt(r, c));
                if (b >= 0 && b < 5) want[size_t(b)] += 1;
            }
        ASSERT_EQ(hist->binCount, 5);
        for (int32_t b = 0; b < 5; ++b) EXPECT_EQ(hist->counts[b], want[size_t(b)]) << b;
        ksta_HistogramDelete(hist);
        Ksta_Histogram *stored = kimg_HistogramRead(l, &err);
        ASSERT_NE(stored, nullptr);
        EXPECT_EQ(kdsc_BinFunctionIsSame(stored->binFunction, bf), 1);
        EXPECT_EQ(stored->counts[4], want[4]);
        ksta_HistogramDelete(stored);
        Kimg_StatisticsParameters *sp = kimg_LayerHistogramParametersRead(l, &err);
        ASSERT_NE(sp, nullptr);
        EXPECT_EQ(kdsc_BinFunctionIsSame(kimg_StatisticsParametersBinFunctionGet(sp), bf), 1);
        kimg_StatisticsParametersFree(sp);
        kimg_LayerChangeOptions(l, nullptr, KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0);
        kimg_LayerClose(l, nullptr);
        // A read-only layer computes the histogram without storing it.
        l = open(name, true);
        ASSERT_NE(l, nullptr);
        hist = kimg_LayerComputeHistogram(l, bf, &err);
        ASSERT_NE(hist, nullptr) << ktest::messages(err.r);
        EXPECT_EQ(hist->counts[4], want[4]);
        ksta_HistogramDelete(hist), kimg_LayerClose(l, nullptr),
            kdsc_BinFunctionDelete(bf, nullptr);
    }
}

}  // namespace
