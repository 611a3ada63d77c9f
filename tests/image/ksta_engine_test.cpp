// Statistics accumulators: hand-computed statistics of small rasters of every
// pixel type, the exact-value histogram's room and fold-over, the median and
// mode walk on crafted histograms, masks, stacks with covariance against a
// two-pass reference, a differential test of random rasters against a plain
// reference, stored parameter records, and every failure return.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

struct Rect {
    Kgda_BaseData *b;
    Rect(long w, long h, int32_t t) : b(kimg_PixelRectCreate(w, h, t, nullptr)) {}
    ~Rect() { kimg_PixelRectDelete(b, nullptr); }
    Rect(const Rect &) = delete;
    // Sets pixel i (row-major) from a double (complex: real part re, imag im).
    void set(long i, double re, double im = 0) {
        const long r = i / b->numcolumns, c = i % b->numcolumns;
        const double v[2] = {re, im};
        ktest::Err e;  // the conversion needs a report address
        kpxm_ConvertPixels(b->windowStart + r * b->pitch + c * b->numbytes, b->datatype, v,
                           b->datatype >= KGDA_TYPE_C64 ? KGDA_TYPE_C128 : KGDA_TYPE_F64, 1, &e);
    }
};

struct AllStats {
    Ksta_AllStats *a;
    explicit AllStats(const Kdsc_BinFunction *bf = nullptr, int32_t bins = 0)
        : a(ksta_AllStatsCreate(bf, bins, nullptr)) {}
    ~AllStats() { ksta_AllStatsDelete(a); }
};

// Accumulates one rectangle with an exact-value histogram of room `room`
// and finishes.
int run(Ksta_AllStats *a, const Kgda_BaseData *b, int32_t room = 512,
        const Kgda_BaseData *mask = nullptr) {
    if (ksta_AllStatsUVHistogramBegin(a, b->datatype, room, nullptr) != 0) return -1;
    if (ksta_AllStatsUVHistogramAccumulate(a, b, mask, nullptr) != 0) return -1;
    if (ksta_AllStatsUVHistogramEnd(a, nullptr) != 0) return -1;
    return ksta_AllStatsFinish(a, nullptr);
}

struct TypeCase {
    int32_t type;
    std::vector<double> values;  // six pixels (for complex: magnitudes below)
    double min, max, mean, stddev, median, mode;
    const char *histogramTitle;
    int32_t bins;  // narrow types: one bin per value of the type; others per distinct value
};

// Expected values computed by hand (sample standard deviation).
const TypeCase kTypeCases[] = {
    {KGDA_TYPE_U1, {0, 1, 1, 1, 0, 1}, 0, 1, 4.0 / 6, 0.5163977794943223, 1, 1, "Direct", 2},
    {KGDA_TYPE_U2, {0, 3, 3, 2, 1, 3}, 0, 3, 2, 1.2649110640673518, 2, 3, "Direct", 4},
    {KGDA_TYPE_U4, {15, 0, 7, 7, 8, 1}, 0, 15, 38.0 / 6, 5.4283207962192765, 7, 7, "Direct", 16},
    {KGDA_TYPE_U8, {1, 3, 3, 4, 6, 7}, 1, 7, 4, 2.1908902300206643, 3, 3, "Direct", 256},
    {KGDA_TYPE_S8, {-7, -3, -3, 0, 2, 5}, -7, 5, -1, 4.242640687119285, -3, -3, "Direct", 256},
    {KGDA_TYPE_U16, {1, 3, 3, 4, 6, 7}, 1, 7, 4, 2.1908902300206643, 3, 3, "Unique Value", 5},
    {KGDA_TYPE_S16, {-7, -3, -3, 0, 2, 5}, -7, 5, -1, 4.242640687119285, -3, -3, "Unique Value", 5},
    {KGDA_TYPE_U32, {1, 3, 3, 4, 6, 7}, 1, 7, 4, 2.1908902300206643, 3, 3, "Unique Value", 5},
    {KGDA_TYPE_S32, {-7, -3, -3, 0, 2, 5}, -7, 5, -1, 4.242640687119285, -3, -3, "Unique Value", 5},
    {KGDA_TYPE_F32, {-7, -3, -3, 0, 2, 5}, -7, 5, -1, 4.242640687119285, -3, -3, "Unique Value", 5},
    {KGDA_TYPE_F64, {-7, -3, -3, 0, 2, 5}, -7, 5, -1, 4.242640687119285, -3, -3, "Unique Value", 5},
    {KGDA_TYPE_C64, {1, 3, 3, 4, 6, 7}, 1, 7, 4, 2.1908902300206643, 3, 3, "Unique Value", 5},
    {KGDA_TYPE_C128, {1, 3, 3, 4, 6, 7}, 1, 7, 4, 2.1908902300206643, 3, 3, "Unique Value", 5},
};

TEST(StatsEngine, EveryPixelTypeAgainstHandComputedValues) {
    for (const TypeCase &t : kTypeCases) {
        SCOPED_TRACE(kmsc_AddressOf_kgda_PixelTypeName()[t.type]);
        Rect r(3, 2, t.type);
        for (long i = 0; i < 6; ++i) {
            // Complex pixels alternate between the real and imaginary axis,
            // both of the listed magnitude.
            const double m = t.values[size_t(i)];
            if (t.type >= KGDA_TYPE_C64)
                i % 2 ? r.set(i, 0, m) : r.set(i, -m, 0);
            else
                r.set(i, m);
        }
        AllStats a;
        ASSERT_EQ(run(a.a, r.b), 0);
        const Ksta_Statistics &s = a.a->statistics;
        EXPECT_TRUE(ktest::almost({a.a->pixelCount, s.minimum, s.maximum, s.median, s.mode},
                                  {6, t.min, t.max, t.median, t.mode}));
        EXPECT_NEAR(s.mean, t.mean, 1e-9);
        EXPECT_NEAR(s.stddev, t.stddev, 1e-9);
        const Ksta_Histogram *h = a.a->histogram;
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(kdsc_BinFunctionTitle(h->binFunction), t.histogramTitle);
        EXPECT_EQ(h->binCount, t.bins);
        // Direct bins start at the type's lowest value, unique values at the least.
        const int32_t first = kdsc_BinFunctionApply(h->binFunction, t.min);
        EXPECT_EQ(first, t.bins == 5 ? 0 : t.min - kmsc_AddressOf_kgda_IntegerMinValue()[t.type]);
        EXPECT_EQ(h->counts[first], std::count(t.values.begin(), t.values.end(), t.min));
        EXPECT_EQ(std::accumulate(h->counts, h->counts + h->binCount, 0.0), 6);
    }
}

// Wide types past their room: the values go on into bins that widen as the
// range grows; median and mode come from walking those bins.
TEST(StatsEngine, WideTypesPastTheirRoomGetABinnedHistogram) {
    struct Case {
        int32_t type;
        double first, step, distinct, extra, extras;  // `extra` repeated after the others
        const char *title;
        int32_t bins;
        double median, tolerance;
    };
    const Case cases[] = {
        // 0..599 and five more 100s (n 605): bins one value wide from 0; the
        // walk passes 302.5 at 297 (running sum 303).
        {KGDA_TYPE_S32, 0, 1, 600, 100, 5, "Direct", 600, 297, 0},
        // 1000..2999 and ten more 1500s (n 2010): 2000 values need bins two
        // wide; 1005 is passed in the bin of 1994.
        {KGDA_TYPE_U32, 1000, 1, 2000, 1500, 10, "Linear", 1000, 1994, 1e-9},
        // -3, -2.99 .. 3.99 and twenty 2.5s (n 720): the 360th value is 0.59.
        {KGDA_TYPE_F64, -3, 0.01, 700, 2.5, 20, "Linear", 0, 0.59, 0.02},
        // 100, 103 .. 1897 and five more 100s (n 605): u16 keeps one bin per
        // value of the range; 302.5 is passed at 100 + 3 x 297.
        {KGDA_TYPE_U16, 100, 3, 600, 100, 5, "Direct", 1798, 991, 0},
        // 0..599 and five -1000s (n 605): the bins grow downwards, two wide.
        {KGDA_TYPE_F32, 0, 1, 600, -1000, 5, "Linear", 0, 297, 2.5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        const long n = long(c.distinct + c.extras);
        Rect r(n, 1, c.type);
        for (long i = 0; i < n; ++i)
            r.set(i, i < c.distinct ? c.first + c.step * double(i) : c.extra);
        AllStats a;
        ASSERT_EQ(run(a.a, r.b, 512), 0);
        const Ksta_Histogram *h = a.a->histogram;
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(kdsc_BinFunctionTitle(h->binFunction), c.title);
        if (c.bins) {
            EXPECT_EQ(h->binCount, c.bins);
        }
        EXPECT_EQ(std::accumulate(h->counts, h->counts + h->binCount, 0.0), double(n));
        EXPECT_NEAR(kdsc_BinFunctionMinLimit(h->binFunction), std::min(c.first, c.extra),
                    c.tolerance);
        EXPECT_NEAR(a.a->statistics.median, c.median, c.tolerance);
        EXPECT_NEAR(a.a->statistics.mode, c.extra, c.tolerance);
    }
    // Infinite values count but have no bin; the bins span the finite ones.
    Rect r(602, 1, KGDA_TYPE_F64);
    r.set(0, -INFINITY), r.set(1, INFINITY);
    for (long i = 2; i < 602; ++i) r.set(i, double(i));
    AllStats a;
    ASSERT_EQ(run(a.a, r.b, 512), 0);
    const Ksta_Histogram *h = a.a->histogram;
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(ktest::almost({std::accumulate(h->counts, h->counts + h->binCount, 0.0),
                               kdsc_BinFunctionMinLimit(h->binFunction), a.a->pixelCount},
                              {600, 2, 602}));
}

// Overflow in a later block: the values of the first blocks are folded in.
// A copy made on the way carries the exact values so far and goes on alone.
TEST(StatsEngine, FoldOverAcrossBlocksKeepsExactSums) {
    AllStats a;
    Ksta_AllStats *copy = nullptr;
    ASSERT_EQ(ksta_AllStatsUVHistogramBegin(a.a, KGDA_TYPE_F64, 4, nullptr), 0);
    double sum = 0, n = 0;
    std::vector<std::vector<double>> blocks = {{1, 1, 2}, {2, 3, 4}, {5, 6, 1}, {9, 9, 9}};
    for (const auto &b : blocks) {
        Rect r(3, 1, KGDA_TYPE_F64);
        for (long i = 0; i < 3; ++i) r.set(i, b[size_t(i)]), sum += b[size_t(i)], n += 1;
        ASSERT_EQ(ksta_AllStatsUVHistogramAccumulate(a.a, r.b, nullptr, nullptr), 0);
        if (copy) {
            ASSERT_EQ(ksta_AllStatsUVHistogramAccumulate(copy, r.b, nullptr, nullptr), 0);
        } else {
            ASSERT_NE(copy = ksta_AllStatsCopy(a.a, nullptr), nullptr);
        }
    }
    for (Ksta_AllStats *x : {a.a, copy})
        ASSERT_EQ(ksta_AllStatsUVHistogramEnd(x, nullptr) | ksta_AllStatsFinish(x, nullptr), 0);
    EXPECT_EQ(a.a->pixelCount, n);
    EXPECT_DOUBLE_EQ(a.a->statistics.mean, sum / n);
    EXPECT_EQ((ktest::Reals{a.a->statistics.minimum, a.a->statistics.maximum}),
              (ktest::Reals{1, 9}));
    // The binned histogram holds every value, those folded in included.
    ASSERT_NE(a.a->histogram, nullptr);
    const Ksta_Histogram *h = a.a->histogram;
    EXPECT_EQ(std::accumulate(h->counts, h->counts + h->binCount, 0.0), n);
    EXPECT_EQ(a.a->statistics.mode, 1);  // 1 and 9 thrice: the lower wins
    const Ksta_Statistics &c = copy->statistics;
    EXPECT_EQ((ktest::Reals{copy->pixelCount, c.mean, c.mode, c.median}),
              (ktest::Reals{n, a.a->statistics.mean, 1, a.a->statistics.median}));
    ASSERT_EQ(ksta_AllStatsInit(copy, nullptr), 0);
    EXPECT_EQ((ktest::Reals{copy->pixelCount, copy->statistics.minimum}),
              (ktest::Reals{0, INFINITY}));
    ksta_AllStatsDelete(copy);
}

// With a bin function each value's count goes to its bin; values outside
// the bins are left out of the histogram but not of the statistics.
TEST(StatsEngine, GivenBinFunctionCollectsExactValuesIntoItsBins) {
    Kdsc_BinFunction *bf = kdsc_BinFunctionCreateLinear(4, 0, 8, nullptr);
    for (int32_t type : {KGDA_TYPE_U8, KGDA_TYPE_U16, KGDA_TYPE_F64}) {
        for (int32_t room : {512, 2}) {  // alive, and overflowed on the way
            AllStats a(bf);
            Rect r(6, 1, type);
            const double v[] = {0, 1, 3, 7, 8, 20};
            for (long i = 0; i < 6; ++i) r.set(i, v[i]);
            ASSERT_EQ(run(a.a, r.b, room), 0);
            const Ksta_Histogram *h = a.a->histogram;
            ASSERT_EQ(h->binCount, 4);
            // 0, 1 | 3 | - | 7, 8 (max in the last bin); 20 above
            EXPECT_EQ(std::vector<double>(h->counts, h->counts + 4),
                      (std::vector<double>{2, 1, 0, 2}));
            EXPECT_EQ(a.a->pixelCount, 6);
            EXPECT_EQ(a.a->statistics.maximum, 20);
            EXPECT_EQ(a.a->statistics.mode, 0);  // first of the tie, lower value of bin 0
            EXPECT_NEAR(a.a->statistics.median, 2, 1e-12);  // walk: 2 < 3, then 3 >= 3: bin 1
        }
    }
    kdsc_BinFunctionDelete(bf, nullptr);
}

TEST(StatsEngine, MedianAndModeWalkOnCraftedHistograms) {
    const struct {
        std::vector<double> counts;
        double n;
        int32_t modeBin, medianBin;
    } cases[] = {
        {{1, 5, 5, 2}, 13, 1, 2},  // tie goes low; 6 < 6.5 so bin 2 is added
        {{4, 0, 0, 0}, 4, 0, 0},
        {{0, 0, 3, 0}, 3, 2, 2},  // empty bins are walked over
        {{2, 2, 0, 0}, 4, 0, 0},  // running sum 2 is not below 2: stop at bin 0
        {{1, 1, 1, 1, 1}, 5, 0, 2},
        {{1, 1, 1, 0}, 6, 0, 2},  // counts short of n: the walk ends at the last bin
    };
    for (const bool direct : {true, false}) {
        for (const auto &c : cases) {
            const auto bins = int32_t(c.counts.size());
            // Direct: bin k is k + 10; Linear over 0..2 bins: 2k / bins wide.
            Kdsc_BinFunction *bf = direct
                                       ? kdsc_BinFunctionCreateDirect(bins, 10, nullptr)
                                       : kdsc_BinFunctionCreateLinear(bins, 0, 2 * bins, nullptr);
            AllStats a(bf);
            kdsc_BinFunctionDelete(bf, nullptr);
            std::copy(c.counts.begin(), c.counts.end(), a.a->histogram->counts);
            a.a->pixelCount = c.n;
            ASSERT_EQ(ksta_AllStatsFinish(a.a, nullptr), 0);
            const double base = direct ? 10 : 0, width = direct ? 1 : 2;
            EXPECT_TRUE(ktest::almost({a.a->statistics.mode, a.a->statistics.median},
                                      {base + width * c.modeBin, base + width * c.medianBin}))
                << direct;
        }
    }
}

// ---- Differential test against a plain reference --------------------------

struct Reference {
    double n = 0, mean = 0, stddev = 0, min = 0, max = 0, median = 0, mode = 0;
};

// Two-pass statistics; median and mode over the distinct values with the
// walk's rule (smallest value whose running count reaches n / 2, smallest
// value of the largest count).
Reference reference(const std::vector<double> &v) {
    Reference r;
    r.n = double(v.size());
    if (v.empty()) return r;
    for (double x : v) r.mean += x;
    r.mean /= r.n;
    double ss = 0;
    for (double x : v) ss += (x - r.mean) * (x - r.mean);
    r.stddev = r.n > 1 ? std::sqrt(ss / (r.n - 1)) : 0;
    std::map<double, double> c;
    for (double x : v) c[x] += 1;
    r.min = c.begin()->first, r.max = c.rbegin()->first;
    double run = 0, best = -1;
    for (const auto &[x, k] : c) {
        if (run < r.n * 0.5) run += k, r.median = x;  // the running count stops once past n / 2
        if (k > best) best = k, r.mode = x;
    }
    return r;
}

TEST(StatsEngine, RandomRastersAgreeWithAPlainReference) {
    std::mt19937 rng(1234);
    const int32_t types[] = {KGDA_TYPE_U1,  KGDA_TYPE_U4,  KGDA_TYPE_U8,  KGDA_TYPE_S8,
                             KGDA_TYPE_U16, KGDA_TYPE_S16, KGDA_TYPE_U32, KGDA_TYPE_S32,
                             KGDA_TYPE_F32, KGDA_TYPE_F64};
    for (int round = 0; round < 40; ++round) {
        const int32_t type = types[size_t(round) % std::size(types)];
        // Every third round is large and unmasked: the counting paths for
        // whole rasters (bytes in interleaved tables, with a ragged tail).
        // The first rounds take one pixel, then none (four masked out).
        const bool large = round % 3 == 2 && round > 8, tiny = round < 8;
        const long w = large ? 131 + long(rng() % 4) : tiny ? 1 + round / 4 : 1 + long(rng() % 37);
        const long h = large ? 129 : tiny ? 1 + round / 4 : 1 + long(rng() % 23);
        const int spread = 1 + int(rng() % 200);  // at most 200 distinct values
        const double lo = kmsc_AddressOf_kgda_IntegerMinValue()[type];
        const double top =
            type <= KGDA_TYPE_S32 ? kmsc_AddressOf_kgda_IntegerMaxValue()[type] : 1e9;
        Rect r(w, h, type), mask(w, h, KGDA_TYPE_U8);
        std::vector<double> kept;
        for (long i = 0; i < w * h; ++i) {
            double v = lo + double(rng() % unsigned(spread));
            if (type == KGDA_TYPE_F32 || type == KGDA_TYPE_F64)
                v = double(int(rng() % unsigned(spread)) - 50) * 0.25;
            v = std::min(v, top);
            r.set(i, v);
            const bool in = tiny ? round < 4 : large || rng() % 5 != 0;
            mask.set(i, in);
            if (in) kept.push_back(v);
        }
        SCOPED_TRACE("round " + std::to_string(round));
        AllStats a;
        ASSERT_EQ(run(a.a, r.b, 512, large ? nullptr : mask.b), 0);
        const Reference ref = reference(kept);
        const Ksta_Statistics &s = a.a->statistics;
        EXPECT_EQ(a.a->pixelCount, ref.n);
        const double tol = 1e-9 * (1 + std::fabs(ref.mean) + ref.stddev);
        EXPECT_NEAR(s.mean, ref.mean, tol);
        EXPECT_NEAR(s.stddev, ref.stddev, 1e-7 * (1 + ref.stddev + std::fabs(ref.mean)));
        EXPECT_EQ((ktest::Reals{s.minimum, s.maximum, s.median, s.mode}),
                  (ktest::Reals{ref.min, ref.max, ref.median, ref.mode}));
    }
}

// ---- Stacks and covariance --------------------------------------------------

TEST(StatsEngine, StackCovarianceMatchesTwoPassReference) {
    std::mt19937 rng(7);
    const long w = 13, h = 9;
    const int32_t types[3] = {KGDA_TYPE_U8, KGDA_TYPE_S16, KGDA_TYPE_F64};
    Kgda_BaseDataStack *rects = kgda_BaseDataStackPtrCreate(3, nullptr);
    ASSERT_NE(rects, nullptr);
    rects->derivedFlag = 1;  // the rectangles are owned below
    std::vector<std::unique_ptr<Rect>> owned;
    std::vector<std::vector<double>> v(3);
    Rect mask(w, h, KGDA_TYPE_U8);
    std::vector<bool> in(size_t(w * h));
    for (long i = 0; i < w * h; ++i) mask.set(i, in[size_t(i)] = rng() % 7 != 0);
    const double n = double(std::count(in.begin(), in.end(), true));
    double mean[3] = {};
    for (int l = 0; l < 3; ++l) {
        owned.push_back(std::make_unique<Rect>(w, h, types[l]));
        rects->layers[l] = owned.back()->b;
        for (long i = 0; i < w * h; ++i) {
            const double x = double(rng() % 100) + (l == 2 ? 0.5 : 0);
            owned.back()->set(i, x);
            v[size_t(l)].push_back(x);
            if (in[size_t(i)]) mean[l] += x / n;
        }
    }
    Ksta_AllStatsStack *s = ksta_AllStatsStackCreate(3, nullptr, 0, 1, nullptr);
    ASSERT_NE(s, nullptr);
    for (int l = 0; l < 3; ++l)
        ASSERT_EQ(ksta_AllStatsUVHistogramBegin(s->allStats[l], types[l], 0, nullptr), 0);
    ASSERT_EQ(ksta_AllStatsStackAccumulate(s, rects, mask.b, nullptr), 0);
    ASSERT_EQ(ksta_AllStatsStackFinish(s, nullptr), 0);
    ASSERT_NE(s->covariance, nullptr);
    ASSERT_EQ(s->covariance->numrows, 3);
    const auto *m = reinterpret_cast<const double *>(s->covariance->data);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double c = 0;
            for (long i = 0; i < w * h; ++i)
                if (in[size_t(i)])
                    c += (v[size_t(a)][size_t(i)] - mean[a]) * (v[size_t(b)][size_t(i)] - mean[b]);
            EXPECT_NEAR(m[b * 3 + a], c / (n - 1), 1e-9 * (1 + std::fabs(c))) << a << "," << b;
        }
    for (int l = 0; l < 3; ++l) EXPECT_NEAR(s->allStats[l]->statistics.mean, mean[l], 1e-9);
    Ksta_AllStatsStack *copy = ksta_AllStatsStackCopy(s, nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy->covariance->data, s->covariance->data, 9 * sizeof(double)), 0);
    EXPECT_EQ(copy->allStats[2]->statistics.mean, s->allStats[2]->statistics.mean);
    ksta_AllStatsStackDelete(copy);
    ASSERT_EQ(ksta_AllStatsStackInit(s, nullptr), 0);
    EXPECT_EQ(s->covariance, nullptr);
    EXPECT_EQ(s->allStats[0]->pixelCount, 0);
    ksta_AllStatsStackDelete(s), kgda_BaseDataStackDelete(rects, nullptr);
}

// ---- Parameters records ---------------------------------------------------

TEST(StatsParameters, ConvertToStoredRecordAndBack) {
    ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
    Kimg_StatisticsParameters *p = kimg_StatisticsParametersAllocate(nullptr);
    // With nothing set, the record converts too.
    const Kmif_Design *d0 = nullptr;
    void *o0 = kimg_StatisticsParametersConvertToMIFable(p, &d0, nullptr);
    EXPECT_NE(o0, nullptr);
    if (o0) kmif_ObjectFree(&o0, d0, nullptr);
    EXPECT_EQ(kimg_StatisticsParametersAOINameGet(p), nullptr);
    const char *names[] = {":Layer_1", ":Layer_2"};
    ASSERT_EQ(kimg_StatisticsParametersLayerNamesSet(p, 2, names, nullptr), 0);
    Kgda_BaseData *ex =
        kgda_BaseDataCreate(1, 4, KGDA_TYPE_S16, KGDA_TABLE_OBJECT, nullptr, nullptr);
    const int16_t ev[] = {5, -1, 5, 0};
    std::memcpy(ex->data, ev, sizeof ev);
    ASSERT_EQ(kimg_StatisticsParametersExcludedValuesSet(p, ex, nullptr), 0);
    kgda_BaseDataDelete(ex, nullptr);
    ASSERT_EQ(kimg_StatisticsParametersSkipFactorsSet(p, 3, 4, nullptr), 0);
    ASSERT_EQ(kimg_StatisticsParametersAOINameSet(p, "area.aoi", nullptr), 0);
    for (int withBf = 0; withBf < 3; ++withBf) {
        // none, a stored old form (whole Linear), a windowed one (840 form)
        Kdsc_BinFunction *bf = withBf ? kdsc_BinFunctionCreateLinear(10, 0, 100, nullptr) : nullptr;
        if (withBf == 2) {
            ASSERT_EQ(kdsc_BinFunctionBinCountModify(bf, 2, 5, nullptr), 0);
        }
        ASSERT_EQ(kimg_StatisticsParametersBinFunctionSet(p, bf, nullptr), 0);
        const Kmif_Design *d = nullptr;
        void *o = nullptr;
        // Each allocation of the conversion failing alone ends in a report
        // (once the designs it builds on first use are there).
        if (withBf == 2) {
            EXPECT_GT(ktest::runWithEachAllocationFailing(
                          [&](Kerr_ErrorReport **err) {
                              o = kimg_StatisticsParametersConvertToMIFable(p, &d, err);
                              return o != nullptr;
                          },
                          [&] {
                              if (o) kmif_ObjectFree(&o, d, nullptr);
                          }),
                      3);
        }
        o = kimg_StatisticsParametersConvertToMIFable(p, &d, nullptr);
        ASSERT_NE(o, nullptr);
        EXPECT_STREQ(d->name, "Kimg_StatisticsParameters840");
        // Through encoded bytes, as a file would hold it.
        unsigned char *data = nullptr;
        char *dict = nullptr, *type = nullptr;
        ASSERT_GT(kmif_MIFableObjectConvertToMIF(o, d, &data, &dict, &type, nullptr), 0);
        kmif_ObjectFree(&o, d, nullptr);
        void *back = nullptr;
        Kmif_Design *bd = nullptr;
        ASSERT_GT(kmif_MIFableObjectConvertFromMIF(data, dict, type, &back, &bd, nullptr), 0);
        Kimg_StatisticsParameters *q =
            kimg_StatisticsParametersConvertFromMIFable(back, bd, nullptr);
        ASSERT_NE(q, nullptr);
        long n = 0;
        char **got = nullptr;
        ASSERT_EQ(kimg_StatisticsParametersLayerNamesGet(q, &n, &got, nullptr), 0);
        ASSERT_EQ(n, 2);
        EXPECT_STREQ(got[1], ":Layer_2");
        Kgda_BaseData *x = kimg_StatisticsParametersExcludedValuesGet(q, nullptr);
        ASSERT_EQ(x->numelements, 3);
        const auto *xv = reinterpret_cast<const double *>(x->data);
        EXPECT_EQ((ktest::Reals{xv[0], xv[1], xv[2]}), (ktest::Reals{-1, 0, 5}));
        for (long i = 0; i < n; ++i) kmsc_HeapFree(got[i]);
        kmsc_HeapFree(got), kgda_BaseDataDelete(x, nullptr);
        long sx = 0, sy = 0;
        ASSERT_EQ(kimg_StatisticsParametersSkipFactorsGet(q, &sx, &sy, nullptr), 0);
        EXPECT_EQ((ktest::Ints{sx, sy}), (ktest::Ints{3, 4}));
        EXPECT_STREQ(kimg_StatisticsParametersAOINameGet(q), "area.aoi");
        const Kdsc_BinFunction *qbf = kimg_StatisticsParametersBinFunctionGet(q);
        EXPECT_TRUE(bf ? kdsc_BinFunctionIsSame(qbf, bf) == 1 : qbf == nullptr);
        kimg_StatisticsParametersFree(q), kmif_ObjectFree(&back, bd, nullptr);
        kmif_DesignDestroy(bd, nullptr), kmsc_HeapFree(data), kmsc_HeapFree(dict);
        kmsc_HeapFree(type), kdsc_BinFunctionDelete(bf, nullptr);
    }
    kimg_StatisticsParametersFree(p);
}

TEST(StatsParameters, OlderFormIsRead) {
    ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
    const Kmif_Design *d = ksta_DesignGet("Kimg_StatisticsParameters830", nullptr);
    ASSERT_NE(d, nullptr);
    auto *r = static_cast<Kimg_StatisticsParameters830 *>(
        kmsc_HeapMalloc(size_t((d->hostSize + 7) & ~7)));
    r->LayerNames.count = 1;
    r->LayerNames.strings = static_cast<Kmif_String *>(kmsc_HeapMalloc(sizeof(Kmif_String)));
    kmif_KmifStringFromString(&r->LayerNames.strings[0], ":Band_1", nullptr);
    r->SkipFactorX = 2, r->SkipFactorY = 5;
    r->BinFunction =
        static_cast<Kdsc_BinFunctionRecord *>(kmsc_HeapMalloc(sizeof(Kdsc_BinFunctionRecord)));
    *r->BinFunction = {8, KDSC_BIN_FUNCTION_DIRECT, 3, 10, nullptr};
    Kimg_StatisticsParameters *q = kimg_StatisticsParametersConvertFromMIFable(r, d, nullptr);
    ASSERT_NE(q, nullptr);
    long sx = 0, sy = 0;
    kimg_StatisticsParametersSkipFactorsGet(q, &sx, &sy, nullptr);
    const Kdsc_BinFunction *bf = kimg_StatisticsParametersBinFunctionGet(q);
    EXPECT_EQ((ktest::Ints{sx, sy, kdsc_BinFunctionBinCount(bf), kdsc_BinFunctionApply(bf, 3)}),
              (ktest::Ints{2, 5, 8, 0}));
    void *o = r;
    kimg_StatisticsParametersFree(q), kmif_ObjectFree(&o, d, nullptr);
}

// ---- Failure returns --------------------------------------------------------

TEST(StatsEngine, FailureReturnsAreReported) {
    ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
    Rect r(2, 2, KGDA_TYPE_U8), bigMask(3, 2, KGDA_TYPE_U8), wideMask(2, 2, KGDA_TYPE_U16);
    Kgda_BaseData *matrix =
        kgda_BaseDataCreate(2, 2, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, nullptr);
    AllStats a, alive;
    ksta_AllStatsUVHistogramBegin(alive.a, KGDA_TYPE_U16, 0, nullptr);
    Kgda_BaseDataStack one{1, 1, &r.b, 0};
    Ksta_AllStats *pair[2] = {a.a, a.a};
    Kimg_StatisticsParameters *p = kimg_StatisticsParametersAllocate(nullptr);
    Kgda_BaseData *many =
        kgda_BaseDataCreate(1, 5000, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, nullptr);
    for (int i = 0; i < 5000; ++i) reinterpret_cast<double *>(many->data)[i] = i;
    const Kmif_Design *stat = ksta_DesignGet("Ksta_Statistics", nullptr);
    Ksta_Statistics st{};
    const char *const null = "Pointer to Ksta_AllStats structure is NULL",
                      *const mask = "Mask must be a one-byte raster of the rectangle's size";
    // Calls that must fail: an int return of -1, or a null pointer.
#define FAILS(call) [&](Kerr_ErrorReport **e) { return (call) == -1; }
#define NONE(call) [&](Kerr_ErrorReport **e) { return (call) == nullptr; }
    const struct {
        std::function<bool(Kerr_ErrorReport **)> call;
        const char *message;
    } cases[] = {
        {FAILS(ksta_AllStatsFinish(nullptr, e)), null},
        {FAILS(ksta_AllStatsFinish(alive.a, e)), "uvHistogram must be terminated"},
        {FAILS(ksta_AllStatsInit(nullptr, e)), null},
        {NONE(ksta_AllStatsCopy(nullptr, e)), null},
        {FAILS(ksta_AllStatsUVHistogramEnd(nullptr, e)), null},
        {FAILS(ksta_AllStatsUVHistogramBegin(a.a, 13, 0, e)), "Invalid pixel type 13"},
        {FAILS(ksta_AllStatsUVHistogramAccumulate(alive.a, r.b, nullptr, e)),
         "Pixel type 3 does not match the exact-value histogram"},
        {FAILS(ksta_AllStatsUVHistogramAccumulate(a.a, matrix, nullptr, e)),
         "Pixel rectangle must be a numeric raster"},
        {FAILS(ksta_AllStatsUVHistogramAccumulate(a.a, r.b, bigMask.b, e)), mask},
        {FAILS(ksta_AllStatsUVHistogramAccumulate(a.a, r.b, wideMask.b, e)), mask},
        {FAILS(ksta_AllStatsAccumulate(nullptr, 1, &one, nullptr, e)), "NULL argument"},
        {FAILS(ksta_AllStatsAccumulate(pair, 1, nullptr, nullptr, e)), "NULL argument"},
        {FAILS(ksta_AllStatsAccumulate(pair, 2, &one, nullptr, e)),
         "Number of layers in Ksta_AllStatsStack structure (2) is different than number of "
         "layers in layer stack (1)"},
        {NONE(ksta_AllStatsStackCreate(0, nullptr, 0, 0, e)), "Invalid layer count 0"},
        {FAILS(ksta_AllStatsStackInit(nullptr, e)), "NULL stack"},
        {NONE(ksta_AllStatsStackCopy(nullptr, e)), "NULL stack"},
        {FAILS(ksta_AllStatsStackFinish(nullptr, e)), "NULL stack"},
        {FAILS(ksta_AllStatsStackAccumulate(nullptr, &one, nullptr, e)), "NULL argument"},
        {NONE(ksta_HistogramCreate(nullptr, e)), "NULL bin function"},
        {NONE(ksta_HistogramCopy(nullptr, e)), "NULL or inconsistent histogram"},
        {NONE(ksta_StatisticsCopy(nullptr, e)), "NULL statistics"},
        {NONE(ksta_DesignGet("Nope", e)), "No design named Nope"},
        {FAILS(kimg_StatisticsParametersExcludedValuesSet(p, many, e)),
         "More than 4096 unique excluded values not currently supported"},
        {FAILS(kimg_StatisticsParametersSkipFactorsSet(p, 0, 1, e)), "Invalid x skip factor"},
        {FAILS(kimg_StatisticsParametersSkipFactorsSet(p, 1, -2, e)), "Invalid y skip factor"},
        {FAILS(kimg_StatisticsParametersLayerNamesSet(p, 1, nullptr, e)), "NULL argument"},
        {NONE(kimg_StatisticsParametersConvertFromMIFable(&st, stat, e)),
         "Unrecognized statistics parameters type 'Ksta_Statistics'"},
        {NONE(kimg_StatisticsParametersConvertToMIFable(p, nullptr, e)), "NULL argument"},
        {NONE(ksta_StatisticsRead(nullptr, ":x", e)), "NULL argument"},
        {FAILS(ksta_StatisticsWrite(nullptr, ":x", &st, e)), "NULL argument"},
        {FAILS(ksta_CovarianceWrite(reinterpret_cast<Kimg_File *>(&st), ":x", matrix, e)),
         "Ill-formed covariance matrix"},
        {FAILS(ksta_StatisticsWriteSkipFactors(reinterpret_cast<Kimg_File *>(&st), ":x", 0, 1, e)),
         "Invalid x skip factor"},
        {FAILS(ksta_StatisticsWriteSkipFactors(nullptr, ":x", 1, 1, e)), "NULL argument"},
    };
#undef FAILS
#undef NONE
    // The matrix is ill-formed for covariance (not symmetric).
    reinterpret_cast<double *>(matrix->data)[1] = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        ktest::Err err;
        EXPECT_TRUE(c.call(&err));
        ASSERT_TRUE(err);
        EXPECT_SAYS(err, c.message);
    }
    kimg_StatisticsParametersFree(p), kgda_BaseDataDelete(many, nullptr);
    kgda_BaseDataDelete(matrix, nullptr);
}

}  // namespace
