// The native format plug-in through its exported entry points, loaded from
// the build tree's plug-in directory.
#include <gtest/gtest.h>

#include <kraster/kraster.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "rf_fixture.hpp"
#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

using ktest::Err;

struct MiravenFile {
    static constexpr const char *name = "libmiraven.so";
};
using Miraven = rftest::PluginTest<MiravenFile>;

struct Shape {
    long width, height, bw, bh;
};

int bytesOf(long pixelType) {
    return kmsc_AddressOf_kgda_NumBytesPerPixel()[pixelType];
}

// Deterministic block contents: random bytes or a constant, sub-byte values
// masked to their bits, every pixel of the block (outside ones too) set.
std::vector<uint8_t> blockData(long pixelType, const Shape &s, long row, long col) {
    std::vector<uint8_t> v(static_cast<size_t>(s.bw * s.bh * bytesOf(pixelType)));
    std::mt19937 rng(static_cast<unsigned>(pixelType * 1000 + row * 31 + col));
    const bool constant = (row + col) % 2 == 1;
    const uint8_t c = static_cast<uint8_t>(rng());
    for (auto &b : v) b = constant ? c : static_cast<uint8_t>(rng());
    const int bits = kmsc_AddressOf_kgda_NumBitsPerPixel()[pixelType];
    if (bits < 8)
        for (auto &b : v) b &= static_cast<uint8_t>((1 << bits) - 1);
    return v;
}

// Expected read-back: pixels outside the layer are 0.
std::vector<uint8_t> expected(std::vector<uint8_t> v, long pixelType, const Shape &s, long row,
                              long col) {
    const int px = bytesOf(pixelType);
    for (long y = 0; y < s.bh; ++y)
        for (long x = 0; x < s.bw; ++x)
            if (col * s.bw + x >= s.width || row * s.bh + y >= s.height)
                memset(&v[(y * s.bw + x) * px], 0, px);
    return v;
}

TEST_F(Miraven, InstanceListsAndIdentification) {
    // The plug-in's own lists.
    using Names = std::vector<std::string>;
    auto list = [](long (*get)(long *, char ***)) {
        long n = 0;
        char **names = nullptr;
        return get(&n, &names) == 0 ? Names(names, names + n) : Names{"failed"};
    };
    EXPECT_EQ(list(rf.InstanceTitleListGet), Names{"MIRAVEN Image"});
    EXPECT_EQ(list(rf.InstanceTemplateListGet), Names{"*.img"});
    EXPECT_EQ(list(rf.InstanceCompressionTypesGet),
              (Names{"None", "Run-Length Encoding (ESRI)", "Zstandard"}));
    EXPECT_EQ(list(rf.InstancePixelTypesGet).size(), 13u);
    EXPECT_NE(rf.InstanceIsThreadsafe(), 0);

    Err e;
    const std::string img = dir.file("a.img"), rrd = dir.file("a.rrd"), aux = dir.file("a.aux");
    // Pyramid and support files are files of the one native title.
    for (const auto &name : {img, rrd, aux}) {
        long t = -1;
        void *f = rf.FileTitleIdentifyAndOpen(name.c_str(), &t, "w+b", &e);
        ASSERT_NE(f, nullptr) << ktest::messages(e.r);
        EXPECT_EQ(t, 0);
        ASSERT_EQ(rf.FileClose(f, &e), 0);
        for (long asked : {-1L, 0L, 5L}) {
            t = asked;
            EXPECT_EQ(rf.FileTitleIdentify(name.c_str(), &t, &e), 0);
            EXPECT_EQ(t, 0);
        }
        t = -1;
        errno = 0;
        EXPECT_EQ(rf.FileTitleIdentifyAndOpen(name.c_str(), &t, nullptr, &e), nullptr);
        EXPECT_EQ(t, 0);
    }
    long t = -1;
    errno = 0;
    EXPECT_EQ(rf.FileTitleIdentifyAndOpen(img.c_str(), &t, "w+b", &e), nullptr);
    EXPECT_EQ(errno, KIMG_RF_STATUS_FILE_EXISTS);
    ktest::writeFile(dir.file("text.img"), "not an image at all");
    struct Case {
        std::string name;
        long title;
        int status;
    } cases[] = {{dir.file("text.img"), -1, KIMG_RF_STATUS_UNRECOGNIZED},
                 {dir.file("text.img"), 0, KIMG_RF_STATUS_MISMATCH},
                 {dir.file("none.img"), -1, KIMG_RF_STATUS_NO_SUCH_FILE}};
    for (const auto &c : cases) {
        t = c.title;
        errno = 0;
        EXPECT_LT(rf.FileTitleIdentify(c.name.c_str(), &t, &e), 0);
        EXPECT_EQ(errno, c.status);
        EXPECT_EQ(t, -1);
        EXPECT_FALSE(e) << "not recognising a file is not an error";
        EXPECT_EQ(rf.FileTitleIdentifyAndOpen(c.name.c_str(), &t, "r", &e), nullptr);
    }
    EXPECT_EQ(rf.FileOpen(img.c_str(), 0, "a", &e), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(e);
}

// Copies of the blocks a visit hands out; or none, refused.
struct Lent {
    size_t bytes;
    std::vector<std::vector<uint8_t>> blocks;
};
int keep(void *client, long, const void *pixels) {
    auto &l = *static_cast<Lent *>(client);
    const auto *p = static_cast<const uint8_t *>(pixels);
    l.blocks.emplace_back(p, p + l.bytes);
    return 0;
}
int refuse(void *, long, const void *) {
    return 1;
}

// Every pixel type with every compression, written block by block, closed,
// reopened and read back, edge blocks partial in both directions.
TEST_F(Miraven, EveryPixelTypeAndCompressionRoundTrips) {
    const Shape s{70, 45, 32, 16};
    const std::string name = dir.file("all.img");
    Err e;
    long t = -1;
    void *f = rf.FileTitleIdentifyAndOpen(name.c_str(), &t, "w+b", &e);
    ASSERT_NE(f, nullptr) << ktest::messages(e.r);
    const long across = 3, down = 3;
    for (long comp = 0; comp < 3; ++comp)
        for (long pt = 0; pt < 13; ++pt) {
            const std::string layer = ":L" + std::to_string(comp) + "_" + std::to_string(pt);
            long bw = s.bw, bh = s.bh;
            void *l =
                rf.LayerCreate(f, layer.c_str(), 1, pt, s.width, s.height, comp, &bw, &bh, &e);
            ASSERT_NE(l, nullptr) << layer << ktest::messages(e.r);
            ASSERT_EQ(bw, s.bw);
            // Its twin ":R..." gets the same blocks in runs: rows 0 and 2 whole,
            // twice (new, then in place), row 1 as two runs of one block.
            long bw2 = s.bw, bh2 = s.bh;
            void *twin = rf.LayerCreate(f, (":R" + layer.substr(2)).c_str(), 1, pt, s.width,
                                        s.height, comp, &bw2, &bh2, &e);
            ASSERT_NE(twin, nullptr);
            for (long r = 0; r < down; ++r) {
                std::vector<uint8_t> run;
                for (long c = 0; c < across; ++c) {
                    const auto v = blockData(pt, s, r, c);
                    run.insert(run.end(), v.begin(), v.end());
                    if (r == 1 && c == 1) continue;  // left unwritten
                    ASSERT_EQ(rf.LayerRasterWrite(l, r, c, v.data(), &e), 0)
                        << ktest::messages(e.r);
                    if (r == 1) {
                        ASSERT_EQ(rf.LayerRasterWriteRun(twin, r, c, 1, v.data(), &e), 0);
                    }
                }
                for (int again = 0; r != 1 && again < 2; ++again)
                    ASSERT_EQ(rf.LayerRasterWriteRun(twin, r, 0, across, run.data(), &e), 0)
                        << ktest::messages(e.r);
            }
            // A run past the end of its row.
            errno = 0;
            const std::vector<uint8_t> three(static_cast<size_t>(3 * s.bw * s.bh * bytesOf(pt)));
            EXPECT_LT(rf.LayerRasterWriteRun(twin, 0, 1, across, three.data(), &e), 0);
            EXPECT_EQ(errno, EIO);
            EXPECT_TRUE(ktest::contains(ktest::messages(e.r),
                                        "Run of 3 blocks from (0, 1) is outside layer"));
            ASSERT_EQ(rf.LayerClose(twin, &e), 0);
            if (pt == 3) {  // a null value for the unwritten block
                uint8_t nv = 7;
                Kgda_BaseData *bd = kgda_BaseDataCreate(1, 1, KGDA_TYPE_U8, 0, &nv, &e);
                ASSERT_EQ(rf.LayerRasterNullValueWrite(l, bd, &e), 0);
                kgda_BaseDataDelete(bd, &e);
            }
            ASSERT_EQ(rf.LayerClose(l, &e), 0);
        }
    ASSERT_EQ(rf.FileClose(f, &e), 0);

    f = rf.FileOpen(name.c_str(), 0, "r", &e);
    ASSERT_NE(f, nullptr) << ktest::messages(e.r);
    long count = 0;
    char **names = nullptr;
    ASSERT_EQ(rf.FileLayerNamesGet(f, &count, &names, &e), 0);
    ASSERT_EQ(count, 78);
    EXPECT_EQ(rftest::taken(count, names)[0], ":L0_0");
    for (long comp = 0; comp < 3; ++comp)
        for (long pt = 0; pt < 13; ++pt) {
            SCOPED_TRACE("compression " + std::to_string(comp) + " type " + std::to_string(pt));
            const std::string layer = ":L" + std::to_string(comp) + "_" + std::to_string(pt);
            long w, h, p, c, lt, bw, bh;
            void *l = rf.LayerOpen(f, layer.c_str(), &w, &h, &p, &c, &lt, &bw, &bh, &e);
            ASSERT_NE(l, nullptr);
            EXPECT_EQ(std::vector<long>({w, h, p, c, lt, bw, bh}),
                      std::vector<long>({s.width, s.height, pt, comp, 1, s.bw, s.bh}));
            void *twin = rf.LayerOpen(f, (":R" + layer.substr(2)).c_str(), &w, &h, &p, &c, &lt, &bw,
                                      &bh, &e);
            ASSERT_NE(twin, nullptr);
            std::vector<uint8_t> back(static_cast<size_t>(s.bw * s.bh * bytesOf(pt)));
            Lent lent{back.size(), {}};
            // Columns x0 on of block col and on, rows 2 on, of block row r read
            // at the given pitch: the pixels of the blocks lent for the row.
            auto readPart = [&](long r, long col, long x0, long cols, long pitch) {
                const long px = bytesOf(pt), rows = s.bh - 3, y0 = 2;
                std::vector<uint8_t> part(static_cast<size_t>(pitch * rows), 0xee);
                ASSERT_EQ(
                    rf.LayerRasterReadPart(l, r, col, x0, y0, cols, rows, part.data(), pitch, &e),
                    0)
                    << ktest::messages(e.r);
                for (long y = 0; y < rows; ++y)
                    for (long x = 0; x < cols; ++x) {
                        const long X = col * s.bw + x0 + x;
                        ASSERT_EQ(
                            0,
                            memcmp(&part[y * pitch + x * px],
                                   &lent.blocks[X / s.bw][((y0 + y) * s.bw + X % s.bw) * px], px))
                            << "part from " << col << "," << x0 << " of row " << r << " at " << x
                            << "," << y;
                    }
            };
            for (long r = 0; r < down; ++r) {
                // Blocks lent a row at a time (in place or copied) read as
                // blocks read one by one.
                lent.blocks.clear();
                ASSERT_EQ(rf.LayerRasterVisit(l, r, 0, across, keep, &lent, &e), 0);
                ASSERT_EQ(lent.blocks.size(), static_cast<size_t>(across));
                for (long col = 0; col < across; ++col) {
                    ASSERT_EQ(rf.LayerRasterRead(l, r, col, back.data(), &e), 0);
                    auto want = blockData(pt, s, r, col);
                    if (r == 1 && col == 1) std::fill(want.begin(), want.end(), pt == 3 ? 7 : 0);
                    ASSERT_EQ(back, expected(want, pt, s, r, col)) << r << "," << col;
                    ASSERT_EQ(lent.blocks[col], back) << r << "," << col;
                    // Blocks written in runs are stored as those written singly.
                    unsigned char *one = nullptr, *two = nullptr;
                    long n1 = 0, n2 = 0;
                    ASSERT_EQ(rf.LayerRasterReadMIF(l, r, col, &one, &n1, &e), 0);
                    ASSERT_EQ(rf.LayerRasterReadMIF(twin, r, col, &two, &n2, &e), 0);
                    if (r != 1 || col != 1) {
                        EXPECT_EQ(std::vector<uint8_t>(one, one + n1),
                                  std::vector<uint8_t>(two, two + n2))
                            << "stored " << r << "," << col;
                    }
                    kmsc_HeapFree(one), kmsc_HeapFree(two);
                    // Part of the block at a wider pitch gives the same pixels.
                    readPart(r, col, 3, s.bw - 5, s.bw * bytesOf(pt) + 5);
                }
                // Parts that run on into the blocks to the right read as the
                // blocks side by side: the first two blocks (in place when
                // stored as in memory) and the whole row (an edge block).
                for (const long x0 : {3L, 1L}) {
                    const long cols = x0 == 3 ? 2 * s.bw - 4 : across * s.bw - 2;
                    readPart(r, 0, x0, cols, cols * bytesOf(pt) + 3);
                }
            }
            errno = 0;
            EXPECT_LT(rf.LayerRasterReadPart(l, 0, 1, 0, 0, across * s.bw, 1, back.data(),
                                             across * s.bw * 16, &e),
                      0);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_SAYS(e, "Part of block row 0 past the end of layer");
            errno = 0;
            EXPECT_LT(rf.LayerRasterRead(l, down, 0, back.data(), &e), 0);
            EXPECT_TRUE(e);
            const struct {
                long row, count;
                Kimg_RFBlockVisitFunc visit;
                int status;
                const char *says;
            } refusals[] = {{down, 1, keep, EIO, "is outside layer"},
                            {0, 1, nullptr, EINVAL, "Invalid arguments"},
                            {0, across, refuse, ECANCELED, "Block (0, 0) of"}};
            for (const auto &c : refusals) {
                errno = 0;
                EXPECT_LT(rf.LayerRasterVisit(l, c.row, 0, c.count, c.visit, &lent, &e), 0);
                EXPECT_EQ(errno, c.status);
                EXPECT_SAYS(e, c.says);
            }
            EXPECT_LT(rf.LayerRasterReadPart(l, 0, 0, 0, 1, s.bw, s.bh, back.data(), s.bw * 16, &e),
                      0);
            EXPECT_SAYS(e, "Part of block (0, 0) outside the block");
            EXPECT_LT(rf.LayerRasterWrite(l, 0, 0, back.data(), &e), 0);
            EXPECT_EQ(errno, EACCES);
            errno = 0;
            EXPECT_LT(rf.LayerRasterWriteRun(l, 0, 0, 1, back.data(), &e), 0);
            EXPECT_EQ(errno, EACCES);
            ASSERT_EQ(rf.LayerClose(twin, &e), 0);
            ASSERT_EQ(rf.LayerClose(l, &e), 0);
        }
    ASSERT_EQ(rf.FileClose(f, &e), 0);
}

// Support data of a file: objects, dependents, names, layer attributes.
TEST_F(Miraven, ObjectsNamesAndLayerAttributes) {
    const std::string name = dir.file("meta.img");
    Err e;
    void *f = rf.FileOpen(name.c_str(), 0, "w+b", &e);
    long bw = 0, bh = 0;
    void *a = rf.LayerCreate(f, ":a", 0, 3, 10, 300, 0, &bw, &bh, &e);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::make_pair(bw, bh), std::make_pair(10L, 64L));
    bw = bh = 0;
    void *b = rf.LayerCreate(f, ":b", 1, 9, 5, 5, 2, &bw, &bh, &e);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(rf.LayerCreate(f, ":a", 1, 3, 5, 5, 0, &bw, &bh, &e), nullptr);
    EXPECT_TRUE(e);
    // An object: {1:lx,1:dy,} with x = 5, y = 2.5, stored below a new node too.
    const char *dict = "{1:lx,1:dy,}Tst_Obj,.";
    unsigned char bytes[12] = {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x40};
    unsigned char *data = nullptr;
    long size = 0;
    char *d = nullptr, *type = nullptr;
    for (const char *path : {":a:Tst", ":extra:deep:Tst"}) {
        ASSERT_EQ(rf.FileDataWrite(f, path, bytes, 12, dict, "Tst_Obj", &e), 0)
            << ktest::messages(e.r);
        ASSERT_EQ(rf.FileDataRead(f, path, &data, &size, &d, &type, &e), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size),
                  std::string(reinterpret_cast<char *>(bytes), 12));
        EXPECT_STREQ(d, dict);
        EXPECT_STREQ(type, "Tst_Obj");
        kmsc_HeapFree(data), kmsc_HeapFree(d), kmsc_HeapFree(type);
        int64_t when = 0;
        EXPECT_EQ(rf.FileDataModTimeGet(f, path, &when, &e), 0);
        EXPECT_GT(when, 1600000000);
    }
    EXPECT_LT(rf.FileDataWrite(f, ":a:Tst", bytes, 12, "{1:lx,}Tst_Obj,.", "Tst_Obj", &e), 0);
    // A design the object uses that the file holds differently is refused too.
    EXPECT_LT(rf.FileDataWrite(f, ":a:Wrap", bytes, 12, "{1:lx,}Tst_Obj,{1:oTst_Obj,v,}Wrap,.",
                               "Wrap", &e),
              0);
    EXPECT_SAYS(e, "Design Tst_Obj differs");
    EXPECT_LT(rf.FileDataWrite(f, ":a", bytes, 12, dict, "Tst_Obj", &e), 0);  // the layer record
    EXPECT_LT(rf.FileDataWrite(f, ":a:Tst", bytes, 12, dict, "Missing", &e), 0);
    ASSERT_EQ(rf.FileDataDestroy(f, ":a:Tst", &e), 0);
    errno = 0;
    EXPECT_LT(rf.FileDataRead(f, ":a:Tst", &data, &size, &d, &type, &e), 0);
    EXPECT_EQ(errno, KIMG_RF_STATUS_NO_SUCH_FILE);
    EXPECT_LT(rf.FileDataDestroy(f, ":a:BlockTable", &e), 0);

    char *text = nullptr;
    ASSERT_EQ(rf.FileDependentSet(f, "image.tif", &e), 0);
    ASSERT_EQ(rf.FileDependentLayerNameSet(f, ":b", ":Band_2", &e), 0);
    const char *rrd[] = {":a_ss_2_", ":a_ss_4_"};
    ASSERT_EQ(rf.LayerRRDLayerNamesSet(a, 2, rrd, &e), 0);
    Kgda_BaseData *bd = kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, 0, nullptr, &e);
    errno = 0;
    EXPECT_LT(rf.LayerRasterNullValueRead(b, bd, &e), 0);
    EXPECT_EQ(errno, KIMG_RF_STATUS_NO_SUCH_FILE);
    reinterpret_cast<double *>(bd->windowStart)[0] = -1.5;
    ASSERT_EQ(rf.LayerRasterNullValueWrite(b, bd, &e), 0);
    ASSERT_EQ(rf.LayerLayerTypeWrite(a, 1, &e), 0);
    EXPECT_LT(rf.LayerLayerTypeWrite(a, 3, &e), 0);
    errno = 0;
    EXPECT_LT(rf.LayerDestroy(f, ":a", &e), 0);
    EXPECT_EQ(errno, EBUSY);
    rf.LayerClose(a, &e), rf.LayerClose(b, &e);
    const char *order[] = {":b", ":a"};
    ASSERT_EQ(rf.FileLayerNamesSet(f, 2, order, &e), 0);
    const char *unknown[] = {":zz"};
    EXPECT_LT(rf.FileLayerNamesSet(f, 1, unknown, &e), 0);
    EXPECT_LT(rf.FileLayerNamesSet(f, 1, nullptr, &e), 0);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(rf.FileClose(f, &e), 0);

    f = rf.FileOpen(name.c_str(), 0, "r+b", &e);
    long n = 0;
    char **names = nullptr;
    ASSERT_EQ(rf.FileLayerNamesGet(f, &n, &names, &e), 0);
    EXPECT_EQ(rftest::taken(n, names), (std::vector<std::string>{":b", ":a"}));
    ASSERT_EQ(rf.FileDependentGet(f, &text, &e), 0);
    EXPECT_EQ(ktest::take(text), "image.tif");
    ASSERT_EQ(rf.FileDependentLayerNameGet(f, ":b", &text, &e), 0);
    EXPECT_EQ(ktest::take(text), ":Band_2");
    long w, h, p, c, lt;
    a = rf.LayerOpen(f, ":a", &w, &h, &p, &c, &lt, &bw, &bh, &e);
    b = rf.LayerOpen(f, ":b", &w, &h, &p, &c, &lt, &bw, &bh, &e);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(std::make_pair(bw, bh), std::make_pair(5L, 5L));
    EXPECT_EQ((ktest::Ints{rf.LayerLayerTypeRead(a, &lt, &e), lt}), (ktest::Ints{0, 1}));
    ASSERT_EQ(rf.LayerRRDLayerNamesGet(a, &n, &names, &e), 0);
    EXPECT_EQ(rftest::taken(n, names), (std::vector<std::string>{":a_ss_2_", ":a_ss_4_"}));
    Kgda_BaseData *u8 = kgda_BaseDataCreate(1, 1, KGDA_TYPE_F64, 0, nullptr, &e);
    ASSERT_EQ(rf.LayerRasterNullValueRead(b, u8, &e), 0);
    EXPECT_EQ(reinterpret_cast<double *>(u8->windowStart)[0], -1.5);
    float block[25];
    ASSERT_EQ(rf.LayerRasterRead(b, 0, 0, block, &e), 0);
    EXPECT_EQ(block[24], -1.5f);  // unwritten block reads the null value
    int64_t when = 0;
    EXPECT_EQ(rf.LayerRasterModTimeGet(b, &when, &e), 0);
    EXPECT_GT(when, 1600000000);
    rf.LayerClose(a, &e), rf.LayerClose(b, &e);
    ASSERT_EQ(rf.LayerDestroy(f, ":a", &e), 0);
    errno = 0;
    EXPECT_EQ(rf.open(f, ":a", &e), nullptr);
    EXPECT_EQ(errno, KIMG_RF_STATUS_NO_SUCH_FILE);
    ASSERT_EQ(rf.FileClose(f, &e), 0);
    kgda_BaseDataDelete(bd, &e), kgda_BaseDataDelete(u8, &e);
}

// A small image: layer ":band" (u8, 32 x 32 in 16 x 16 blocks, RLE), every
// block written (one constant, three random). Returns the block contents.
std::vector<std::vector<uint8_t>> smallImage(rftest::Plugin &rf, const std::string &name) {
    Err e;
    void *f = rf.FileOpen(name.c_str(), 0, "w+b", &e);
    long bw = 16, bh = 16;
    void *l = rf.LayerCreate(f, ":band", 1, 3, 32, 32, 1, &bw, &bh, &e);
    std::vector<std::vector<uint8_t>> blocks;
    std::mt19937 rng(5);
    for (long i = 0; i < 4; ++i) {
        std::vector<uint8_t> v(256, 42);
        if (i)
            for (auto &b : v) b = static_cast<uint8_t>(rng());
        rf.LayerRasterWrite(l, i / 2, i % 2, v.data(), &e);
        blocks.push_back(v);
    }
    rf.LayerClose(l, &e), rf.FileClose(f, &e);
    return blocks;
}

// Opens name and reads every block of ":band": 1 when everything read back
// equals blocks, 0 when some step failed with a report; fails the test when
// a step failed without one or data came back wrong.
int readBack(rftest::Plugin &rf, const std::string &name,
             const std::vector<std::vector<uint8_t>> &blocks, std::string *why = nullptr) {
    Err e;
    void *f = rf.FileOpen(name.c_str(), 0, "r", &e);
    int result = 1;
    void *l = nullptr;
    if (f) l = rf.open(f, ":band", &e);
    if (!f || !l) result = 0;
    for (long i = 0; l && i < 4 && result; ++i) {
        std::vector<uint8_t> back(256);
        if (rf.LayerRasterRead(l, i / 2, i % 2, back.data(), &e) != 0) {
            result = 0;
        } else {
            EXPECT_EQ(back, blocks[i]) << name << " block " << i << " read back wrong";
        }
    }
    if (result == 0) {
        EXPECT_TRUE(e) << "failure without a report";
        if (why) *why = ktest::messages(e.r);
    }
    if (l) rf.LayerClose(l, &e);
    if (f) rf.FileClose(f, &e);
    return result;
}

void patch(const std::string &name, uint32_t at, const void *bytes, size_t n) {
    std::fstream s(name, std::ios::in | std::ios::out | std::ios::binary);
    s.seekp(at);
    s.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(n));
}

TEST_F(Miraven, TruncatedAndCorruptFilesReportCleanly) {
    const std::string good = dir.file("good.img");
    const auto blocks = smallImage(rf, good);
    ASSERT_EQ(readBack(rf, good, blocks), 1);
    const std::string bytes = ktest::readFile(good);
    for (size_t cut : {size_t{0}, size_t{19}, size_t{100}, bytes.size() / 2, bytes.size() - 1}) {
        const std::string name = dir.file("cut" + std::to_string(cut) + ".img");
        ktest::writeFile(name, bytes.substr(0, cut));
        readBack(rf, name, blocks);  // either right or reported
    }
    // Positions of the block table's elements and of a compressed block.
    Err e;
    Khfa_File *h = khfa_FileOpen(good.c_str(), "r", nullptr, &e);
    ASSERT_NE(h, nullptr);
    const Khfa_Entry *t = khfa_EntrySeek(h, KHFA_SEEK_PATH, ":band:BlockTable", &e);
    ASSERT_NE(t, nullptr);
    const uint32_t table = t->data + 16;  // fixed part and indirect header
    uint32_t first[5];
    memcpy(first, bytes.data() + table, sizeof first);
    khfa_FileClose(h, &e);
    ASSERT_EQ(first[4], 3u);  // written and compressed (the constant block)
    struct Case {
        uint32_t at;
        uint32_t value;
        const char *message;
    } cases[] = {
        {table, 0x7FFFFF00u, "Corrupt block table of band: block 0"},       // past the end
        {table + 4, 1, "Corrupt block table of band: block 0"},             // 64-bit position
        {table + 8, 300, "Corrupt block table of band: block 0"},           // longer than a block
        {table + 16, 0x80000001u, "Corrupt block table of band: block 0"},  // unknown flag
        {table - 8, 5, "Cannot read the block table of band"},              // wrong count
        {first[0], 0xFFFFFFFFu, "Corrupt compressed block (0, 0) in layer band"},
    };
    for (const auto &c : cases) {
        const std::string name = dir.file("bad.img");
        ktest::writeFile(name, bytes);
        patch(name, c.at, &c.value, 4);
        std::string why;
        EXPECT_EQ(readBack(rf, name, blocks, &why), 0) << c.message;
        EXPECT_TRUE(ktest::contains(why, c.message));
    }
}

// A layer past the HFA position limit keeps its blocks in a sparse companion
// file, which copies, renames and removals take along. Readers of the layer
// whose table is loaded but companion not yet opened race to open it.
TEST_F(Miraven, HugeLayerSpillsToSparseCompanionOpenedConcurrently) {
    const std::string name = dir.file("big.img");
    Err e;
    void *f = rf.FileOpen(name.c_str(), 0, "w+b", &e);
    long bw = 0, bh = 0;
    void *l = rf.LayerCreate(f, ":big", 1, 5, 50000, 50000, 0, &bw, &bh, &e);
    ASSERT_NE(l, nullptr) << ktest::messages(e.r);
    const long last = 50000 / 64;
    std::vector<uint16_t> a(64 * 64, 1111), z(64 * 64), back(64 * 64);
    for (size_t i = 0; i < z.size(); ++i) z[i] = static_cast<uint16_t>(i);
    ASSERT_EQ(rf.LayerRasterWrite(l, 0, 0, a.data(), &e), 0) << ktest::messages(e.r);
    std::vector<uint16_t> run(a);  // the last two blocks of the last row at once
    run.insert(run.end(), z.begin(), z.end());
    ASSERT_EQ(rf.LayerRasterWriteRun(l, last, last - 1, 2, run.data(), &e), 0);
    rf.LayerClose(l, &e);
    ASSERT_EQ(rf.FileClose(f, &e), 0) << ktest::messages(e.r);
    struct stat st {};
    ASSERT_EQ(stat(dir.file("big.ibd").c_str(), &st), 0);
    EXPECT_GE(st.st_size, int64_t{782} * 782 * 8192);
    EXPECT_LT(st.st_blocks * 512, int64_t{1} << 20) << "companion file is not sparse";
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_LT(st.st_size, int64_t{32} << 20);

    ASSERT_EQ(rf.FileCopy(name.c_str(), dir.file("copy.img").c_str(), 0, &e), 0)
        << ktest::messages(e.r);
    ASSERT_EQ(rf.FileRename(dir.file("copy.img").c_str(), dir.file("moved.img").c_str(), 0, &e), 0);
    EXPECT_LT(rf.FileCopy(name.c_str(), dir.file("moved.img").c_str(), 0, &e), 0);
    EXPECT_EQ(errno, KIMG_RF_STATUS_FILE_EXISTS);
    EXPECT_NE(access(dir.file("moved.ibd").c_str(), F_OK), -1);
    EXPECT_EQ(access(dir.file("copy.ibd").c_str(), F_OK), -1);
    ASSERT_EQ(stat(dir.file("moved.ibd").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, int64_t{1} << 20) << "copy is not sparse";
    for (const std::string &n : {name, dir.file("moved.img")}) {
        f = rf.FileOpen(n.c_str(), 0, "r", &e);
        l = rf.open(f, ":big", &e);
        ASSERT_NE(l, nullptr) << n;
        ASSERT_EQ(rf.LayerRasterRead(l, 1, 1, back.data(), &e), 0);  // loads the table only
        std::atomic<int> bad{0}, ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                Err te;
                std::vector<uint16_t> mine(64 * 64);
                for (++ready; ready < 3;) std::this_thread::yield();
                if (rf.LayerRasterRead(l, 0, 0, mine.data(), &te) != 0 || mine != a) ++bad;
            });
        for (auto &th : threads) th.join();
        EXPECT_EQ(bad.load(), 0);
        ASSERT_EQ(rf.LayerRasterRead(l, last, last - 1, back.data(), &e), 0);
        std::vector<uint16_t> top(a);  // rows below the layer's last are 0
        std::fill(top.begin() + 64 * (50000 % 64), top.end(), 0);
        EXPECT_EQ(back, top);
        ASSERT_EQ(rf.LayerRasterRead(l, last, last, back.data(), &e), 0) << ktest::messages(e.r);
        for (size_t i = 0; i < z.size(); ++i)
            z[i] = (i % 64) < 50000 % 64 && i / 64 < 50000 % 64 ? z[i] : 0;
        EXPECT_EQ(back, z);
        ASSERT_EQ(rf.LayerRasterRead(l, 400, 400, back.data(), &e), 0);
        EXPECT_EQ(back, std::vector<uint16_t>(back.size(), 0));
        rf.LayerClose(l, &e), rf.FileClose(f, &e);
    }
    ASSERT_EQ(rf.FileDestroy(dir.file("moved.img").c_str(), 0, &e), 0);
    EXPECT_EQ(access(dir.file("moved.img").c_str(), F_OK), -1);
    EXPECT_EQ(access(dir.file("moved.ibd").c_str(), F_OK), -1);
    // A missing companion is reported when a spilled block is read.
    ASSERT_EQ(unlink(dir.file("big.ibd").c_str()), 0);
    f = rf.FileOpen(name.c_str(), 0, "r", &e);
    l = rf.open(f, ":big", &e);
    ASSERT_NE(l, nullptr);
    EXPECT_LT(rf.LayerRasterRead(l, 0, 0, back.data(), &e), 0);
    EXPECT_SAYS(e, "big.ibd");
    rf.LayerClose(l, &e), rf.FileClose(f, &e);
}

// Concurrent calls without the global lock (the plug-in declares itself
// thread-safe): readers share one file, writers each have their own.
TEST_F(Miraven, ConcurrentReadersAndWriters) {
    const std::string shared = dir.file("shared.img");
    const auto blocks = smallImage(rf, shared);
    Err e;
    void *f = rf.FileOpen(shared.c_str(), 0, "r", &e);
    ASSERT_NE(f, nullptr);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Err te;
            void *l = rf.open(f, ":band", &te);
            std::vector<uint8_t> back(256);
            for (int k = 0; l && k < 200; ++k) {
                const long i = (k + t) % 4;
                if (rf.LayerRasterRead(l, i / 2, i % 2, back.data(), &te) != 0 || back != blocks[i])
                    ++bad;
            }
            // The file turns writable for the updater, not for this handle.
            if (l && rf.LayerRasterWrite(l, 0, 0, back.data(), &te) == 0) ++bad;
            if (l) rf.LayerClose(l, &te);
            const std::string own = dir.file("own" + std::to_string(t) + ".img");
            void *o = rf.FileOpen(own.c_str(), 0, "w+b", &te);
            long obw = 16, obh = 16;
            void *ol = o ? rf.LayerCreate(o, ":x", 1, 3, 64, 64, 2, &obw, &obh, &te) : nullptr;
            std::vector<uint8_t> v(256, static_cast<uint8_t>(t));
            for (long i = 0; ol && i < 16; ++i)
                if (rf.LayerRasterWrite(ol, i / 4, i % 4, v.data(), &te) != 0) ++bad;
            for (long i = 0; ol && i < 16; ++i)
                if (rf.LayerRasterRead(ol, i / 4, i % 4, back.data(), &te) != 0 || back != v) ++bad;
            if (!l || !ol) ++bad;
            if (ol) rf.LayerClose(ol, &te);
            if (o) rf.FileClose(o, &te);
        });
    }
    // Meanwhile the shared file is opened for update (its state turns
    // writable under the readers) and gains a layer.
    threads.emplace_back([&] {
        Err te;
        void *u = rf.FileOpen(shared.c_str(), 0, "r+b", &te);
        long bw = 16, bh = 16;
        void *ul = u ? rf.LayerCreate(u, ":more", 1, 3, 32, 32, 1, &bw, &bh, &te) : nullptr;
        std::vector<uint8_t> v(256, 9);
        for (long i = 0; ul && i < 4; ++i)
            if (rf.LayerRasterWrite(ul, i / 2, i % 2, v.data(), &te) != 0) ++bad;
        if (!ul) ++bad;
        if (ul) rf.LayerClose(ul, &te);
        if (u) rf.FileClose(u, &te);
    });
    for (auto &th : threads) th.join();
    EXPECT_EQ((ktest::Ints{bad.load(), readBack(rf, shared, blocks)}), (ktest::Ints{0, 1}));
    rf.FileClose(f, &e);
}

// Readers of one file share it while a writer rewrites its blocks (moving
// the ones that grow): every whole or partial read returns one version of
// the block, never a mix or a failure. The file is writable and its block
// table loaded before the readers come, so their first reads map it.
TEST_F(Miraven, ConcurrentReadsWhileBlocksAreRewritten) {
    const std::string name = dir.file("rewritten.img");
    const auto before = smallImage(rf, name);
    std::vector<std::vector<uint8_t>> after(4);
    for (size_t i = 0; i < 4; ++i) after[i] = i ? std::vector<uint8_t>(256, 7) : before[3];
    Err e;
    void *u = rf.FileOpen(name.c_str(), 0, "r+b", &e);
    void *f = rf.FileOpen(name.c_str(), 0, "r", &e);
    ASSERT_TRUE(u && f);
    void *ul = rf.open(u, ":band", &e);
    ASSERT_NE(ul, nullptr);
    ASSERT_EQ(rf.LayerRasterWrite(ul, 0, 0, after[0].data(), &e), 0);
    std::atomic<int> bad{0};
    std::atomic<bool> done{false};
    std::atomic<int> ready{0};  // readers start together
    auto slice = [](const std::vector<uint8_t> &v) {
        std::vector<uint8_t> s;
        for (long y = 4; y < 12; ++y) s.insert(s.end(), &v[y * 16 + 4], &v[y * 16 + 12]);
        return s;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            Err te;
            void *l = rf.open(f, ":band", &te);
            if (!l) ++bad;
            std::vector<uint8_t> back(256), part(64);
            for (++ready; ready < 3;) std::this_thread::yield();
            for (int k = 0; l && (k < 200 || !done); ++k) {
                const size_t i = static_cast<size_t>(k + t) % 4;
                const long r = static_cast<long>(i / 2), col = static_cast<long>(i % 2);
                if (rf.LayerRasterRead(l, r, col, back.data(), &te) != 0 ||
                    (back != before[i] && back != after[i]))
                    ++bad;
                if (rf.LayerRasterReadPart(l, r, col, 4, 4, 8, 8, part.data(), 8, &te) != 0 ||
                    (part != slice(before[i]) && part != slice(after[i])))
                    ++bad;
            }
            if (l) rf.LayerClose(l, &te);
        });
    }
    threads.emplace_back([&] {
        Err te;
        for (int round = 0; round < 40; ++round)
            for (size_t i = 0; i < 4; ++i) {
                const auto &v = round % 2 ? before[i] : after[i];
                if (rf.LayerRasterWrite(ul, static_cast<long>(i / 2), static_cast<long>(i % 2),
                                        v.data(), &te) != 0)
                    ++bad;
            }
        rf.LayerClose(ul, &te), rf.FileClose(u, &te);
        done = true;
    });
    for (auto &th : threads) th.join();
    rf.FileClose(f, &e);
    EXPECT_EQ((ktest::Ints{bad.load(), readBack(rf, name, before)}), (ktest::Ints{0, 1}));
}

}  // namespace
