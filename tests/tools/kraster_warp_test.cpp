// kraster warp run as people run it: a small UTM image warped into
// geographic coordinates and back, every destination pixel checked against
// the source value at its exactly projected position, and the exit statuses.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"
#include "support/prj_records.hpp"
#include "support/tool_run.hpp"

namespace {

constexpr long kW = 90, kH = 60;
constexpr double kUlx = 300015, kUly = 4500015, kSize = 30;  // UTM 33 north, far from the meridian
const char *kGeographic = "Geographic;spheroid=WGS 84";

using Mi = std::unique_ptr<Kprj_MapInfo, decltype(&kprj_MapInfoFree)>;

// A distinct value per source pixel: a ramp of slope 10 across, 1 down.
double ramp(double r, double c) {
    return 1000 + 10 * c + r;
}

class Warp : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    ktest::Params utm{kprjtest::proParameters(1, "UTM", 33, "WGS 84", 6378137, 6356752.314245)};
    ktest::Params geo{
        kprjtest::proParameters(0, "Geographic (Lat/Lon)", 0, "WGS 84", 6378137, 6356752.314245)};
    void SetUp() override {
        ASSERT_TRUE(kint_InitToolkit(nullptr));
        utm->proParams.data[3] = 1;
        // The tool's "spheroid=WGS 84" gives the eccentricity too.
        for (Kprj_ProParameters *p : {utm.get(), geo.get()})
            p->proSpheroid->eSquared = 0.00669437999014;
    }

    using Outcome = tooltest::Outcome;
    Outcome run(const std::string &args) { return tooltest::run(dir, "warp " + args); }
    // Runs a warp that must succeed.
    bool ok(const std::string &args) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
        return r.status == 0;
    }
    const std::string toGeo = std::string(" --to '") + kGeographic + "'";
    const std::string toUtm33 = " --to 'UTM;zone=33;north;spheroid=WGS 84'";

    // The source: layers of u16 ramps (the second layer offset by 5000),
    // with a null value and a block of null pixels when asked; or of the
    // given values and layer type.
    std::string makeSource(const std::string &name, int layers, bool nulls, long kW = ::kW,
                           long kH = ::kH, std::function<double(long, long)> value = nullptr,
                           int32_t layerType = KIMG_LAYER_ATHEMATIC) {
        const std::string file = dir.file(name);
        Mi info(kprjtest::mapInfo("UTM", "meters", kUlx, kUly, kUlx + (kW - 1) * kSize,
                                  kUly - (kH - 1) * kSize, kSize, kSize),
                kprj_MapInfoFree);
        for (int k = 1; k <= layers; ++k) {
            ktest::Err e;
            const std::string layer = file + "(:Layer_" + std::to_string(k) + ")";
            Kimg_Layer *l = kimg_LayerCreate(layer.c_str(), layerType, KGDA_TYPE_U16, kW, kH,
                                             kint_GetInit(), &e, 0);
            EXPECT_TRUE(l) << ktest::messages(e.r);
            if (!l) return file;
            Kgda_BaseData *r = kimg_PixelRectCreate(kW, kH, KGDA_TYPE_F64, &e);
            auto *p = reinterpret_cast<double *>(r->data);
            for (long i = 0; i < kH; ++i)
                for (long j = 0; j < kW; ++j)
                    p[i * kW + j] = value ? value(i, j)
                                    : nulls && i >= 20 && i < 30 && j >= 40 && j < 50
                                        ? 7
                                        : ramp(i, j) + 5000 * (k - 1);
            EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, kW, kH, r, &e), 0);
            kimg_PixelRectDelete(r, nullptr);
            if (nulls) {
                Kgda_BaseData *n =
                    kgda_BaseDataCreate(1, 1, KGDA_TYPE_U16, KGDA_RASTER_OBJECT, nullptr, nullptr);
                *reinterpret_cast<uint16_t *>(n->data) = 7;
                EXPECT_EQ(kimg_LayerRasterNullValueWrite(l, n, &e), 0) << ktest::messages(e.r);
                kgda_BaseDataDelete(n, nullptr);
            }
            EXPECT_EQ(kimg_LayerMapInformationWrite(l, info.get(), &e), 0);
            EXPECT_EQ(kimg_LayerMapProjectionWrite(l, utm.get(), &e), 0);
            EXPECT_EQ(kimg_LayerClose(l, &e), 0) << ktest::messages(e.r);
        }
        kimg_FileNameDequeue(file.c_str(), nullptr);
        return file;
    }

    // A destination layer: pixels, map information, projection, null value
    // and statistics.
    struct Image {
        long width = 0, height = 0;
        std::vector<double> pixels;
        Mi info{nullptr, kprj_MapInfoFree};
        ktest::Params projection;
        std::optional<double> null;
        std::optional<Ksta_Statistics> stats;
        double at(long r, long c) const { return pixels[static_cast<size_t>(r * width + c)]; }
    };
    Image read(const std::string &file, int k = 1) {
        const std::string layer = file + "(:Layer_" + std::to_string(k) + ")";
        Image im;
        ktest::Err e;
        Kimg_Layer *l =
            kimg_LayerOpen(layer.c_str(), kint_GetInit(), &e, KIMG_LAYER_OPTION_READONLY, 0);
        EXPECT_TRUE(l) << layer << ktest::messages(e.r);
        if (!l) return im;
        Kimg_LayerInfo info{};
        kimg_LayerInfoGet(l, &info, nullptr);
        im.width = info.width;
        im.height = info.height;
        Kgda_BaseData *r = kimg_PixelRectCreate(info.width, info.height, KGDA_TYPE_F64, &e);
        EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, info.width, info.height, r, &e), 0);
        const auto *p = reinterpret_cast<const double *>(r->data);
        im.pixels.assign(p, p + info.width * info.height);
        kimg_PixelRectDelete(r, nullptr);
        Kprj_MapInfo *mi = nullptr;
        Kprj_ProParameters *pp = nullptr;
        EXPECT_EQ(kimg_LayerMapInfoGet(l, &mi, &pp, &e), 1) << ktest::messages(e.r);
        im.info.reset(mi);
        im.projection.reset(pp);
        if (Kgda_BaseData *n = kimg_LayerRasterNullValueRead(l, nullptr))
            im.null = *reinterpret_cast<uint16_t *>(n->data), kgda_BaseDataDelete(n, nullptr);
        if (Ksta_Statistics *s = kimg_StatisticsRead(l, nullptr)) im.stats = *s, kmsc_HeapFree(s);
        kimg_LayerClose(l, nullptr);
        kimg_FileNameDequeue(file.c_str(), nullptr);
        return im;
    }

    // Source pixel position (column, row; centres on whole numbers) of the
    // centre of every pixel of a geographic destination, projected exactly.
    std::vector<Kprj_Coordinate> sourcePositions(const Image &im) {
        std::vector<Kprj_Coordinate> points;
        for (long r = 0; r < im.height; ++r)
            for (long c = 0; c < im.width; ++c)
                points.push_back({im.info->upperLeftCenter->x + c * im.info->pixelSize->width,
                                  im.info->upperLeftCenter->y - r * im.info->pixelSize->height});
        Kprj_ProjectionPair *pair = nullptr;
        EXPECT_TRUE(kprj_ProjectionPairGet(kint_GetInit(), &pair, geo.get(), utm.get(), nullptr));
        std::vector<Kprj_Coordinate> out(points.size());
        EXPECT_EQ(kprj_ProjectWithUnits(pair, static_cast<int64_t>(points.size()), points.data(),
                                        "degrees", out.data(), "meters", nullptr),
                  0);
        kprj_ProjectionPairFree(pair);
        for (Kprj_Coordinate &p : out) p = {(p.x - kUlx) / kSize, (kUly - p.y) / kSize};
        return out;
    }
};

TEST_F(Warp, NearestHoldsTheSourceValueAtTheExactPosition) {
    const std::string src = makeSource("utm.img", 2, false), dst = dir.file("geo.img");
    ASSERT_TRUE(ok(src + " " + dst + toGeo + " --tolerance 0.05 -q"));
    for (int k = 1; k <= 2; ++k) {
        SCOPED_TRACE(k);
        const Image im = read(dst, k);
        ASSERT_GT(im.width, kW / 2);
        EXPECT_EQ(kprjtest::str(im.info->units), "degrees");
        EXPECT_EQ(im.projection->proNumber, 0);
        EXPECT_NEAR(im.info->pixelSize->width, im.info->pixelSize->height, 1e-15);
        EXPECT_FALSE(im.null);
        const auto pos = sourcePositions(im);
        long inside = 0, outside = 0;
        for (long i = 0; i < im.height; ++i)
            for (long j = 0; j < im.width; ++j) {
                const Kprj_Coordinate p = pos[static_cast<size_t>(i * im.width + j)];
                // Positions within 0.05 pixels of a pixel edge may go either way.
                const double fx = p.x + 0.5 - std::floor(p.x + 0.5);
                const double fy = p.y + 0.5 - std::floor(p.y + 0.5);
                if (std::min({fx, 1 - fx, fy, 1 - fy}) < 0.05) continue;
                const long c = std::lround(p.x), rr = std::lround(p.y);
                if (c >= 0 && c < kW && rr >= 0 && rr < kH) {
                    ++inside;
                    EXPECT_EQ(im.at(i, j), ramp(rr, c) + 5000 * (k - 1)) << i << " " << j;
                } else {
                    ++outside;
                    EXPECT_EQ(im.at(i, j), 0) << i << " " << j;
                }
            }
        EXPECT_GT(inside, kW * kH / 2);
        EXPECT_GT(outside, 0);  // the rotated footprint leaves corners empty
        ASSERT_TRUE(im.stats);
        EXPECT_EQ(im.stats->maximum, ramp(kH - 1, kW - 1) + 5000 * (k - 1));
    }
    // TIFF files, written and read, give the same pixels.
    const std::string tif = dir.file("geo.tif"), back = dir.file("back.img");
    ASSERT_TRUE(ok(src + " " + tif + toGeo + " --tolerance 0.05 -q"));
    ASSERT_TRUE(ok(tif + " " + back + toUtm33 + " --pixel-size 30 -q"));
    const Image viaTiff = read(tif, 2), direct = read(dst, 2);
    EXPECT_EQ(viaTiff.pixels, direct.pixels);
    EXPECT_NEAR(viaTiff.info->upperLeftCenter->y, direct.info->upperLeftCenter->y, 1e-9);
    EXPECT_EQ(read(back).projection->proZone, 33);
    // Thematic layers take the nearest class whatever method is asked for.
    const std::string classes = makeSource(
        "classes.img", 1, false, 30, 30, [](long, long j) { return j % 2 ? 3 : 9; },
        KIMG_LAYER_THEMATIC);
    ASSERT_TRUE(ok(classes + " " + dir.file("c.img") + toGeo + " --resampling bilinear -q"));
    std::map<double, long> seen;
    for (double v : read(dir.file("c.img")).pixels) ++seen[v];
    EXPECT_EQ(seen.size(), 3u);  // 0 outside, 3 and 9
    EXPECT_GT(seen[3], 100);
    EXPECT_GT(seen[9], 100);
}

TEST_F(Warp, BilinearAndCubicHonourNullValuesAndComeBack) {
    const std::string src = makeSource("utm.img", 1, true), geoFile = dir.file("geo.img");
    ASSERT_TRUE(ok(src + " " + geoFile + toGeo + " --resampling bilinear -q"));
    const Image g = read(geoFile);
    EXPECT_EQ(g.null, std::optional<double>(7));
    const auto pos = sourcePositions(g);
    long checked = 0;
    for (long i = 0; i < g.height; ++i)
        for (long j = 0; j < g.width; ++j) {
            const Kprj_Coordinate p = pos[static_cast<size_t>(i * g.width + j)];
            const double v = g.at(i, j);
            // Outside the source: null. Well inside and away from the null
            // block: the ramp at the exact position. Else null or a value
            // of the ramp's range, never a mix with the null value.
            if (p.x < -0.6 || p.y < -0.6 || p.x > kW - 0.4 || p.y > kH - 0.4) {
                EXPECT_EQ(v, 7) << i << " " << j;
            } else if (p.x > 1 && p.y > 1 && p.x < kW - 2 && p.y < kH - 2 &&
                       (p.x < 38 || p.x > 51 || p.y < 18 || p.y > 31)) {
                EXPECT_NEAR(v, ramp(p.y, p.x), 1.5) << i << " " << j;
                ++checked;
            } else if (v != 7) {
                EXPECT_GE(v, ramp(0, 0) - 1);
                EXPECT_LE(v, ramp(kH - 1, kW - 1) + 1);
            }
        }
    EXPECT_GT(checked, kW * kH / 2);
    ASSERT_TRUE(g.stats);
    EXPECT_GE(g.stats->minimum, ramp(0, 0) - 1);  // null pixels are left out

    // Back into zone 33 with cubic convolution at the source's pixel size.
    const std::string back = dir.file("back.img");
    const Outcome r = run(geoFile + " " + back + toUtm33 + " --resampling cubic --pixel-size 30");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ktest::contains(r.out, "back.img: "));
    const Image b = read(back);
    EXPECT_EQ(kprjtest::str(b.info->units), "meters");
    EXPECT_EQ(b.info->pixelSize->width, 30);
    EXPECT_EQ(b.projection->proZone, 33);
    long compared = 0;
    for (long i = 0; i < b.height; ++i)
        for (long j = 0; j < b.width; ++j) {
            const double x = (b.info->upperLeftCenter->x + j * 30 - kUlx) / kSize;
            const double y = (kUly - (b.info->upperLeftCenter->y - i * 30)) / kSize;
            if (x < 3 || y < 3 || x > kW - 4 || y > kH - 4 ||
                (x > 36 && x < 53 && y > 16 && y < 33))
                continue;
            ++compared;
            // Within a pixel of where it started: the ramp rises 10 a pixel.
            EXPECT_NEAR(b.at(i, j), ramp(y, x), 11) << i << " " << j;
        }
    EXPECT_GT(compared, kW * kH / 3);
}

TEST_F(Warp, ExitStatusesAndMessages) {
    const std::string src = makeSource("utm.img", 1, false), out = dir.file("o.img");
    const std::string plain = dir.file("plain.img");  // no georeferencing
    ASSERT_EQ(tooltest::run(dir, "create " + plain + " --size 4x4 --type u8").status, 0);
    const std::string &to = toGeo;
    const struct {
        std::string args;
        int status;
        const char *message;
    } cases[] = {
        {src + to, 2, "a source and a destination are needed"},
        {src + " " + out, 2, "--to SYSTEM is needed"},
        {src + " " + out + to + " --resampling lanczos", 2, "--resampling must be nearest"},
        {src + " " + out + to + " --pixel-size 0", 2, "--pixel-size must be one or two"},
        {src + " " + out + to + " --pixel-size 1,2,3", 2, "--pixel-size must be one or two"},
        {src + " " + out + to + " --tolerance -1", 2, "--tolerance must be a positive"},
        {src + " " + out + to + " --bogus", 2, "unknown option --bogus"},
        {dir.file("missing.img") + " " + out + to, 1, "missing.img: No such file"},
        {src + " " + src + to, 1, "already exists"},
        {src + " " + out + " --to Nowhere", 1, "unknown projection \"Nowhere\""},
        {src + " " + out + " --to 'UTM;zone=x'", 1, "bad setting \"zone=x\""},
        {src + " " + out + " --to EPSG:0", 1, "reading the system \"EPSG:0\" failed"},
        {src + " " + out + " --to " + dir.file("none.prj"), 1, "none.prj\" failed"},
        {plain + " " + out + to, 1, "has no map information and projection"},
        {src + " " + out + to + " --pixel-size 1e-9", 1, "is out of reach"},
    };
    for (const auto &c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_TRUE(ktest::contains(r.err, c.message)) << c.args;
        EXPECT_EQ(ktest::contains(r.err, "usage: kraster warp"), c.status == 2) << c.args;
        EXPECT_NE(access(out.c_str(), F_OK), 0) << c.args;  // nothing left behind
    }
    const Outcome help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: kraster warp SOURCE DESTINATION --to SYSTEM", 0), 0u)
        << help.out;
}

// Progress on the standard error, and Ctrl-C in the middle leaves no
// destination behind.
TEST_F(Warp, ProgressAndInterruption) {
    const std::string src = makeSource("big.img", 1, false, 2500, 2500), dst = dir.file("o.img");
    const tooltest::Outcome r =
        tooltest::interrupted({"warp", "--progress", src, dst, "--to", kGeographic});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(ktest::contains(r.err, dst + ": Layer_1"));
    EXPECT_TRUE(ktest::contains(r.err, "warping (interrupted) failed"));
    EXPECT_NE(access(dst.c_str(), F_OK), 0);
}

// Systems the external projection engine reads: an EPSG code and a
// projection text file give the same image as the built-in UTM zone 34.
TEST_F(Warp, SystemsOfTheProjectionEngine) {
    ktest::Params probe(kprj_ProParametersFromSystemText(kint_GetInit(), "EPSG:32634", nullptr));
    ASSERT_TRUE(probe) << "the projection engine reads EPSG:32634";
    const std::string src = makeSource("utm.img", 1, false), prj = dir.file("utm34.prj");
    ASSERT_EQ(kprj_PEPrjWrite(prj.c_str(), probe.get(), nullptr), 0);
    const std::string systems[] = {"'UTM;zone=34;north;spheroid=WGS 84;datum=WGS 84'", "EPSG:32634",
                                   prj};
    std::vector<Image> out;
    for (const std::string &to : systems) {
        SCOPED_TRACE(to);
        const std::string dst = dir.file(std::to_string(out.size()) + ".img");
        ASSERT_TRUE(ok(src + " " + dst + " --to " + to + " -q"));
        out.push_back(read(dst));
        const Image &a = out.front(), &b = out.back();
        EXPECT_EQ(b.projection->proNumber, 1);
        EXPECT_EQ(b.projection->proZone, 34);
        ASSERT_EQ((std::vector<long>{a.width, a.height}), (std::vector<long>{b.width, b.height}));
        EXPECT_NEAR(a.info->upperLeftCenter->x, b.info->upperLeftCenter->x, 1e-3);
        EXPECT_NEAR(a.info->upperLeftCenter->y, b.info->upperLeftCenter->y, 1e-3);
        EXPECT_EQ(a.pixels, b.pixels);
    }
}

}  // namespace
