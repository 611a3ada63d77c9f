// The image-file level over the real plug-ins: TIFF layers added while open,
// copies and their meter, failed copies between formats, and image chips with
// their ".chp" file.
#include <gtest/gtest.h>

#include <kraster/kraster.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

using ktest::Err;

class FileLevel : public ::testing::Test {
  protected:
    void SetUp() override {
        Err e;
        ASSERT_TRUE(kint_InitToolkit(&e));
        kimg_RasterFormatsReset();
    }
    void TearDown() override { kimg_RasterFormatsReset(); }
    ktest::TempDir dir;
    ktest::ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache").c_str()};

    std::string layer(const std::string &file, int i) {
        return file + "(:Layer_" + std::to_string(i) + ")";
    }
    // Writes a layer of the given values (f64 row-major, converted to the type).
    void create(const std::string &name, int32_t type, long w, long h,
                const std::vector<double> &v) {
        Err e;
        Kimg_Layer *l =
            kimg_LayerCreate(name.c_str(), KIMG_LAYER_ATHEMATIC, type, w, h, kint_GetInit(), &e, 0);
        ASSERT_NE(l, nullptr) << name << ktest::messages(e.r);
        Kgda_BaseData *r = kimg_PixelRectCreate(w, h, KGDA_TYPE_F64, &e);
        std::copy(v.begin(), v.end(), reinterpret_cast<double *>(r->data));
        EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, w, h, r, &e), 0) << ktest::messages(e.r);
        kimg_PixelRectDelete(r, nullptr);
        EXPECT_EQ(kimg_LayerClose(l, &e), 0) << ktest::messages(e.r);
    }
    // The pixels of a layer as f64.
    std::vector<double> read(const std::string &name) {
        Err e;
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), kint_GetInit(), &e, 0);
        EXPECT_NE(l, nullptr) << name << ktest::messages(e.r);
        if (!l) return {};
        Kimg_LayerInfo info;
        kimg_LayerInfoGet(l, &info, &e);
        Kgda_BaseData *r = kimg_PixelRectCreate(info.width, info.height, KGDA_TYPE_F64, &e);
        EXPECT_EQ(kimg_LayerRasterPixelRectGet(l, 0, 0, info.width, info.height, r, &e), 0);
        const auto *p = reinterpret_cast<const double *>(r->data);
        std::vector<double> out(p, p + info.width * info.height);
        kimg_PixelRectDelete(r, nullptr), kimg_LayerClose(l, nullptr);
        return out;
    }
    bool exists(const std::string &name) { return access(name.c_str(), F_OK) == 0; }
};

std::vector<double> noise(long n, double top, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<double> v(static_cast<size_t>(n));
    for (double &x : v) x = static_cast<double>(rng() % static_cast<unsigned>(top + 1));
    return v;
}

// A TIFF rewrites itself to add a layer. Layers added one after another while
// the file stays open (each rewrite reading the previous one), with blocks of
// the first layer never written, keep every pixel.
TEST_F(FileLevel, TiffLayersAddedWhileTheFileStaysOpen) {
    const long w = 300, h = 280;
    const std::string tif = dir.file("open.tif");
    Err e;
    Kimg_Layer *first = kimg_LayerCreate(layer(tif, 1).c_str(), KIMG_LAYER_ATHEMATIC, KGDA_TYPE_U8,
                                         w, h, kint_GetInit(), &e, 0);
    ASSERT_NE(first, nullptr) << ktest::messages(e.r);
    Kgda_BaseData *r = kimg_PixelRectCreate(10, 10, KGDA_TYPE_U8, &e);
    for (int i = 0; i < 100; ++i) r->data[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(kimg_LayerRasterPixelRectSet(first, 5, 7, 10, 10, r, &e), 0) << ktest::messages(e.r);
    kimg_PixelRectDelete(r, nullptr);
    ASSERT_EQ(kimg_LayerClose(first, &e), 0) << ktest::messages(e.r);
    std::vector<double> expect1(static_cast<size_t>(w * h), 0.0);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            expect1[static_cast<size_t>((7 + y) * w + 5 + x)] = y * 10 + x + 1;
    const std::vector<double> b2 = noise(w * h, 255, 2), b3 = noise(w * h, 255, 3);
    create(layer(tif, 2), KGDA_TYPE_U8, w, h, b2);
    create(layer(tif, 3), KGDA_TYPE_U8, w, h, b3);
    ASSERT_EQ(kimg_FileNameDequeue(tif.c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_EQ(read(layer(tif, 1)), expect1);
    EXPECT_EQ(read(layer(tif, 2)), b2);
    EXPECT_EQ(read(layer(tif, 3)), b3);
    // No rewrite is left behind beside the image.
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".new") << entry.path();
}

// A copy between formats that fails part way leaves no destination and the
// source untouched. A whole-file copy tells its meter at the start and the
// end; a stop asked for at the end removes the copy with its support files.
TEST_F(FileLevel, FailedAndCancelledCopiesLeaveNoDestination) {
    // TIFF takes only layers shaped like the first: the second layer of this
    // image fails after the first was written.
    const std::string img = dir.file("m.img"), tif = dir.file("m.tif");
    create(layer(img, 1), KGDA_TYPE_U8, 20, 10, noise(200, 255, 1));
    create(layer(img, 2), KGDA_TYPE_U8, 30, 10, noise(300, 255, 2));
    ktest::writeFile(dir.file("m.rrd"), "not ours");
    Err e;
    ktest::PrintedReports printed;
    EXPECT_EQ(kimg_FileCopy(img.c_str(), tif.c_str(), &e, 0), -1);
    EXPECT_SAYS(e, "Copy of " + img + " to " + tif + " failed");
    EXPECT_FALSE(exists(tif));
    EXPECT_FALSE(exists(dir.file("m.aux")));
    EXPECT_EQ(ktest::readFile(dir.file("m.rrd")), "not ours");
    struct Seen {
        std::vector<double> fractions;
        double stopAt;
    };
    auto update = [](double f, const char *task, void *client) {
        auto *s = static_cast<Seen *>(client);
        s->fractions.push_back(f);
        EXPECT_STREQ(task, "Copying file");
        return f >= s->stopAt ? 1 : 0;
    };
    for (const double stopAt : {2.0, 1.0, 0.0}) {
        Seen seen{{}, stopAt};
        const Kimg_Meter meter{update, &seen};
        const std::string copy = dir.file("w" + std::to_string(static_cast<int>(stopAt)) + ".img");
        Err e;
        const int rc =
            kimg_FileCopy(img.c_str(), copy.c_str(), &e, KIMG_FILE_COPY_OPTION_METER, &meter, 0);
        if (stopAt > 1) {
            EXPECT_EQ(rc, 0) << ktest::messages(e.r);
            EXPECT_EQ(seen.fractions, (std::vector<double>{0.0, 1.0}));
            EXPECT_EQ(read(layer(copy, 2)), read(layer(img, 2)));
        } else {
            EXPECT_EQ(rc, -1) << stopAt;
            EXPECT_SAYS(e, "User abort");
            EXPECT_EQ(seen.fractions.back(), stopAt);
            EXPECT_FALSE(exists(copy)) << stopAt;
        }
    }
}

std::vector<uint8_t> pixels(const Kgda_BaseData *r) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < r->numrows; ++y)
        out.insert(out.end(), r->windowStart + y * r->pitch,
                   r->windowStart + y * r->pitch + r->numcolumns);
    return out;
}

TEST_F(FileLevel, ImageChipsSampleStretchAndKeepTheirFile) {
    // Seven layers: 100 x 40 u16 whose pixel (x, y) is 1000 x layer + 10 x +
    // y; the chip of size 10 is 10 x 4, pixel (cx, cy) sampled at x = 10 cx +
    // 5, y = 10 cy + 5.
    const long w = 100, h = 40;
    const std::string img = dir.file("tm.img"), chp = dir.file("tm.chp");
    for (int i = 1; i <= 7; ++i) {
        std::vector<double> v(w * h);
        for (long y = 0; y < h; ++y)
            for (long x = 0; x < w; ++x) v[y * w + x] = 1000.0 * i + 10.0 * x + y;
        create(layer(img, i), KGDA_TYPE_U16, w, h, v);
    }
    Err e;
    // The first pixel of a chip that is not stored, or -1.
    auto firstPixel = [&](const std::string &file, long size) {
        Kgda_BaseDataStack *c = kimg_FileImageChipGet(file.c_str(), size, 0, &e);
        const int v = c ? c->layers[0]->windowStart[0] : -1;
        kgda_BaseDataStackDelete(c, nullptr);
        return v;
    };
    Kgda_BaseDataStack *chip = kimg_FileImageChipGet(img.c_str(), 10, 0, &e);
    ASSERT_NE(chip, nullptr) << ktest::messages(e.r);
    ASSERT_EQ(chip->numberOfLayers, 3);
    EXPECT_FALSE(exists(chp));
    // Sampled values run from 55 to 935 + 35 in x and y; stretched to 0..255.
    std::vector<uint8_t> expect;
    for (long cy = 0; cy < 4; ++cy)
        for (long cx = 0; cx < 10; ++cx) {
            double v = 100.0 * cx + 10.0 * cy;  // sample minus the smallest
            expect.push_back(static_cast<uint8_t>(std::lround(v * 255.0 / 930.0)));
        }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(chip->layers[i]->numcolumns, 10);
        EXPECT_EQ(chip->layers[i]->numrows, 4);
        EXPECT_EQ(chip->layers[i]->datatype, KGDA_TYPE_U8);
        EXPECT_EQ(pixels(chip->layers[i]), expect) << i;
    }
    kgda_BaseDataStackDelete(chip, nullptr);

    // The preferred bands 4, 3 and 2 are shown; with fewer layers than they
    // name, the first three; one layer: grey. Never larger than the image.
    const struct {
        const char *file;
        int layers;
        ktest::Ints want;
    } shown[] = {
        {"five.img", 5, {40, 30, 20}}, {"two.img", 3, {10, 20, 30}}, {"one.img", 1, {10, 10, 10}}};
    for (const auto &c : shown) {
        const std::string file = dir.file(c.file);
        for (int i = 1; i <= c.layers; ++i)
            create(layer(file, i), KGDA_TYPE_U8, 3, 2, std::vector<double>(6, 10 * i));
        chip = kimg_FileImageChipGet(file.c_str(), 64, 0, &e);
        ASSERT_NE(chip, nullptr) << ktest::messages(e.r);
        EXPECT_EQ(chip->layers[0]->numcolumns, 3);
        EXPECT_EQ((ktest::Ints{chip->layers[0]->windowStart[5], chip->layers[1]->windowStart[5],
                               chip->layers[2]->windowStart[5]}),
                  c.want)
            << c.file;
        kgda_BaseDataStackDelete(chip, nullptr);
    }

    // Stored: the ".chp" file holds the chip, and a later call reads it (a
    // mark written into it shows through) while it is not older than the
    // image and of the size asked for.
    chip = kimg_FileImageChipGet(img.c_str(), 10, 1, &e);
    ASSERT_NE(chip, nullptr) << ktest::messages(e.r);
    kgda_BaseDataStackDelete(chip, nullptr);
    ASSERT_TRUE(exists(chp));
    EXPECT_EQ(read(layer(chp, 2)), std::vector<double>(expect.begin(), expect.end()));
    {
        Kimg_Layer *l = kimg_LayerOpen(layer(chp, 1).c_str(), kint_GetInit(), &e, 0);
        ASSERT_NE(l, nullptr) << ktest::messages(e.r);
        Kgda_BaseData *r = kimg_PixelRectCreate(1, 1, KGDA_TYPE_U8, &e);
        r->data[0] = 254;
        EXPECT_EQ(kimg_LayerRasterPixelRectSet(l, 0, 0, 1, 1, r, &e), 0);
        kimg_PixelRectDelete(r, nullptr), kimg_LayerClose(l, &e);
        kimg_FileNameDequeue(chp.c_str(), &e);
        // Newer than the image, whatever the clock did meanwhile.
        struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 50, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, chp.c_str(), later, 0), 0);
    }
    EXPECT_EQ(firstPixel(img, 10), 254);
    chip = kimg_FileImageChipGet(img.c_str(), 20, 0, &e);  // another size: computed
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->layers[0]->numcolumns, 20);
    EXPECT_EQ(chip->layers[0]->windowStart[0], 0);
    kgda_BaseDataStackDelete(chip, nullptr);
    // An image newer than its chip file: computed again.
    struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    kimg_FileNameDequeue(img.c_str(), &e);
    ASSERT_EQ(utimensat(AT_FDCWD, img.c_str(), times, 0), 0);
    EXPECT_EQ(firstPixel(img, 10), 0);
    // Copy, rename and destroy take the chip file along.
    ASSERT_EQ(kimg_FileRename(img.c_str(), dir.file("tn.img").c_str(), &e), 0)
        << ktest::messages(e.r);
    EXPECT_TRUE(exists(dir.file("tn.chp")));
    ASSERT_EQ(kimg_FileDestroy(dir.file("tn.img").c_str(), &e), 0) << ktest::messages(e.r);
    EXPECT_FALSE(exists(dir.file("tn.chp")));

    // Failures: each with its report.
    const struct {
        const char *name;
        long size;
        const char *message;
    } bad[] = {
        {nullptr, 10, "No file name"},
        {"one.img", 0, "Invalid chip size 0"},
        {"one.img", 4097, "Invalid chip size 4097"},
        {"none.img", 10, "layers cannot be listed"},
    };
    for (const auto &b : bad) {
        Err be;
        std::string name = b.name ? dir.file(b.name) : "";
        EXPECT_EQ(kimg_FileImageChipGet(b.name ? name.c_str() : nullptr, b.size, 0, &be), nullptr);
        EXPECT_SAYS(be, b.message);
    }
}

}  // namespace
