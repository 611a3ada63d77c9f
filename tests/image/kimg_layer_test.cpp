// Layers through the test plug-ins of tests/plugins/lp_test.cpp: creation and
// opening checks, options, rectangles in every pixel type against a plain
// model, conversion, transactions, read-only files, null values, faults.
#include <gtest/gtest.h>
#include <kraster/kimg.h>
#include <kraster/kirf.h>
#include <kraster/kraster.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

#include "support/plugin_test.hpp"
#include "support/ktest_checks.hpp"
#include "support/tool_run.hpp"

namespace {

std::vector<std::string> listOf(long count, char **names) {
    std::vector<std::string> out(names, names + count);
    for (long i = 0; i < count; ++i) kmsc_HeapFree(names[i]);
    kmsc_HeapFree(names);
    return out;
}

class Layer : public ktest::PluginTest {
  protected:
    ktest::ScopedEnv tmp{"ORVEL_TMPDIR", dir.path().c_str()};

    void SetUp() override {
        install({KRASTER_LP_TEST_DIR "/liblptest.so", KRASTER_LP_TEST_DIR "/liblpnarrow.so",
                 KRASTER_LP_TEST_DIR "/liblpnocreate.so"});
    }

    std::string name(const std::string &file, const char *node = "Band_1") {
        return dir.file(file) + "(:" + node + ")";
    }
    Kimg_Layer *create(const std::string &n, int32_t type, long w, long h, long cache = -1) {
        Kimg_Layer *l = kimg_LayerCreate(n.c_str(), KIMG_LAYER_ATHEMATIC, type, w, h, tk, &err,
                                         KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX, cache, 0);
        EXPECT_NE(l, nullptr) << ktest::messages(err.r);
        return l;
    }
    // The names a listing call gives after its arguments `a` (0 for success).
    template <class F, class... A>
    std::vector<std::string> list(F f, A... a) {
        long count = 0;
        char **names = nullptr;
        EXPECT_EQ(f(a..., &count, &names, &err), 0) << ktest::messages(err.r);
        return listOf(count, names);
    }
    // The layer names of a file (a full path).
    std::vector<std::string> layers(const std::string &file) {
        return list(kimg_LayerGetNames, file.c_str());
    }
    Kimg_LayerInfo info(Kimg_Layer *l) {
        Kimg_LayerInfo i{};
        EXPECT_EQ(kimg_LayerInfoGet(l, &i, nullptr), 0);
        return i;
    }
    template <class... Options>
    Kimg_Layer *open(const std::string &n, Options... options) {
        Kimg_Layer *l = kimg_LayerOpen(n.c_str(), tk, &err, options..., 0);
        EXPECT_NE(l, nullptr) << n << ": " << ktest::messages(err.r);
        return l;
    }
    // The whole layer read into a rectangle of `type`.
    struct Rect whole(Kimg_Layer *l, int32_t type);
    // Writes pixel f(x, y) over the whole layer; returns what was written.
    template <class F>
    struct Rect write(Kimg_Layer *l, int32_t type, F f);
};

struct Rect {
    Kgda_BaseData *b;
    Rect(long w, long h, int32_t t) : b(kimg_PixelRectCreate(w, h, t, nullptr)) {}
    Rect(Rect &&o) noexcept : b(o.b) { o.b = nullptr; }
    Rect &operator=(Rect &&o) noexcept { return std::swap(b, o.b), *this; }
    ~Rect() { kimg_PixelRectDelete(b, nullptr); }
    template <class T>
    T &at(long r, long c) {
        return *reinterpret_cast<T *>(b->windowStart + r * b->pitch + c * b->numbytes);
    }
    // Pixel (r, c) set from a double, or read as one (kpxm_ConvertPixels
    // does nothing without a report pointer).
    void set(long r, long c, double v) {
        ktest::Err e;
        kpxm_ConvertPixels(b->windowStart + r * b->pitch + c * b->numbytes, b->datatype, &v,
                           KGDA_TYPE_F64, 1, &e);
    }
    double get(long r, long c) const {
        double v = 0;
        ktest::Err e;
        kpxm_ConvertPixels(&v, KGDA_TYPE_F64, b->windowStart + r * b->pitch + c * b->numbytes,
                           b->datatype, 1, &e);
        return v;
    }
};

Rect Layer::whole(Kimg_Layer *l, int32_t type) {
    Rect r(info(l).width, info(l).height, type);
    EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, r.b->numcolumns, r.b->numrows, r.b, &err), 0)
        << ktest::messages(err.r);
    return r;
}

template <class F>
Rect Layer::write(Kimg_Layer *l, int32_t type, F f) {
    Rect r(info(l).width, info(l).height, type);
    for (long y = 0; y < r.b->numrows; ++y)
        for (long x = 0; x < r.b->numcolumns; ++x) r.set(y, x, f(x, y));
    EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, r.b->numcolumns, r.b->numrows, r.b, &err), 0)
        << ktest::messages(err.r);
    return r;
}

// Pixel (r, c) of an f64 rectangle.
double &f64(const Kgda_BaseData *b, long r, long c) {
    return reinterpret_cast<double *>(b->windowStart + r * b->pitch)[c];
}

// Pixel values derived from (seed, position), kept below 97.
auto pattern(int seed) {
    return [seed](long x, long y) { return double((seed * 31 + y * 7 + x * 3) % 97); };
}

TEST_F(Layer, CreateChecksComeInOrderAndFailuresLeaveNoFile) {
    const struct {
        bool toolkit;
        int32_t layerType, pixelType;
        long w, h;
        const char *file, *message;
    } cases[] = {
        {false, 9, 99, 0, 0, "a.klp", "Uninitialized toolkit"},
        {true, 3, 99, 0, 0, "a.klp", "Invalid layer type"},
        {true, 0, 13, 0, 0, "a.klp", "Invalid pixel type"},
        {true, 0, 3, 0, 0, "a.klp", "Invalid image width 0"},
        {true, 0, 3, 5, -1, "a.klp", "Invalid image height -1"},
        {true, 0, 3, 70000, 70000, "a.klp", "Image layer dimensions"},
        {true, KIMG_LAYER_THEMATIC, KGDA_TYPE_S16, 5, 5, "a.klp",
         "Pixel type s16 is not supported by layer type thematic"},
        {true, KIMG_LAYER_FFT, KGDA_TYPE_F32, 5, 5, "a.klp",
         "Pixel type f32 is not supported by layer type fft"},
        {true, 1, 3, 5, 5, "a.klx", "File format does not support layer creation"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        Kimg_Layer *l = kimg_LayerCreate(name(c.file).c_str(), c.layerType, c.pixelType, c.w, c.h,
                                         c.toolkit ? tk : nullptr, &err, 0);
        EXPECT_EQ(l, nullptr);
        EXPECT_SAYS(err, c.message);
        EXPECT_NE(access(dir.file(c.file).c_str(), F_OK), 0);
    }
}

TEST_F(Layer, OptionsMisplacedObsoleteUnknownAndInvalid) {
    ktest::PrintedReports printed;
    Kimg_Layer *l = kimg_LayerCreate(
        name("o.klp").c_str(), 1, KGDA_TYPE_U8, 20, 20, tk, &err, KIMG_LAYER_OPTION_READONLY,
        KIMG_LAYER_OPTION_NO_DMS, KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT, 1L,
        KIMG_LAYER_OPTION_BLOCK_SIZE, -3L, 16L, 777, KIMG_LAYER_OPTION_UNDO_LEVELS, 3L, 0);
    ASSERT_NE(l, nullptr);
    std::vector<std::string> want = {
        "KIMG_LAYER_OPTION_READONLY is currently\nonly a valid option for existing layers:  "
        "ignored",
        "KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT is currently\nonly a valid option for layer "
        "opening:  ignored",
        "Non-positive block width -3:  ignored", "Invalid option specified (777): ignored",
        "KIMG_LAYER_OPTION_NO_DMS is obsolete:  ignored"};
    std::vector<std::string> lines = printed.headlines();
    // The first use of the plug-in table may announce its rebuilding.
    lines.erase(std::remove(lines.begin(), lines.end(), "Building new list of RasterFormats DLLs."),
                lines.end());
    EXPECT_EQ(lines, want);
    EXPECT_EQ(info(l).undoLevels, 0);  // the list ended at 777
    EXPECT_EQ(info(l).readOnly, 0);
    // Blocks of the layer's size up to 64 unless given; the plug-in may choose others.
    EXPECT_EQ((ktest::Ints{info(l).blockWidth, info(l).blockHeight}), (ktest::Ints{20, 16}));
    kimg_LayerClose(kimg_LayerCreate(name("o.klp", "big").c_str(), 1, KGDA_TYPE_U8, 2000, 2000, tk,
                                     &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 1000L, 100L, 0),
                    nullptr);
    EXPECT_TRUE(printed.contains("block width, block height modified from 1000, 100 to 512, 100"));
    printed.clear();
    Kgda_BaseData *ex =
        kgda_BaseDataCreate(1, 5, KGDA_TYPE_S16, KGDA_TABLE_OBJECT, nullptr, nullptr);
    const int16_t values[] = {7, -2, 7, 0, -2};
    std::memcpy(ex->data, values, sizeof values);
    EXPECT_EQ(
        kimg_LayerChangeOptions(
            l, &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 8L, 8L, KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME,
            "None", KIMG_LAYER_OPTION_EXCLUDED_VALUES, ex, KIMG_LAYER_OPTION_EXCLUDE_ZERO,
            KIMG_LAYER_OPTION_SKIP_FACTORS, 0L, 4L, KIMG_LAYER_OPTION_GEOMETRIC_TRANS, nullptr,
            KIMG_LAYER_OPTION_RESERVED_29, 0),
        0);
    kgda_BaseDataDelete(ex, nullptr);
    want = {
        "KIMG_LAYER_OPTION_BLOCK_SIZE is not currently\na valid option for existing layers:  "
        "ignored",
        "KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME is notcurrently\na valid option for existing "
        "layers:  ignored",
        "Invalid x skip factor; skip factors ignored",
        "Option 29 no longer supported through kimg_LayerOptionsChangeInternal"};
    EXPECT_EQ(printed.headlines(), want);
    Kgda_BaseData *got = kimg_LayerExcludedValuesGet(l, nullptr);
    ASSERT_EQ(got->numelements, 3);
    auto *d = reinterpret_cast<double *>(got->data);
    EXPECT_EQ(std::vector<double>(d, d + 3), (std::vector<double>{-2, 0, 7}));
    kgda_BaseDataDelete(got, nullptr);
    long sx = 0, sy = 0;
    kimg_LayerSkipFactorsGet(l, &sx, &sy, nullptr);
    EXPECT_EQ(sx * 10 + sy, 11);
    // Too many distinct excluded values, and windows outside the layer.
    Kgda_BaseData *many =
        kgda_BaseDataCreate(1, 4097, KGDA_TYPE_S32, KGDA_TABLE_OBJECT, nullptr, nullptr);
    for (int i = 0; i < 4097; ++i) reinterpret_cast<int32_t *>(many->data)[i] = i;
    EXPECT_REFUSAL(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_EXCLUDED_VALUES, many, 0), -1,
                   "More than 4096 unique excluded values not currently supported");
    kgda_BaseDataDelete(many, nullptr);
    Kgda_Window *w = kimg_WindowCreate(5, 5, 20, 6, nullptr);
    EXPECT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_WINDOW, w, 0), -1);
    kimg_WindowDelete(w, nullptr);
    EXPECT_REFUSAL(kimg_LayerChangeOptions(nullptr, &err, 0), -1, "Null layer");
    // The layer keeps a descriptor table and a bin function of the options.
    Kdsc_BinFunction *bf = kdsc_BinFunctionCreateLinear(16, 0, 255, nullptr);
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_CREATE, nullptr,
                                      16L, bf, KIMG_LAYER_OPTION_BIN_FUNCTION, bf, 0),
              0)
        << ktest::messages(err.r);
    kdsc_BinFunctionDelete(bf, nullptr);
    int32_t rows = 0;
    EXPECT_EQ(kdsc_TableRowCountGet(kimg_LayerDescriptorTableQuery(l), &rows, nullptr), 0);
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(kdsc_BinFunctionBinCount(kimg_LayerBinFunctionQuery(l)), 16);
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN, nullptr,
                                      KIMG_LAYER_OPTION_BIN_FUNCTION, nullptr, 0),
              0);
    rows = 0;
    EXPECT_EQ(kdsc_TableRowCountGet(kimg_LayerDescriptorTableQuery(l), &rows, nullptr), 0);
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(kimg_LayerBinFunctionQuery(l), nullptr);
    EXPECT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN, "None", 0),
              -1);
    EXPECT_SAYS(err, "kimg_TableOpen failed");
    EXPECT_EQ(kimg_LayerDescriptorTableQuery(l), nullptr);
    kimg_LayerClose(l, nullptr);
    // A format replaces what its lists lack, with warnings.
    l = kimg_LayerCreate(name("n.kln").c_str(), KIMG_LAYER_THEMATIC, KGDA_TYPE_U4, 8, 8, tk, &err,
                         KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME, "Run-Length Encoding (ESRI)", 0);
    ASSERT_NE(l, nullptr) << ktest::messages(err.r);
    for (const char *m : {"u4:  Invalid pixel type for Narrow Layers format; using u8",
                          "thematic:  Invalid layer type for Narrow Layers format; using athematic",
                          "Run-Length Encoding (ESRI):  Invalid compression type for Narrow Layers "
                          "format; using None"})
        EXPECT_TRUE(printed.contains(m)) << m;
    EXPECT_EQ(info(l).pixelType, KGDA_TYPE_U8);
    EXPECT_EQ(info(l).layerType, KIMG_LAYER_ATHEMATIC);
    EXPECT_STREQ(kimg_LayerCompressionTypeQuery(l), "None");
    EXPECT_REFUSAL(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RAW_MODE, 1L, 0), -1,
                   "File does not support raw mode");
    EXPECT_REFUSAL(kimg_LayerRRDCompute(l, &err), -1,
                   "No method found for modifying subsampled layers of " + name("n.kln"));
    kimg_LayerClose(l, nullptr);
}

TEST_F(Layer, OpenRefusesMissingLayersAndLyingPlugins) {
    Kimg_Layer *l = create(name("p.klp"), KGDA_TYPE_U8, 16, 16);
    kimg_LayerClose(l, nullptr);
    EXPECT_EQ(kimg_LayerOpen(name("p.klp", "Nope").c_str(), tk, &err, 0), nullptr);
    EXPECT_SAYS(err, "Layer " + name("p.klp", "Nope") + " does not exist");
    EXPECT_EQ(kimg_LayerOpen(name("p.klp", "Nope").c_str(), tk, &err,
                             KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT, 0L, 0),
              nullptr);
    EXPECT_FALSE(err);
    EXPECT_REFUSAL(kimg_LayerOpen(name("p.klp").c_str(), nullptr, &err, 0), nullptr,
                   "Uninitialized toolkit");
    const struct {
        const char *lie, *message;
    } cases[] = {
        {"width0", "Image width is zero"},
        {"height0", "Image height is zero"},
        {"pixel", "13 returned from DLL for PixelType is out of range"},
        {"comp", "7 returned from DLL for CompressionType is out of range"},
        {"ltype", "-1 returned from DLL for LayerType is out of range"},
    };
    for (const auto &c : cases) {
        ktest::ScopedEnv lie("KTEST_LP_LIE", c.lie);
        EXPECT_REFUSAL(kimg_LayerOpen(name("p.klp").c_str(), tk, &err, 0), nullptr, c.message);
    }
    ktest::ScopedEnv lie("KTEST_LP_LIE", "fftu8");
    ktest::PrintedReports printed;
    ASSERT_NE(l = open(name("p.klp")), nullptr);
    EXPECT_EQ(printed.headlines(),
              std::vector<std::string>{"Pixel type 'u8' is not supported by layer type 'fft';\n"
                                       "treating layer " +
                                       name("p.klp") + " as athematic"});
    EXPECT_EQ(info(l).layerType, KIMG_LAYER_ATHEMATIC);
    kimg_LayerClose(l, nullptr);
}

TEST_F(Layer, ReadsConvertWithSaturationAndRawModeNeedsTheLayersType) {
    Kimg_Layer *l = create(name("c.klp"), KGDA_TYPE_S16, 4, 1);
    Rect in(4, 1, KGDA_TYPE_S16);
    const int16_t v[] = {-5, 300, 200, 32767};
    std::memcpy(in.b->windowStart, v, sizeof v);
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 4, 1, in.b, &err), 0);
    Rect out(4, 1, KGDA_TYPE_U8);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 4, 1, out.b, &err), 0);
    EXPECT_EQ(std::vector<int>(out.b->windowStart, out.b->windowStart + 4),
              (std::vector<int>{0, 255, 200, 255}));
    Rect f(2, 1, KGDA_TYPE_F32);
    f.at<float>(0, 0) = 2.5f;
    f.at<float>(0, 1) = -40000.0f;
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 1, 0, 2, 1, f.b, &err), 0);
    Rect back(4, 1, KGDA_TYPE_S16);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 9, 9, back.b, &err), 0);
    EXPECT_EQ(back.at<int16_t>(0, 1), 3);
    EXPECT_EQ(back.at<int16_t>(0, 2), -32768);
    const int32_t kind = back.b->objecttype;
    back.b->objecttype = KGDA_MATRIX_OBJECT;
    EXPECT_REFUSAL(kimg_LayerRasterPixelRectSet(l, 0, 0, 4, 1, back.b, &err), -1,
                   "PixelRect must not be a matrix");
    back.b->objecttype = kind;
    // Raw mode: only the layer's type, and no writes.
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RAW_MODE, 1L, 0), 0);
    EXPECT_REFUSAL(kimg_LayerRasterPixelRectGet(l, 0, 0, 4, 1, out.b, &err), -1,
                   "PixelRect datatype must match layer pixelType for raw mode read");
    EXPECT_REFUSAL(kimg_LayerRasterPixelRectSet(l, 0, 0, 4, 1, in.b, &err), -1,
                   "Raw mode not supported yet");
    EXPECT_REFUSAL(kimg_LayerRead(l, 0, 0, 4, 1, out.b, &err), -1,
                   "kimg_LayerRead cannot be used in raw mode");
    Rect raw(4, 1, KGDA_TYPE_S16);
    ASSERT_EQ(kimg_LayerRasterFlush(l, &err), 0);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 4, 1, raw.b, &err), 0);
    EXPECT_EQ(raw.at<int16_t>(0, 3), 32767);
    // Zero counts return at once; a missing rectangle is refused.
    EXPECT_REFUSAL(kimg_LayerRasterPixelRectGet(l, 0, 0, 0, 1, nullptr, &err), -1,
                   "Null pixelRect");
    EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 0, 1, raw.b, &err), 0);
    kimg_LayerClose(l, nullptr);
}

TEST_F(Layer, ReadsConvolveThenRescaleAndWritesClipInsideTheWindow) {
    const long W = 12, H = 10;
    Kimg_Layer *l = create(name("cv.klp"), KGDA_TYPE_F32, W, H);
    Rect src = write(l, KGDA_TYPE_F32, [](long x, long y) { return x + 10 * y; });
    EXPECT_REFUSAL(kimg_ConvolveInfoCreate(2, 3, nullptr, &err), nullptr,
                   "Invalid convolution kernel 2 x 3");
    const double ones[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    Kimg_ConvolveInfo *box = kimg_ConvolveInfoCreate(3, 3, ones, &err);
    Kimg_RescaleInfo *half = kimg_RescaleInfoCreate(KIMG_RESCALE_LINEAR, 0.5, 1, &err);
    Kgda_Window *win = kimg_WindowCreate(2, 1, 9, 8, nullptr);
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_WINDOW, win,
                                      KIMG_LAYER_OPTION_CONVOLUTION, box, KIMG_LAYER_OPTION_RESCALE,
                                      half, 0),
              0);
    kimg_WindowDelete(win, nullptr), kimg_ConvolveInfoDelete(box);
    Rect got(4, 4, KGDA_TYPE_F64);
    for (long i = 0; i < 16; ++i) got.at<double>(i / 4, i % 4) = -1;
    ASSERT_EQ(kimg_LayerRead(l, -1, 6, 4, 4, got.b, &err), 0) << ktest::messages(err.r);
    for (long y = 0; y < 4; ++y)
        for (long x = 0; x < 4; ++x) {
            const long wx = x - 1, wy = y + 6;  // window position; the window is 8 x 8
            double want = -1;
            if (wx >= 0 && wy < 8) {
                double sum = 0, n = 0;
                for (long dy = -1; dy <= 1; ++dy)
                    for (long dx = -1; dx <= 1; ++dx)
                        if (wx + dx >= 0 && wx + dx < 8 && wy + dy >= 0 && wy + dy < 8)
                            sum += src.at<float>(wy + dy + 1, wx + dx + 2), ++n;
                want = sum * 9 / n * 0.5 + 1;
            }
            EXPECT_NEAR(got.at<double>(y, x), want, 1e-9) << x << "," << y;
        }
    // Complex rectangles and unknown rescale types are refused; a range
    // rescale saturates at 0 and 255.
    Rect cx(2, 2, KGDA_TYPE_C64);
    EXPECT_REFUSAL(kimg_LayerRead(l, 0, 0, 2, 2, cx.b, &err), -1,
                   "Convolution not supported on 11 pixel types");
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_CONVOLUTION, nullptr, 0), 0);
    EXPECT_REFUSAL(kimg_LayerRead(l, 0, 0, 2, 2, cx.b, &err), -1,
                   "Pixel type 11 not supported on rescale");
    half->type = 7;
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RESCALE, half, 0), 0);
    EXPECT_REFUSAL(kimg_LayerRead(l, 0, 0, 2, 2, got.b, &err), -1, "Rescale type 7 not supported");
    *half = {KIMG_RESCALE_RANGE, 20, 60};
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RESCALE, half, 0), 0);
    kimg_RescaleInfoDelete(half);
    Rect u(8, 1, KGDA_TYPE_U8);
    ASSERT_EQ(kimg_LayerRead(l, 0, 2, 8, 1, u.b, &err), 0);  // layer row 3: 32 ... 39
    EXPECT_EQ(u.at<uint8_t>(0, 0), 77);                      // (32 - 20) x 255 / 40 = 76.5
    ASSERT_EQ(kimg_LayerRead(l, 0, 6, 1, 1, u.b, &err), 0);  // 72: above the range
    EXPECT_EQ(u.at<uint8_t>(0, 0), 255);
    // Writes through the window are clipped to it.
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RESCALE, nullptr, 0), 0);
    Rect r(8, 8, KGDA_TYPE_F32);
    for (long i = 0; i < 64; ++i) r.set(i / 8, i % 8, pattern(3)(i % 8, i / 8));
    ASSERT_EQ(kimg_LayerWrite(l, -1, 2, 8, 8, r.b, &err), 0);
    EXPECT_REFUSAL(kimg_LayerWrite(l, 0, 0, 0, 3, r.b, &err), -1, "Args w,h = (0,3)");
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_NO_WINDOW, 0), 0);
    Rect all = whole(l, KGDA_TYPE_F32);
    for (long y = 0; y < H; ++y)
        for (long x = 0; x < W; ++x) {
            const bool in = x >= 2 && x <= 8 && y >= 3 && y <= 8;  // window (2, 1) to (9, 8)
            ASSERT_EQ(all.get(y, x), in ? r.get(y - 3, x - 1) : x + 10 * y) << x << "," << y;
        }
    kimg_LayerClose(l, nullptr);
}

TEST_F(Layer, UndoRestoresPixelsAndTheModifiedFlag) {
    Kimg_Layer *l = create(name("u.klp"), KGDA_TYPE_U8, 100, 100, 2);
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_UNDO_LEVELS, 2L, 0), 0);
    EXPECT_EQ(info(l).undoLevels, 2);
    ASSERT_EQ(kimg_LayerRasterTransactionStart(l, &err), 0);
    write(l, KGDA_TYPE_U8, [](long, long) { return 9; });
    ASSERT_EQ(kimg_LayerRasterTransactionEnd(l, &err), 0);
    EXPECT_EQ(kimg_LayerRasterModifiedQuery(l), 1);
    ASSERT_EQ(kimg_LayerRasterTransactionUndo(l, 1, &err), 0);
    EXPECT_EQ(kimg_LayerRasterModifiedQuery(l), 0);
    EXPECT_EQ(whole(l, KGDA_TYPE_U8).b->data[5050], 0);
    EXPECT_EQ(kimg_LayerRasterTransactionUndo(l, 1, &err), 0 + 0L) << "nothing left to undo";
    EXPECT_SAYS(err, "Cannot undo 1");
    ASSERT_EQ(kimg_LayerRasterTransactionUndo(l, -1, &err), 0);  // redo
    EXPECT_EQ(kimg_LayerRasterModifiedQuery(l), 1);
    EXPECT_EQ(whole(l, KGDA_TYPE_U8).b->data[9999], 9);
    ASSERT_EQ(kimg_LayerRasterTransactionCommitAll(l, &err), 0);
    EXPECT_EQ(kimg_LayerRasterModifiedQuery(l), 1);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    // The committed pixels are in the file; the stash file is gone.
    ASSERT_NE(l = open(name("u.klp")), nullptr);
    EXPECT_EQ(whole(l, KGDA_TYPE_U8).b->data[0], 9);
    kimg_LayerClose(l, nullptr);
    EXPECT_NE(system(("ls " + dir.path() + " | grep -c STASH > /dev/null").c_str()), 0);
}

TEST_F(Layer, NullValuesOfTheHandleAndTheFormatAndReadOnlyLayers) {
    Kimg_Layer *l = create(name("z.klp"), KGDA_TYPE_S16, 4, 4);
    Kgda_BaseData *v = kimg_LayerRasterNullValueGet(l, &err);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->datatype, KGDA_TYPE_S16);
    EXPECT_EQ(*reinterpret_cast<int16_t *>(v->data), 0);
    EXPECT_EQ(kimg_LayerRasterNullValueRead(l, &err), nullptr);  // none stored yet
    EXPECT_FALSE(err);
    *reinterpret_cast<int16_t *>(v->data) = -99;
    ASSERT_EQ(kimg_LayerRasterNullValueWrite(l, v, &err), 0);
    Kgda_BaseData *wrong =
        kgda_BaseDataCreate(1, 1, KGDA_TYPE_U8, KGDA_RASTER_OBJECT, nullptr, nullptr);
    EXPECT_REFUSAL(kimg_LayerRasterNullValueSet(l, wrong, &err), -1, "Datatype mismatch");
    kimg_LayerClose(l, nullptr);
    l = kimg_LayerOpen(name("z.klp").c_str(), tk, &err, 0);
    double d = 0;
    ASSERT_EQ(kimg_LayerRasterNullValueGetS(l, &d, &err), 0);
    EXPECT_EQ(d, -99);
    // The option converts from any type; the handle's value changes only.
    *reinterpret_cast<uint8_t *>(wrong->data) = 200;
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_NULL_VALUE, wrong, 0), 0);
    ASSERT_EQ(kimg_LayerRasterNullValueGetS(l, &d, &err), 0);
    EXPECT_EQ(d, 200);
    Kgda_BaseData *stored = kimg_LayerRasterNullValueRead(l, &err);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(*reinterpret_cast<int16_t *>(stored->data), -99);
    kgda_BaseDataDelete(stored, nullptr), kgda_BaseDataDelete(wrong, nullptr);
    kimg_LayerClose(l, nullptr);
    // Read-only when asked, and when the file cannot be opened for update:
    // writes of pixels, commits and null values are refused.
    ASSERT_NE(l = open(name("z.klp"), KIMG_LAYER_OPTION_READONLY), nullptr);
    EXPECT_EQ(kimg_LayerReadOnlyQuery(l), 1);
    kimg_LayerClose(l, nullptr);
    kimg_FileNameDequeue(dir.file("z.klp").c_str(), nullptr);
    ktest::ScopedEnv deny("KTEST_LP_DENY_UPDATE", "1");
    ASSERT_NE(l = open(name("z.klp")), nullptr);
    EXPECT_EQ(kimg_LayerReadOnlyQuery(l), 1);
    Rect r(4, 4, KGDA_TYPE_S16);
    std::string msg = "File " + dir.file("z.klp") + " is read-only";
    EXPECT_REFUSAL(kimg_LayerRasterPixelRectSet(l, 0, 0, 4, 4, r.b, &err), -1, msg);
    EXPECT_REFUSAL(kimg_LayerRasterTransactionCommitAll(l, &err), -1, msg);
    EXPECT_REFUSAL(kimg_LayerRasterNullValueWrite(l, v, &err), -1, msg);
    kgda_BaseDataDelete(v, nullptr), kimg_LayerClose(l, nullptr);
    EXPECT_EQ(kimg_LayerReadOnlyQuery(nullptr), 1);
    EXPECT_EQ(kimg_LayerCachedBlocksMaxQuery(nullptr), -1);
}

TEST_F(Layer, PluginFailuresReachTheCaller) {
    Kimg_Layer *l = create(name("f.klp"), KGDA_TYPE_U8, 64, 64, 0);
    Rect r(64, 64, KGDA_TYPE_U8);
    {
        ktest::ScopedEnv fail("KTEST_LP_FAIL_WRITE", "1");
        EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 64, 64, r.b, &err), -1);
        EXPECT_SAYS(err, "writeFunc failed");
    }
    {
        ktest::ScopedEnv fail("KTEST_LP_FAIL_READ", "1");
        // Whole blocks come straight from the plug-in, parts through the cache.
        EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, 64, 64, r.b, &err), -1);
        EXPECT_SAYS(err, "LayerRasterRead failed");
        EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 1, 1, 9, 9, r.b, &err), -1);
        EXPECT_SAYS(err, "readFunc failed");
    }
    // Pyramid strips go to the plug-in in runs of blocks.
    {
        ktest::ScopedEnv fail("KTEST_LP_FAIL_WRITE", "1");
        EXPECT_EQ(kimg_LayerRRDCompute(l, &err), -1);
        EXPECT_SAYS(err,
                    "Computing pyramid level :Band_1_ss_2_ failed | LayerRasterWriteRun failed");
    }
    kimg_LayerClose(l, nullptr);
}

// Random rectangle reads and writes against an in-memory model with random
// cache sizes and flushes, in every pixel type (rounds 0 to 12, then u16),
// reopened read-only and compared at the end. Odd rounds use the native
// format, whose part reads bypass the cache for the blocks it does not hold;
// the last rounds write every block through to the plug-in at once. Reads
// come in the layer's type or converted to f64.
TEST_F(Layer, RandomReadsAndWritesMatchAModel) {
    std::mt19937 rng(4242);
    for (int32_t round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        const int32_t type = round <= KGDA_TYPE_C128 ? round : KGDA_TYPE_U16;
        const bool integer = type < KGDA_TYPE_F32;
        const double lo = integer ? kmsc_AddressOf_kgda_IntegerMinValue()[type] : -1000;
        const double span =
            integer ? std::min(kmsc_AddressOf_kgda_IntegerMaxValue()[type] - lo + 1, 65536.0)
                    : 3000;
        const long W = 40 + rng() % 90, H = 30 + rng() % 80;
        std::string n = name(round % 2 ? "m.img" : "m.klp", ("L" + std::to_string(round)).c_str());
        Kimg_Layer *l = kimg_LayerCreate(
            n.c_str(), 1, type, W, H, tk, &err, KIMG_LAYER_OPTION_BLOCK_SIZE, round % 2 ? 16L : 8L,
            round % 2 ? 8L : 16L, KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX, static_cast<long>(rng() % 6),
            KIMG_LAYER_OPTION_WRITE_THROUGH, static_cast<long>(round >= 14), 0);
        ASSERT_NE(l, nullptr) << ktest::messages(err.r);
        std::vector<double> model(W * H, 0);
        auto inside = [&](long y, long x) { return y >= 0 && y < H && x >= 0 && x < W; };
        for (int op = 0; op < 80; ++op) {
            long x = static_cast<long>(rng() % W) - 5, y = static_cast<long>(rng() % H) - 5;
            long w = 1 + rng() % 40, h = 1 + rng() % 30;
            Rect r(w, h, type);
            switch (rng() % 5) {
                case 0:
                case 1:
                    for (long i = 0; i < h; ++i)
                        for (long j = 0; j < w; ++j) r.set(i, j, lo + double(rng() % long(span)));
                    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, x, y, w, h, r.b, &err), 0);
                    for (long i = 0; i < h; ++i)
                        for (long j = 0; j < w; ++j)
                            if (inside(y + i, x + j)) model[(y + i) * W + x + j] = r.get(i, j);
                    break;
                case 2:
                    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX,
                                                      static_cast<long>(rng() % 8), 0),
                              0);
                    ASSERT_EQ(kimg_LayerRasterFlush(l, &err), 0);
                    break;
                default: {
                    Rect d(w, h, KGDA_TYPE_F64);
                    Rect &into = op % 2 ? d : r;
                    ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, x, y, w, h, into.b, &err), 0);
                    for (long i = 0; i < h; ++i)
                        for (long j = 0; j < w; ++j)
                            if (inside(y + i, x + j)) {
                                ASSERT_EQ(into.get(i, j), model[(y + i) * W + x + j])
                                    << "op " << op << " at " << i << "," << j;
                            }
                }
            }
        }
        ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
        l = open(n, KIMG_LAYER_OPTION_READONLY);
        ASSERT_NE(l, nullptr);
        // The whole layer, overhanging by 2 on every side: outside stays untouched.
        Rect all(W + 4, H + 4, type);
        ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, -2, -2, W + 4, H + 4, all.b, &err), 0);
        for (long i = 0; i < (W + 4) * (H + 4); ++i) {
            const long y = i / (W + 4) - 2, x = i % (W + 4) - 2;
            ASSERT_EQ(all.get(y + 2, x + 2), inside(y, x) ? model[y * W + x] : 0) << x << "," << y;
        }
        kimg_LayerClose(l, nullptr);
    }
}

TEST_F(Layer, CopyRemoveRenameAndTypeChange) {
    Kimg_Layer *l = kimg_LayerCreate(name("s.klp", "a").c_str(), KIMG_LAYER_THEMATIC, KGDA_TYPE_U8,
                                     50, 40, tk, &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 16L, 16L, 0);
    ASSERT_NE(l, nullptr);
    Rect r = write(l, KGDA_TYPE_U8, pattern(5));
    EXPECT_STREQ(kimg_LayerGetTitle(l), "Test Layers");
    EXPECT_STREQ(kimg_LayerGetExt(l), ".klp");
    EXPECT_EQ(kimg_LayerLayerTypeIsChangeable(l, KIMG_LAYER_FFT), 0);  // u8 is no fft type
    EXPECT_REFUSAL(kimg_LayerLayerTypeChange(l, KIMG_LAYER_FFT, &err), -1,
                   "Layer " + name("s.klp", "a") + " cannot be changed to type 2!");
    // A descriptor table travels with the layer.
    Kdsc_Table *t = kimg_TableCreate(l, nullptr, 256, nullptr, &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    Kdsc_Column *c = kdsc_ColumnCreate(t, "Value", KDSC_COLUMN_REAL, 0, &err);
    Kgda_BaseData *v =
        kgda_BaseDataCreate(256, 1, KGDA_TYPE_F64, KGDA_TABLE_OBJECT, nullptr, nullptr);
    reinterpret_cast<double *>(v->data)[2] = 7.5;
    ASSERT_EQ(kdsc_ColumnWrite(c, 0, 256, v, &err), 0);
    kgda_BaseDataDelete(v, nullptr), kdsc_ColumnClose(c, nullptr), kdsc_TableClose(t, nullptr);
    kimg_LayerClose(l, nullptr);
    // Copy into another file, rename within it, remove the original.
    ASSERT_EQ(kimg_LayerCopy(name("s.klp", "a").c_str(), name("d.klp", "b").c_str(), tk, &err, 0),
              0)
        << ktest::messages(err.r);
    ASSERT_EQ(
        kimg_LayerChangeName(name("d.klp", "b").c_str(), name("d.klp", "c").c_str(), tk, &err), 0)
        << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerRemove(name("s.klp", "a").c_str(), tk, &err), 0);
    EXPECT_EQ(kimg_LayerRemove(name("s.klp", "a").c_str(), tk, &err), -1);
    EXPECT_SAYS(err, "does not exist");
    EXPECT_EQ(layers(dir.file("d.klp")), std::vector<std::string>{name("d.klp", "c")});
    ASSERT_NE(l = open(name("d.klp", "c")), nullptr);
    Kimg_LayerInfo i = info(l);
    EXPECT_EQ(i.layerType, KIMG_LAYER_THEMATIC);
    EXPECT_EQ(i.blockWidth * 100 + i.blockHeight, 1616);
    EXPECT_EQ(std::memcmp(whole(l, KGDA_TYPE_U8).b->data, r.b->data, 50 * 40), 0);
    EXPECT_EQ(kimg_LayerLayerTypeChange(l, KIMG_LAYER_ATHEMATIC, &err), -1);  // no type entry
    t = kimg_TableOpen(l, nullptr, &err);
    ASSERT_NE(t, nullptr) << ktest::messages(err.r);
    c = kdsc_ColumnOpen(t, "Value", &err);
    v = c ? kdsc_ColumnRead(c, 0, 3, nullptr, &err) : nullptr;
    ASSERT_NE(v, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(reinterpret_cast<double *>(v->data)[2], 7.5);
    kgda_BaseDataDelete(v, nullptr), kdsc_ColumnClose(c, nullptr), kdsc_TableClose(t, nullptr);
    kimg_LayerClose(l, nullptr);
    char *file = nullptr, *node = nullptr;
    ASSERT_EQ(kimg_LayerNameParse(name("d.klp", "c").c_str(), &file, &node, &err), 0);
    EXPECT_EQ(std::string(file) + "|" + node, dir.file("d.klp") + "|:c");
    char *again = kimg_LayerNameCreate(file, node, &err);
    EXPECT_EQ(again, name("d.klp", "c"));
    kmsc_HeapFree(file), kmsc_HeapFree(node), kmsc_HeapFree(again);
    EXPECT_EQ(kimg_LayerNameParse("plain", nullptr, nullptr, &err), -1);
    // A whole file copied as a stack, then a copy onto existing layers fails
    // and leaves the destination as it was.
    kimg_LayerClose(create(name("d.klp", "d"), KGDA_TYPE_S8, 3, 3), nullptr);
    ASSERT_EQ(
        kimg_LayerStackCopy(dir.file("d.klp").c_str(), dir.file("e.klp").c_str(), tk, &err, 0), 0)
        << ktest::messages(err.r);
    EXPECT_EQ(layers(dir.file("e.klp")),
              (std::vector<std::string>{name("e.klp", "c"), name("e.klp", "d")}));
    kimg_LayerRemove(name("e.klp", "c").c_str(), tk, nullptr);
    EXPECT_EQ(
        kimg_LayerStackCopy(dir.file("d.klp").c_str(), dir.file("e.klp").c_str(), tk, &err, 0), -1);
    EXPECT_EQ(layers(dir.file("e.klp")), (std::vector<std::string>{name("e.klp", "d")}));
}

// The test format's levels come from bands; native u8 and u16 layers hand
// their blocks to the first level in place (partial edge blocks and an
// unwritten block row included), unless undo levels need bands.
TEST_F(Layer, PyramidLevelsHaveTheRuleSizesAndMeanOfFourValues) {
    ASSERT_EQ(kfio_DirectorySetTemporary(dir.path().c_str(), &err), 0);  // for the stash
    const std::vector<std::pair<long, long>> native = {{149, 99}, {73, 48}};
    const struct {
        const char *file;
        int32_t type;
        long W, H, written, undo;
        std::vector<std::pair<long, long>> sizes;
    } cases[] = {
        {"py.klp", KGDA_TYPE_U8, 1000, 600, 600, 0, {{499, 299}, {248, 148}, {123, 73}, {60, 35}}},
        {"p8.img", KGDA_TYPE_U8, 300, 200, 192, 0, native},
        {"p16.img", KGDA_TYPE_U16, 300, 200, 192, 0, native},
        {"q16.img", KGDA_TYPE_U16, 300, 200, 192, 1, native},
    };
    std::mt19937 rng(3);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        Kimg_Layer *l = create(name(c.file), c.type, c.W, c.H);
        Rect r(c.W, c.written, c.type);
        for (long i = 0; i < r.b->numbytes * c.W * c.written; ++i) r.b->data[i] = rng() & 0xff;
        ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, c.W, c.written, r.b, &err), 0);
        ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
        ASSERT_NE(l = open(name(c.file), KIMG_LAYER_OPTION_UNDO_LEVELS, c.undo), nullptr);
        ASSERT_EQ(kimg_SSLayerValid(l, &err), 0);
        ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
        ASSERT_EQ(kimg_SSLayerValid(l, &err), 1);
        std::vector<std::string> levels = list(kimg_SSLayerGetNames, l);
        ASSERT_EQ(levels.size(), c.sizes.size());
        Rect prev = whole(l, KGDA_TYPE_F64);
        for (size_t k = 0; k < levels.size(); ++k) {
            Kimg_Layer *lv = open(levels[k]);
            ASSERT_NE(lv, nullptr);
            EXPECT_EQ(std::pair(info(lv).width, info(lv).height), c.sizes[k]);
            Rect got = whole(lv, KGDA_TYPE_F64);
            for (long y = 0; y < got.b->numrows; ++y)
                for (long x = 0; x < got.b->numcolumns; ++x) {
                    const double s = f64(prev.b, 2 * y, 2 * x) + f64(prev.b, 2 * y, 2 * x + 1) +
                                     f64(prev.b, 2 * y + 1, 2 * x) +
                                     f64(prev.b, 2 * y + 1, 2 * x + 1);
                    ASSERT_EQ(f64(got.b, y, x), std::floor((s + 2) / 4))
                        << k << ": " << x << "," << y;
                }
            prev = std::move(got);
            kimg_LayerClose(lv, nullptr);
        }
        kimg_LayerClose(l, nullptr);
    }
    Kimg_Layer *l = open(name("py.klp"));
    long count = 0, *mags = nullptr;
    char **names = nullptr;
    ASSERT_EQ(kimg_SSLayerComputeAllDefaultNames(l, &count, &names, &mags, &err), 0);
    EXPECT_EQ(std::vector<long>(mags, mags + count), (std::vector<long>{2, 4, 8, 16}));
    kmsc_HeapFree(mags);
    EXPECT_EQ(listOf(count, names)[0], name("py.klp", "Band_1_ss_2_"));
    ASSERT_EQ(kimg_SSLayerGetMags(l, &count, &mags, &err), 0);
    EXPECT_EQ(mags[3], 16);
    kmsc_HeapFree(mags);
    // A change makes the levels out of date, by their times and at close.
    ktest::PrintedReports printed;
    Rect r(4, 4, KGDA_TYPE_U8);
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 4, 4, r.b, &err), 0);
    ASSERT_EQ(kimg_LayerRasterFlush(l, &err), 0);
    EXPECT_EQ(kimg_SSLayerValid(l, &err), 0);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    EXPECT_EQ(printed.headlines(),
              std::vector<std::string>{"Warning:  Pyramid layers for " + name("py.klp") +
                                       " appear to be out of date"});
    // Removing the levels removes their layers.
    l = open(name("py.klp"));
    ASSERT_EQ(kimg_SSLayerRemove(l, &err), 0);
    EXPECT_EQ(kimg_SSLayerValid(l, &err), 0);
    kimg_LayerClose(l, nullptr);
    EXPECT_EQ(layers(dir.file("py.klp")).size(), 1u);
}

TEST_F(Layer, PyramidKernelsNullValuesAndSquarePixels) {
    // f32 4 x 4 tent.
    const long W = 80, H = 80;
    Kimg_Layer *l = kimg_LayerCreate(name("k.klp").c_str(), 1, KGDA_TYPE_F32, W, H, tk, &err,
                                     KIMG_LAYER_OPTION_RRD_KERNEL, "4X4", 0);
    ASSERT_NE(l, nullptr);
    Rect r = write(l, KGDA_TYPE_F32, [](long x, long y) { return (x * 7 + y * 13) % 23; });
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    Kimg_Layer *lv = open(name("k.klp", "Band_1_ss_2_"));
    ASSERT_NE(lv, nullptr);
    Rect got = whole(lv, KGDA_TYPE_F32);
    // Inside, taps 1, 3, 3, 1 / 8 (as in the 8-bit test); at the top left
    // corner only the taps inside count.
    const double w[4] = {1, 3, 3, 1};
    double corner = 0, cw = 0;
    for (int i = 1; i < 4; ++i)
        for (int j = 1; j < 4; ++j) {
            corner += w[i] * w[j] * r.at<float>(i - 1, j - 1);
            cw += w[i] * w[j];
        }
    EXPECT_NEAR(got.at<float>(0, 0), corner / cw, 1e-4);
    kimg_LayerClose(lv, nullptr);
    {
        ktest::PrintedReports printed;  // levels computed after the last write are current
        ASSERT_EQ(kimg_LayerClose(l, &err), 0);
        EXPECT_EQ(printed.headlines(), std::vector<std::string>{});
    }

    // 2 x 2 means leave null pixels out; all-null blocks stay null.
    l = create(name("nv.klp"), KGDA_TYPE_S16, 64, 64);
    write(l, KGDA_TYPE_S16, [](long x, long y) { return x + y == 0 ? 10 : x * y == 1 ? -3 : -7; });
    Kgda_BaseData *nv = kimg_LayerRasterNullValueGet(l, nullptr);
    *reinterpret_cast<int16_t *>(nv->data) = -7;
    ASSERT_EQ(kimg_LayerRasterNullValueWrite(l, nv, &err), 0);
    kgda_BaseDataDelete(nv, nullptr);
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    ASSERT_NE(lv = open(name("nv.klp", "Band_1_ss_2_")), nullptr);
    Rect two = whole(lv, KGDA_TYPE_S16);
    EXPECT_EQ(two.at<int16_t>(0, 0), 4);   // (10 - 3) / 2 rounded half away from zero
    EXPECT_EQ(two.at<int16_t>(0, 1), -7);  // nothing but nulls
    kimg_LayerClose(lv, nullptr), kimg_LayerClose(l, nullptr);

    // Thematic layers take the nearest pixel; pixel sizes shape level 1.
    l = kimg_LayerCreate(name("th.klp").c_str(), KIMG_LAYER_THEMATIC, KGDA_TYPE_U8, 100, 300, tk,
                         &err, KIMG_LAYER_OPTION_RRD_PIXEL_SIZE, 4.0, 1.0, 0);
    ASSERT_NE(l, nullptr);
    Rect t = write(l, KGDA_TYPE_U8, [](long x, long y) { return (y * 100 + x) % 251; });
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    ASSERT_NE(lv = open(name("th.klp", "Band_1_ss_2_")), nullptr);
    EXPECT_EQ(info(lv).width, 24);    // (100 - 2) / 4
    EXPECT_EQ(info(lv).height, 298);  // (300 - 2) / 1
    Rect one(1, 1, KGDA_TYPE_U8);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(lv, 3, 5, 1, 1, one.b, &err), 0);
    EXPECT_EQ(one.b->data[0], t.b->data[5 * 100 + 3 * 4 + 2]);  // centre (14, 5.5)
    kimg_LayerClose(lv, nullptr), kimg_LayerClose(l, nullptr);
}

int ramp(void *, long column, long row, long columns, long rows, Kgda_BaseDataStack *rects,
         Kerr_ErrorReport **) {
    Kgda_BaseData *b = rects->layers[0];
    for (long y = 0; y < rows; ++y)
        for (long x = 0; x < columns; ++x)
            f64(b, y, x) = static_cast<double>((row + y) * 1000 + column + x);
    return 0;
}

TEST_F(Layer, ResampleDataChecksSplittingAndMethodNames) {
    Kirf_Scale scale{0, 0, 2, 2};
    Kirf_MethodSetup setup{KGDA_TYPE_F64, -1, 0, 0, 0, 0, 1000, 1000};
    const char *m = "MIRAVEN 2X2 Resampling";
    const struct {
        Kirf_SrcPixelRectsGetFunc get;
        const char *method;
        const Kirf_Scale *scale;
        long layers;
        const char *message;
    } cases[] = {
        {nullptr, m, &scale, 1, "Missing srcPixelRectsGetFunc"},
        {ramp, "", &scale, 1, "Missing resampleMethod"},
        {ramp, m, nullptr, 1, "Missing xForm"},
        {ramp, m, &scale, 0, "srcLayerCount must be positive"},
        {ramp, "Bicubic Dreams", &scale, 1, "Bicubic Dreams:  Unknown Resample Method"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(
            kirf_ResampleDataCreate(c.get, nullptr, c.method, c.scale, c.layers, &setup, &err),
            nullptr);
        EXPECT_SAYS(err, c.message);
    }
    EXPECT_STREQ(kirf_ResampleMethodFromInterpolationType(2), "Cubic Convolution");
    EXPECT_EQ(kirf_ResampleMethodFromInterpolationType(3), nullptr);
    Kirf_ResampleData *d = kirf_ResampleDataCreate(ramp, nullptr, m, &scale, 1, &setup, &err);
    ASSERT_NE(d, nullptr) << ktest::messages(err.r);
    Kgda_BaseDataStack *out =
        kgda_BaseDataStackCreate(1, 40, 50, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr);
    const double bad[4] = {0.5, 0, 50, 40};
    EXPECT_REFUSAL(kirf_ResampleBlockInterpolate(d, bad, out, &err), -1,
                   "inDstRectangle does not have integral coordinates");
    // A small source limit splits the block; the result is the same.
    const double rect[4] = {10, 20, 50, 40};
    kirf_ResampleSourceLimitSet(2000);
    ASSERT_EQ(kirf_ResampleBlockInterpolate(d, rect, out, &err), 0) << ktest::messages(err.r);
    for (long y = 0; y < 40; ++y)
        for (long x = 0; x < 50; ++x) {
            double want = (2 * (20 + y) + 0.5) * 1000 + 2 * (10 + x) + 0.5;
            ASSERT_EQ(f64(out->layers[0], y, x), want);
        }
    kirf_ResampleSourceLimitSet(8);
    EXPECT_REFUSAL(kirf_ResampleBlockInterpolate(d, rect, out, &err), -1,
                   "No memory for source data read and further subdivision impossible");
    kirf_ResampleSourceLimitSet(0);
    kgda_BaseDataStackDelete(out, nullptr), kirf_ResampleDataDestroy(d, nullptr);
    // Complex sources are converted for the 2 x 2 mean, with a warning.
    ktest::PrintedReports printed;
    setup.srcPixelType = KGDA_TYPE_C64;
    d = kirf_ResampleDataCreate(ramp, nullptr, m, &scale, 1, &setup, &err);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(printed.headlines(), std::vector<std::string>{"Possible data loss:   source (c64) "
                                                            "converted to f64 for resample"});
    EXPECT_EQ(kirf_ResampleDataDstPixelType(d), KGDA_TYPE_F64);
    kirf_ResampleDataDestroy(d, nullptr);
}

// The ramp with one hole: pixel (5, 5) holds 77, the null value.
int holed(void *, long column, long row, long columns, long rows, Kgda_BaseDataStack *rects,
          Kerr_ErrorReport **err) {
    ramp(nullptr, column, row, columns, rows, rects, err);
    Kgda_BaseData *b = rects->layers[0];
    if (column <= 5 && row <= 5 && column + columns > 5 && row + rows > 5)
        f64(b, 5 - row, 5 - column) = 77;
    return 0;
}

TEST_F(Layer, ClassicMethodsFollowAnyTransform) {
    // Destination pixel centres to source pixel centres: a turn and a shear.
    auto to = [](double x, double y) {
        return std::pair{3.31 + 0.9 * x + 0.2 * y, 5.73 - 0.1 * x + 1.1 * y};
    };
    const double coeffs[6] = {3.31, 0.9, 0.2, 5.73, -0.1, 1.1};
    Kxfr_XForm *chain = kxfr_XFormCreateUsingCoeffs(coeffs, &err);
    ASSERT_NE(chain, nullptr) << ktest::messages(err.r);
    Kirf_MethodSetup setup{KGDA_TYPE_F64, -1, 1, 77, 0, 0, 40, 40};
    Kgda_BaseDataStack *out =
        kgda_BaseDataStackCreate(1, 24, 30, KGDA_TYPE_F64, KGDA_RASTER_OBJECT, nullptr);
    const double rect[4] = {-6, -2, 30, 24};  // runs off the source's left edge
    // A small source limit splits the block; the result is the same. Without
    // a null value the source is the plain ramp, and 0 lies beyond it.
    const struct {
        const char *method;
        int64_t limit;
        int32_t null;
    } runs[] = {{"Nearest Neighbor", 0, 1},       {"Nearest Neighbor", 2000, 1},
                {"Bilinear Interpolation", 0, 1}, {"Cubic Convolution", 2000, 1},
                {"Bilinear Interpolation", 0, 0}, {"Cubic Convolution", 0, 0}};
    for (const auto &[method, limit, null] : runs) {
        SCOPED_TRACE(std::string(method) + " " + std::to_string(limit) + " " +
                     std::to_string(null));
        kirf_ResampleSourceLimitSet(limit);
        setup.hasNull = null;
        Kirf_ResampleData *d = kirf_ResampleDataCreateXForm(null ? holed : ramp, nullptr, method,
                                                            chain, 1, &setup, &err);
        ASSERT_NE(d, nullptr) << ktest::messages(err.r);
        ASSERT_EQ(kirf_ResampleBlockInterpolate(d, rect, out, &err), 0) << ktest::messages(err.r);
        const bool nearest = method[0] == 'N';
        long exact = 0;
        for (long r = 0; r < 24; ++r)
            for (long c = 0; c < 30; ++c) {
                const auto [x, y] = to(static_cast<double>(c - 6), static_cast<double>(r - 2));
                const double got = f64(out->layers[0], r, c);
                const double nx = std::floor(x + 0.5), ny = std::floor(y + 0.5);
                if (x < -0.5 || y < -0.5) {
                    EXPECT_EQ(got, null ? 77 : 0) << r << " " << c;  // outside
                } else if (nearest) {
                    EXPECT_EQ(got, nx == 5 && ny == 5 ? 77 : ny * 1000 + nx) << r << " " << c;
                    ++exact;
                } else if (null && std::fabs(x - 5) < 1 && std::fabs(y - 5) < 1 &&
                           method[0] == 'B') {
                    // Next to the hole: the null pixel is left out and the
                    // other weights renormalised.
                    const double j0 = std::floor(x), i0 = std::floor(y);
                    double sum = 0, weights = 0;
                    for (double i : {i0, i0 + 1})
                        for (double j : {j0, j0 + 1}) {
                            const double w = (1 - std::fabs(x - j)) * (1 - std::fabs(y - i));
                            if (i == 5 && j == 5) continue;
                            sum += w * (i * 1000 + j);
                            weights += w;
                        }
                    EXPECT_NEAR(got, sum / weights, 1e-6) << r << " " << c;
                } else if (null && std::fabs(x - 5) < 2 && std::fabs(y - 5) < 2) {
                    EXPECT_GT(got, 2900) << r << " " << c;  // cubic: never dragged to 77
                } else if (x > 1.5 && y > 1.5) {
                    // Both kernels reproduce a ramp exactly.
                    EXPECT_NEAR(got, y * 1000 + x, 1e-6) << r << " " << c;
                    ++exact;
                }
            }
        EXPECT_GT(exact, 300);
        kirf_ResampleDataDestroy(d, nullptr);
    }
    kirf_ResampleSourceLimitSet(0);
    EXPECT_REFUSAL(
        kirf_ResampleDataCreateXForm(holed, nullptr, "Cubic Convolution", nullptr, 1, &setup, &err),
        nullptr, "Missing xForm");
    kgda_BaseDataStackDelete(out, nullptr), kxfr_XFormFree(chain);
}

// Reads through a geometric transform against the chain evaluated by hand:
// nearest and 2 x 2 methods, window offsets, null pixels left out, outside
// pixels null, rectangles of the layer's type and converted.
TEST_F(Layer, ReadsThroughAGeometricTransformMatchDirectEvaluation) {
    const long W = 40, H = 30;
    Kimg_Layer *l = create(name("gt.klp"), KGDA_TYPE_F32, W, H);
    Rect src = write(l, KGDA_TYPE_F32, [](long x, long y) {
        return (x * 7 + y * 3) % 11 == 0 ? -1.0 : double(3 * x + 100 * y);
    });
    EXPECT_EQ(kimg_LayerGeometricTransQuery(l), nullptr);
    const long wx = 3, wy = 2, ww = 30, wh = 25;  // the window
    Kgda_Window *win = kimg_WindowCreate(wx, wy, wx + ww - 1, wy + wh - 1, nullptr);
    Kgda_BaseData *nv = kimg_PixelRectCreate(1, 1, KGDA_TYPE_F64, nullptr);
    *reinterpret_cast<double *>(nv->data) = -1;
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_WINDOW, win,
                                      KIMG_LAYER_OPTION_NULL_VALUE, nv, 0),
              0);
    kimg_WindowDelete(win, nullptr), kimg_PixelRectDelete(nv, nullptr);
    auto pixel = [&](long x, long y) -> double {  // window pixel, or NaN for none
        if (x < 0 || y < 0 || x >= ww || y >= wh) return NAN;
        float v = src.at<float>(y + wy, x + wx);
        return v == -1.0f ? NAN : v;
    };
    const double a = 0.3, ca = std::cos(a), sa = std::sin(a);
    struct Map {
        const char *what;
        std::function<Kxfr_XForm *()> make;
        double k[6];  // x = k0 + k1 c + k2 r, y = k3 + k4 c + k5 r
    };
    const Map maps[] = {
        {"rotate then shift",
         [&] {
             Kxfr_XForm *x = kxfr_XFormRotate(a, nullptr);
             Kxfr_XForm *t = kxfr_XFormTranslate(4.25, -1.5, nullptr);
             kxfr_XFormComposition(x, t, nullptr);
             return kxfr_XFormFree(t), x;
         },
         {4.25, ca, -sa, -1.5, sa, ca}},
        {"scale", [] { return kxfr_XFormScaleXY(0.5, 0.75, nullptr); }, {0, 0.5, 0, 0, 0, 0.75}},
    };
    const struct {
        const char *method;  // NULL: the default, nearest
        int32_t rectType;
    } reads[] = {{nullptr, KGDA_TYPE_F32},
                 {"MIRAVEN Nearest Neighbor Resampling", KGDA_TYPE_F64},
                 {"MIRAVEN 2X2 Resampling", KGDA_TYPE_F32},
                 {"MIRAVEN 2X2 Resampling", KGDA_TYPE_S16}};
    const long c0 = -2, r0 = 1, cols = 36, rows = 28;
    for (const Map &m : maps)
        for (const auto &rd : reads) {
            Kxfr_XForm *x = m.make();
            ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_GEOMETRIC_TRANS, x,
                                              KIMG_LAYER_OPTION_RESAMPLE_METHOD, rd.method, 0),
                      0);
            EXPECT_EQ(kxfr_XFormIsSame(kimg_LayerTransformationQuery(l), x, &err), 1);
            kxfr_XFormFree(x);
            Rect got(cols, rows, rd.rectType);
            ASSERT_EQ(kimg_LayerRead(l, c0, r0, cols, rows, got.b, &err), 0)
                << ktest::messages(err.r);
            for (long r = 0; r < rows; ++r)
                for (long c = 0; c < cols; ++c) {
                    const double px = m.k[0] + m.k[1] * (c0 + c) + m.k[2] * (r0 + r),
                                 py = m.k[3] + m.k[4] * (c0 + c) + m.k[5] * (r0 + r);
                    double want = NAN;
                    if (!rd.method || std::strstr(rd.method, "Nearest")) {
                        want = pixel(long(std::floor(px + 0.5)), long(std::floor(py + 0.5)));
                    } else {
                        double sum = 0;
                        int n = 0;
                        for (long j = 0; j < 2; ++j)
                            for (long i = 0; i < 2; ++i) {
                                double v =
                                    pixel(long(std::floor(px)) + i, long(std::floor(py)) + j);
                                if (!std::isnan(v)) sum += v, ++n;
                            }
                        if (n) want = sum / n;
                    }
                    if (std::isnan(want)) want = -1;  // the null value
                    if (rd.rectType == KGDA_TYPE_S16) want = std::round(want);
                    ASSERT_NEAR(got.get(r, c), want, 1e-3)
                        << m.what << " " << (rd.method ? rd.method : "default") << " at " << c
                        << "," << r << " from " << px << "," << py;
                }
        }
    // Writes are refused while a transform is set; NULL drops it.
    Rect small(2, 2, KGDA_TYPE_F32);
    EXPECT_REFUSAL(kimg_LayerWrite(l, 0, 0, 2, 2, small.b, &err), -1,
                   "kimg_LayerWrite cannot be used with a geometric transform");
    EXPECT_REFUSAL(kimg_LayerRead(l, 0, 0, 2, 2, nullptr, &err), -1, "Null pixelRect");
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_RESAMPLE_METHOD, "Nowhere", 0), 0);
    EXPECT_EQ(kimg_LayerRead(l, 0, 0, 2, 2, small.b, &err), -1);
    EXPECT_SAYS(err, "Nowhere:  Unknown Resample Method");
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_GEOMETRIC_TRANS, nullptr, 0), 0);
    EXPECT_EQ(kimg_LayerGeometricTransQuery(l), nullptr);
    EXPECT_EQ(kimg_LayerWrite(l, 0, 0, 2, 2, small.b, &err), 0);
    // The obsolete polynomial form: warned, applied, and a 3-D polynomial
    // refused.
    ktest::PrintedReports printed;
    Kfga_Polynomial *shift = kfga_PolyCreate2DTranslate(1, 2, nullptr);
    ASSERT_EQ(kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_POLYTRANS, shift, nullptr,
                                      "MIRAVEN Nearest Neighbor Resampling", 0),
              0);
    EXPECT_TRUE(printed.contains(
        "KIMG_LAYER_OPTION_POLYTRANS is obsolete;\nuse KIMG_LAYER_OPTION_GEOMETRIC_TRANS"));
    EXPECT_STREQ(kimg_LayerResampleMethodQuery(l), "MIRAVEN Nearest Neighbor Resampling");
    Rect one(1, 1, KGDA_TYPE_F32);
    ASSERT_EQ(kimg_LayerRead(l, 5, 4, 1, 1, one.b, &err), 0);
    EXPECT_EQ(one.get(0, 0), src.at<float>(4 + 2 + wy, 5 + 1 + wx));
    Kfga_Polynomial *cube = kfga_PolynomialCreate(1, 3, 3, nullptr);
    EXPECT_EQ(
        kimg_LayerChangeOptions(l, &err, KIMG_LAYER_OPTION_POLYTRANS, cube, nullptr, nullptr, 0),
        -1);
    EXPECT_SAYS(err, "kxfr_XFormCreateFromPolyPair failed");
    EXPECT_NE(kimg_LayerGeometricTransQuery(l), nullptr);  // the one before stays
    kfga_PolynomialDelete(cube, nullptr), kfga_PolynomialDelete(shift, nullptr);
    kimg_LayerClose(l, nullptr);
}

// The two methods with a prior rescale make u8 levels from the layer's
// range: the stored statistics when they are current, else computed ones.
TEST_F(Layer, PyramidRescaledToEightBitsFromTheLayersRange) {
    const long W = 130, H = 132;
    Kimg_Layer *l = create(name("r8.klp"), KGDA_TYPE_U16, W, H);
    Rect src = write(l, KGDA_TYPE_U16, [](long x, long y) { return 1000 + 10 * x + 7 * y; });
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    const struct {
        const char *method;
        bool storedRange;  // statistics written by the test before
        double lo, hi;
    } cases[] = {
        {"MIRAVEN 2X2 Resampling with prior Rescale to 8-bit", true, 1500, 2520},
        {"MIRAVEN 2X2 Resampling with prior Rescale to 8-bit", false, 0, 0},
        {"MIRAVEN 4X4 Resampling with prior Rescale to 8-bit", true, 1000, 3000},
    };
    for (const auto &c : cases) {
        ASSERT_NE(l = open(name("r8.klp"), KIMG_LAYER_OPTION_RRD_KERNEL, c.method), nullptr);
        double lo = c.lo, hi = c.hi;
        if (c.storedRange) {
            Ksta_Statistics st{lo, hi, 0, 0, 0, 0};
            ASSERT_EQ(kimg_StatisticsWrite(l, &st, &err), 0) << ktest::messages(err.r);
        } else {
            // A change makes stored statistics stale: they are computed anew.
            Ksta_Statistics st{0, 1, 0, 0, 0, 0};
            ASSERT_EQ(kimg_StatisticsWrite(l, &st, &err), 0);
            ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, W, H, src.b, &err), 0);
        }
        ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
        if (!c.storedRange) {
            Ksta_Statistics *st = kimg_StatisticsRead(l, &err);
            ASSERT_NE(st, nullptr);
            lo = st->minimum;
            hi = st->maximum;
            ksta_StatisticsDelete(st);
            EXPECT_GE(lo, 1000);
            EXPECT_GT(hi, 2000);
        }
        ASSERT_EQ(kimg_LayerClose(l, &err), 0);
        auto scaled = [&](long y, long x) {
            return std::clamp((src.at<uint16_t>(y, x) - lo) * 255 / (hi - lo), 0.0, 255.0);
        };
        const bool tent = std::strstr(c.method, "4X4") != nullptr;
        Kimg_Layer *l1 = open(name("r8.klp", "Band_1_ss_2_")),
                   *l2 = open(name("r8.klp", "Band_1_ss_4_"));
        ASSERT_TRUE(l1 && l2);
        ASSERT_EQ((ktest::Ints{info(l1).pixelType, info(l2).pixelType, info(l1).width}),
                  (ktest::Ints{KGDA_TYPE_U8, KGDA_TYPE_U8, 64}));
        Rect one = whole(l1, KGDA_TYPE_U8), two = whole(l2, KGDA_TYPE_U8);
        const long w1 = one.b->numcolumns, h1 = one.b->numrows;
        // Taps 1, 3, 3, 1 / 8 from one before, or 1, 1 / 2.
        const std::vector<double> k =
            tent ? std::vector{.125, .375, .375, .125} : std::vector{.5, .5};
        for (long y = 1; y < h1 - 1; ++y)
            for (long x = 1; x < w1 - 1; ++x) {
                double want = 0;
                for (size_t i = 0; i < k.size(); ++i)
                    for (size_t j = 0; j < k.size(); ++j)
                        want +=
                            k[i] * k[j] * scaled(2 * y + long(i) - tent, 2 * x + long(j) - tent);
                ASSERT_NEAR(one.at<uint8_t>(y, x), want, 0.5 + 1e-9)
                    << c.method << " " << c.storedRange << " at " << x << "," << y;
            }
        // Level 2 averages the 8-bit level 1 without another rescale.
        if (!tent) {
            int s = one.at<uint8_t>(4, 6) + one.at<uint8_t>(4, 7) + one.at<uint8_t>(5, 6) +
                    one.at<uint8_t>(5, 7);
            EXPECT_EQ(two.at<uint8_t>(2, 3), (s + 2) / 4);
        }
        kimg_LayerClose(l1, nullptr), kimg_LayerClose(l2, nullptr);
    }
    // A null value above 255 is 255 in 8-bit levels, and left out as such.
    for (long i = 0; i < 4; ++i) src.at<uint16_t>(i / 2, i % 2) = 300;
    ASSERT_NE(l = open(name("r8.klp"), KIMG_LAYER_OPTION_RRD_KERNEL, cases[0].method), nullptr);
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 2, 2, src.b, &err), 0);
    Kgda_BaseData *nv = kimg_LayerRasterNullValueGet(l, nullptr);
    *reinterpret_cast<uint16_t *>(nv->data) = 300;
    ASSERT_EQ(kimg_LayerRasterNullValueWrite(l, nv, &err), 0);
    kgda_BaseDataDelete(nv, nullptr);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    ASSERT_NE(l = open(name("r8.klp"), KIMG_LAYER_OPTION_RRD_KERNEL, cases[0].method), nullptr);
    Ksta_Statistics range{1000, 3000, 0, 0, 0, 0};
    ASSERT_EQ(kimg_StatisticsWrite(l, &range, &err), 0);
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    ASSERT_EQ(kimg_LayerClose(l, &err), 0);
    Kimg_Layer *l1 = open(name("r8.klp", "Band_1_ss_2_")),
               *l2 = open(name("r8.klp", "Band_1_ss_4_"));
    ASSERT_TRUE(l1 && l2);
    Rect one = whole(l1, KGDA_TYPE_U8), two = whole(l2, KGDA_TYPE_U8);
    EXPECT_EQ(one.at<uint8_t>(0, 0), 255);
    EXPECT_EQ(two.at<uint8_t>(0, 0),
              (one.at<uint8_t>(0, 1) + one.at<uint8_t>(1, 0) + one.at<uint8_t>(1, 1) + 1) / 3);
    kimg_LayerClose(l1, nullptr), kimg_LayerClose(l2, nullptr);
    EXPECT_EQ(kimg_LayerOpen(name("r8.klp").c_str(), tk, &err, KIMG_LAYER_OPTION_RRD_KERNEL,
                             "Bicubic Dreams", 0),
              nullptr);
    EXPECT_SAYS(err, "Invalid pyramid kernel Bicubic Dreams");
}

// Native images: kraster pyramids with its progress bar, then levels in a
// ".rrd" file that belongs to its image.
TEST_F(Layer, ToolAndRrdFilesOnNativeImages) {
    std::string img = dir.file("n.img");
    Kimg_Layer *l = create(img + "(:Band_1)", KGDA_TYPE_U16, 300, 200);
    write(l, KGDA_TYPE_U16, [](long x, long y) { return 300 * y + x; });
    ASSERT_EQ(kimg_LayerClose(l, &err), 0) << ktest::messages(err.r);
    kimg_FileNameDequeue(img.c_str(), nullptr);
    const tooltest::Outcome tool = tooltest::run(dir, "pyramids --progress " + img);
    ASSERT_EQ(tool.status, 0) << tool.out << tool.err;
    EXPECT_TRUE(ktest::contains(tool.out, "level 1 " + img + "(:Band_1_ss_2_) 149 x 99"));
    EXPECT_TRUE(ktest::contains(tool.out, "level 2 " + img + "(:Band_1_ss_4_) 73 x 48"));
    for (const char *bar : {"Computing pyramid layers", "[####", "100%"})
        EXPECT_TRUE(ktest::contains(tool.err, bar));

    // External levels, then a second image that finds the ".rrd" taken.
    ASSERT_NE(l = open((img + "(:Band_1)"), KIMG_LAYER_OPTION_RRD_EXTERNAL, 1L), nullptr);
    // A rectangle that ends where its first block ends, read before anything is cached.
    Rect part(54, 54, KGDA_TYPE_U16);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(l, 10, 10, 54, 54, part.b, &err), 0);
    EXPECT_EQ((ktest::Ints{part.at<uint16_t>(0, 0), part.at<uint16_t>(53, 53)}),
              (ktest::Ints{10 * 300 + 10, 63 * 300 + 63}));
    ASSERT_EQ(kimg_LayerRRDCompute(l, &err), 0) << ktest::messages(err.r);
    EXPECT_EQ(list(kimg_SSLayerNamesGet, l),
              (std::vector<std::string>{"n.rrd(:Band_1_ss_2_)", "n.rrd(:Band_1_ss_4_)"}));
    EXPECT_REFUSAL(kimg_SSLayerNamesSet(l, 1, nullptr, &err), -1, "Args");
    EXPECT_EQ(kimg_SSLayerValid(l, &err), 1);
    Kimg_Layer *lv = open(dir.file("n.rrd(:Band_1_ss_2_)"));
    ASSERT_NE(lv, nullptr);
    Rect one(1, 1, KGDA_TYPE_U16);
    ASSERT_EQ(kimg_LayerRasterPixelRectGet(lv, 10, 7, 1, 1, one.b, &err), 0);
    EXPECT_EQ(one.at<uint16_t>(0, 0),
              (14 * 300 + 20 + 14 * 300 + 21 + 15 * 300 + 20 + 15 * 300 + 21 + 2) / 4);
    kimg_LayerClose(lv, nullptr);
    // The ".rrd" file is a support file of the image.
    ktest::Err missing;
    EXPECT_EQ(kimg_LayerOpen(dir.file("n.rrd(:Band_9)").c_str(), tk, &missing, 0), nullptr);
    EXPECT_SAYS(missing, "Layer " + dir.file("n.rrd(:Band_9)") + " does not exist in AUX file");
    kimg_LayerClose(l, nullptr), kimg_FileNameDequeue(img.c_str(), nullptr);
    ASSERT_EQ(kimg_FileCopy(dir.file("n.rrd").c_str(), dir.file("m.rrd").c_str(), &err, 0), 0);
    l = kimg_LayerCreate(dir.file("m.img(:Band_1)").c_str(), 1, KGDA_TYPE_U8, 100, 100, tk, &err,
                         KIMG_LAYER_OPTION_RRD_EXTERNAL, 1L, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(kimg_LayerRRDCompute(l, &err), -1);
    EXPECT_SAYS(err, dir.file("m.img") + ": " + dir.file("m.rrd") +
                         " file already in use for a different full resolution image");
    kimg_LayerClose(l, nullptr);
}

// A 3 x 3 sum, and a functional that totals the pixels.
int sum3x3(const Kgda_BaseDataStack *in, Kgda_BaseDataStack *out, long, long, void *,
           Kerr_ErrorReport **) {
    const Kgda_BaseData *s = in->layers[0];
    Kgda_BaseData *d = out->layers[0];
    for (int32_t y = 0; y < d->numrows; ++y)
        for (int32_t x = 0; x < d->numcolumns; ++x) {
            double t = 0;
            for (int dy = 0; dy < 3; ++dy)
                for (int dx = 0; dx < 3; ++dx) t += f64(s, y + dy, x + dx);
            f64(d, y, x) = t;
        }
    return 0;
}

int total(const Kgda_BaseDataStack *in, long, long, void *client, Kerr_ErrorReport **err) {
    const Kgda_BaseData *s = in->layers[1];
    for (int32_t i = 0; i < s->numelements; ++i) {
        const double v = f64(s, i / s->numcolumns, i % s->numcolumns);
        if (v < 0) return *err = kerr_CreateErrorReport("total", 1, 2, nullptr, "negative"), -1;
        *static_cast<double *>(client) += v;
    }
    return 0;
}

TEST_F(Layer, NeighborhoodFunctionsAndFunctionalsOverStacks) {
    const long W = 70, H = 50;
    for (const char *n : {"a", "b"}) {
        Kimg_Layer *l = kimg_LayerCreate(name("nb.klp", n).c_str(), 1, KGDA_TYPE_U8, W, H, tk, &err,
                                         KIMG_LAYER_OPTION_BLOCK_SIZE, 16L, 16L, 0);
        ASSERT_NE(l, nullptr);
        write(l, KGDA_TYPE_U8, pattern(n[0]));
        kimg_LayerClose(l, nullptr);
    }
    Kimg_Layer *outLayer = kimg_LayerCreate(name("nb.klp", "out").c_str(), 1, KGDA_TYPE_F32, W, H,
                                            tk, &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 32L, 8L, 0);
    kimg_LayerClose(outLayer, nullptr);
    Kimg_LayerStack *in =
        kimg_LayerStackOpen((dir.file("nb.klp") + "(:a,:b)").c_str(), tk, &err, 0);
    ASSERT_NE(in, nullptr) << ktest::messages(err.r);
    ASSERT_EQ(in->count, 2);
    Kgda_BaseDataStack *three = kgda_BaseDataStackCreate(3, 2, 2, KGDA_TYPE_F64, 0, nullptr);
    EXPECT_REFUSAL(kimg_LayerStackRasterPixelRectStackGet(in, 0, 0, 2, 2, three, &err), -1,
                   "Stack of 3 rectangles for 2 layers");
    kgda_BaseDataStackDelete(three, nullptr);
    Kimg_LayerStack *out = kimg_LayerStackOpen(name("nb.klp", "out").c_str(), tk, &err, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_REFUSAL(kimg_LayerStackApplyNeighborhoodFunction(in, out, 2, 3, KGDA_TYPE_F64, sum3x3,
                                                            nullptr, &err),
                   -1, "Kernel size 2 x 3 must be odd and positive");
    ASSERT_EQ(kimg_LayerStackApplyNeighborhoodFunction(in, out, 3, 3, KGDA_TYPE_F64, sum3x3,
                                                       nullptr, &err),
              0)
        << ktest::messages(err.r);
    Rect a = whole(in->layers[0], KGDA_TYPE_F64), got = whole(out->layers[0], KGDA_TYPE_F64);
    for (long y = 0; y < H; ++y)
        for (long x = 0; x < W; ++x) {
            double t = 0;
            for (long dy = -1; dy <= 1; ++dy)
                for (long dx = -1; dx <= 1; ++dx)
                    if (y + dy >= 0 && y + dy < H && x + dx >= 0 && x + dx < W)
                        t += a.at<double>(y + dy, x + dx);
            ASSERT_EQ(got.at<double>(y, x), t) << x << "," << y;
        }
    double sum = 0, want = 0;
    for (long i = 0; i < W * H; ++i) want += pattern('b')(i % W, i / W);
    ASSERT_EQ(kimg_LayerStackApplyFunctional(in, KGDA_TYPE_F64, total, &sum, &err), 0);
    EXPECT_EQ(sum, want);
    // A failing function stops the run with its report; sizes must agree.
    Kimg_FunctionalFunction stop = [](const Kgda_BaseDataStack *, long column, long, void *,
                                      Kerr_ErrorReport **e) {
        if (column == 0) return 0;
        *e = kerr_CreateErrorReport("stop", 1, 2, nullptr, "enough");
        return -1;
    };
    EXPECT_REFUSAL(kimg_LayerStackApplyFunctional(in, KGDA_TYPE_U8, stop, nullptr, &err), -1,
                   "Functional failed at block (16, 0) | enough");
    kimg_LayerStackClose(out, nullptr);
    kimg_LayerClose(create(name("nb.klp", "small"), KGDA_TYPE_U8, 10, 10), nullptr);
    Kimg_LayerStack *mixed =
        kimg_LayerStackOpen((dir.file("nb.klp") + "(:a,:small)").c_str(), tk, &err, 0);
    ASSERT_NE(mixed, nullptr);
    EXPECT_REFUSAL(kimg_LayerStackApplyFunctional(mixed, KGDA_TYPE_U8, stop, nullptr, &err), -1,
                   "Layer sizes differ");
    kimg_LayerStackClose(mixed, nullptr), kimg_LayerStackClose(in, nullptr);
}

// Every layer of every input stack added up (a 1 x 1 neighbourhood).
int addUp(const Kgda_BaseDataStackArray *in, Kgda_BaseDataStack *out, long, long, void *,
          Kerr_ErrorReport **) {
    Kgda_BaseData *d = out->layers[0];
    for (int32_t i = 0; i < d->numelements; ++i) {
        double t = 0;
        for (int32_t k = 0; k < in->numberOfStacks; ++k)
            for (int32_t j = 0; j < in->stacks[k]->numberOfLayers; ++j)
                t += f64(in->stacks[k]->layers[j], i / d->numcolumns, i % d->numcolumns);
        f64(d, i / d->numcolumns, i % d->numcolumns) = t;
    }
    return 0;
}

TEST_F(Layer, StacksMadeWholeArraysStepByStepChipsAndLayerLists) {
    const long W = 40, H = 20;
    const std::string file = dir.file("st.klp");
    Kimg_LayerStack *made =
        kimg_LayerStackCreate((file + "(:a,:b)").c_str(), 1, KGDA_TYPE_U8, W, H, tk, &err,
                              KIMG_LAYER_OPTION_BLOCK_SIZE, 16L, 8L, 0);
    ASSERT_NE(made, nullptr) << ktest::messages(err.r);
    ASSERT_EQ(made->count, 2);
    EXPECT_EQ(info(made->layers[1]).blockHeight, 8);
    auto px = [](long i, long p) { return double((p * (i + 2)) % 97); };  // layer i, pixel p
    for (long i = 0; i < 2; ++i)
        write(made->layers[i], KGDA_TYPE_U8, [&](long x, long y) { return px(i, y * W + x); });
    // A file alone names no layer to make; a layer that cannot be made takes
    // the others of its stack with it.
    EXPECT_REFUSAL(kimg_LayerStackCreate(file.c_str(), 1, KGDA_TYPE_U8, W, H, tk, &err, 0), nullptr,
                   file + ":  no layer named");
    EXPECT_EQ(kimg_LayerStackCreate((file + "(:c,:a)").c_str(), 1, KGDA_TYPE_U8, W, H, tk, &err, 0),
              nullptr);
    EXPECT_EQ(layers(file).size(), 2u);
    long count = 0;
    char **names = nullptr;
    // Two input stacks ({a, b} and {b}) added up block by block.
    Kimg_Layer *sum = kimg_LayerCreate(name("st.klp", "sum").c_str(), 1, KGDA_TYPE_F32, W, H, tk,
                                       &err, KIMG_LAYER_OPTION_BLOCK_SIZE, 16L, 8L, 0);
    ASSERT_NE(sum, nullptr);
    EXPECT_REFUSAL(kimg_LayerStackStructureCreate(0, &err), nullptr, "Invalid layer count 0");
    Kimg_LayerStack *out = kimg_LayerStackStructureCreate(1, &err);
    Kimg_LayerStack *second = kimg_LayerStackStructureCreate(1, &err);
    Kimg_LayerStackArray *in = kimg_LayerStackArrayStructureCreate(2, &err);
    ASSERT_TRUE(out && second && in);
    out->layers[0] = sum;
    second->layers[0] = made->layers[1];
    in->stacks[0] = made;
    in->stacks[1] = second;
    EXPECT_EQ(kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit(in, out, 1, 1, KGDA_TYPE_F64,
                                                                     nullptr, nullptr, &err),
              nullptr);
    EXPECT_EQ(kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(nullptr, &err), -1);
    Kimg_NeighborhoodRun *run = kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit(
        in, out, 1, 1, KGDA_TYPE_F64, addUp, nullptr, &err);
    ASSERT_NE(run, nullptr) << ktest::messages(err.r);
    int blocks = 0;
    while (kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(run, &err) == 1) ++blocks;
    EXPECT_EQ(blocks, 9);  // 3 x 3 blocks of 16 x 8
    EXPECT_EQ(kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(run, &err), 0);
    kimg_LayerStackArrayApplyNeighborhoodFunctionBlockFinish(run);
    Rect got = whole(sum, KGDA_TYPE_F64);
    double all = 0;
    for (long p = 0; p < W * H; ++p) {
        ASSERT_EQ(got.at<double>(p / W, p % W), px(0, p) + 2 * px(1, p)) << p;
        all += px(0, p) + 2 * px(1, p);
    }
    double total = 0;
    Kimg_StackArrayFunctionalFunction add = [](const Kgda_BaseDataStackArray *rects, long, long,
                                               void *client, Kerr_ErrorReport **) {
        for (int32_t k = 0; k < rects->numberOfStacks; ++k)
            for (int32_t j = 0; j < rects->stacks[k]->numberOfLayers; ++j)
                for (int32_t i = 0; i < rects->stacks[k]->layers[j]->numelements; ++i)
                    *static_cast<double *>(client) += rects->stacks[k]->layers[j]->data[i];
        return 0;
    };
    ASSERT_EQ(kimg_LayerStackArrayApplyFunctional(in, KGDA_TYPE_U8, add, &total, &err), 0);
    EXPECT_EQ(total, all);

    // A chip of the stack: two layers show the first as grey.
    EXPECT_EQ(kimg_LayerStackImageChipGet(made, 0, &err), nullptr);
    Kgda_BaseDataStack *chip = kimg_LayerStackImageChipGet(made, 10, &err);
    ASSERT_NE(chip, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(chip->layers[2]->numcolumns * 100 + chip->layers[2]->numrows, 1005);
    EXPECT_EQ(chip->layers[2]->windowStart[chip->layers[2]->pitch + 3], px(0, 6 * W + 14));
    kgda_BaseDataStackDelete(chip, nullptr), kimg_LayerStackArrayStructureDelete(in);
    kimg_LayerStackStructureDelete(second), kimg_LayerStackStructureDelete(out);
    kimg_LayerClose(sum, nullptr), kimg_LayerStackClose(made, nullptr);

    // The original layers leave out pyramid levels of the file's layers; the
    // layer table tells what each layer is.
    for (const char *n : {"a_ss_2_", "x_ss_2_"})
        kimg_LayerClose(create(name("st.klp", n), KGDA_TYPE_S16, 5, 3), nullptr);
    EXPECT_EQ(list(kimg_FileNameGetOriginalLayerNames, file.c_str()),
              (std::vector<std::string>{name("st.klp", "a"), name("st.klp", "b"),
                                        name("st.klp", "sum"), name("st.klp", "x_ss_2_")}));
    Kimg_LayerTableEntry *table = nullptr;
    ASSERT_EQ(kimg_LayerTable(file.c_str(), &count, &table, &err), 0);
    ASSERT_EQ(count, 5);
    EXPECT_EQ(table[3].name, name("st.klp", "a_ss_2_"));
    EXPECT_EQ(table[3].info.pixelType * 100 + table[3].info.width, KGDA_TYPE_S16 * 100 + 5);
    EXPECT_EQ(table[2].info.pixelType, KGDA_TYPE_F32);
    kimg_LayerTableFree(count, table);
    EXPECT_EQ(kimg_LayerTable(dir.file("none.klp").c_str(), &count, &table, &err), -1);
    EXPECT_EQ(
        kimg_FileNameGetOriginalLayerNames(dir.file("none.klp").c_str(), &count, &names, &err), -1);
}

}  // namespace
