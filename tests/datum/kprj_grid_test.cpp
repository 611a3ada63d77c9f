// Shift grids: crafted grid files (nested sub-grids, edges, points outside
// every sub-grid), the inverse shift, corrupt files, shared handles, NTv2
// conversion, and the grids of proj-data against PROJ applying them.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "datum/proj_oracle.hpp"
#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

constexpr double kDeg = M_PI / 180;

// A field of shifts in arc-seconds (longitude positive west, latitude),
// bilinear in longitude and latitude so that interpolation reproduces it.
using Field = std::function<void(double lon, double lat, double *west, double *north)>;

struct Sub {
    std::string name;
    float minLon, minLat, maxLon, maxLat;
    int32_t columns, rows;
    Field field;
};

void put32(std::string &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
}
void putFloat(std::string &b, float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    put32(b, u);
}

// The bytes of a grid file holding the sub-grids in this order.
std::string gridBytes(const std::vector<Sub> &subs) {
    std::string b;
    size_t data = subs.size() * 44;
    for (const Sub &s : subs) {
        char name[16] = {};
        memcpy(name, s.name.data(), std::min<size_t>(s.name.size(), 15));
        b.append(name, 16);
        put32(b, static_cast<uint32_t>(data + 1));
        for (float f : {s.minLon, s.minLat, s.maxLon, s.maxLat}) putFloat(b, f);
        put32(b, s.columns);
        put32(b, s.rows);
        data += static_cast<size_t>(s.columns) * s.rows * 8;
    }
    for (const Sub &s : subs)
        for (int r = 0; r < s.rows; ++r)
            for (int c = 0; c < s.columns; ++c) {
                const double lon = s.minLon + c * (double(s.maxLon) - s.minLon) / (s.columns - 1);
                const double lat = s.minLat + r * (double(s.maxLat) - s.minLat) / (s.rows - 1);
                double w, n;
                s.field(lon, lat, &w, &n);
                putFloat(b, static_cast<float>(w));
                putFloat(b, static_cast<float>(n));
            }
    return b;
}

void writeBytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const Field kChild = [](double lon, double lat, double *w, double *n) {
    *w = 1 + 2 * lon - lat + 0.01 * lon * lat;
    *n = 3 - lon + 0.5 * lat - 0.02 * lon * lat;
};
const Field kParent = [](double lon, double lat, double *w, double *n) {
    *w = 10 + lon;
    *n = 20 + lat + 0.001 * lon * lat;
};

// A damage writing the bytes of `v` at offset `at`.
template <class T>
std::function<void(std::string &)> put(size_t at, T v) {
    return [at, v](std::string &b) { memcpy(&b[at], &v, sizeof v); };
}

// A file damaged in one way, and what its refusal must say.
struct Damage {
    const char *what;
    std::function<void(std::string &)> damage;
    const char *message;
};

class Grid : public ::testing::Test {
  protected:
    ktest::TempDir dir;
    ktest::Err err;
    std::string nested;
    // Each damaged copy of `good`, written to a file, must be refused by
    // `fails(path)` with its message in the report.
    template <size_t N>
    void refuseDamaged(const std::string &good, const Damage (&cases)[N],
                       const std::function<bool(const std::string &)> &fails) {
        for (const Damage &c : cases) {
            std::string bytes = good;
            c.damage(bytes);
            const std::string path = dir.file(std::string(c.what) + ".bin");
            writeBytes(path, bytes);
            SCOPED_TRACE(c.what);
            refusedWith(err, fails(path), c.message);
        }
    }
    void SetUp() override {
        ASSERT_NE(kint_InitToolkit(nullptr), nullptr);
        nested = dir.file("nested.grd");
        // The child comes first: the first sub-grid holding a point wins.
        writeBytes(nested, gridBytes({{"child", 2, 50, 3, 51, 11, 6, kChild},
                                      {"parent", -5, 45, 10, 55, 16, 21, kParent}}));
    }
};

// Bilinear shifts from the first sub-grid holding the point, forward and
// inverse.
TEST_F(Grid, ForwardAndInverseShifts) {
    Kprj_Grid *g = kprj_DatumGridFileOpen(nested.c_str(), &err);
    ASSERT_NE(g, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_GridSubGridCount(g), 2);
    struct Case {
        double lon, lat;
        const Field *field;  // null: outside every sub-grid
    } cases[] = {
        {2.5, 50.5, &kChild},     {2.03, 50.97, &kChild},   {2, 50, &kChild},
        {3, 51, &kChild},         {3, 50.2, &kChild},       {2.91, 51, &kChild},
        {3.0001, 50.5, &kParent}, {1.9, 50.5, &kParent},    {-5, 45, &kParent},
        {10, 55, &kParent},       {-4.37, 54.99, &kParent}, {9.99, 45.01, &kParent},
        {10.001, 50, nullptr},    {0, 44.99, nullptr},      {-170, -30, nullptr},
    };
    for (const Case &c : cases) {
        double w = 0, n = 0, dlon = -1, dlat = -1;
        if (c.field) (*c.field)(c.lon, c.lat, &w, &n);
        kprj_GetShifts(g, c.lon, c.lat, &dlon, &dlat);
        EXPECT_NEAR(dlon, -w, 2e-5) << c.lon << ", " << c.lat;
        EXPECT_NEAR(dlat, n, 2e-5) << c.lon << ", " << c.lat;
    }
    const std::vector<Kprj_Coordinate> points = {
        {2.5 * kDeg, 50.5 * kDeg},
        {7 * kDeg, 46 * kDeg},
        {-4 * kDeg, 54 * kDeg},
        {(2.5 + 360) * kDeg, 50.5 * kDeg},  // longitudes beyond 180 come back first
        {40 * kDeg, 10 * kDeg},             // outside: unchanged
    };
    std::vector<Kprj_Coordinate> fwd(points.size()), back(points.size());
    ASSERT_EQ(kprj_ShiftForward(g, points.data(), fwd.data(), 5, &err), 0);
    for (size_t i = 0; i < points.size(); ++i) {
        double lon = points[i].x / kDeg, lat = points[i].y / kDeg, w = 0, n = 0;
        if (lon > 180) lon -= 360;
        if (i < 2 || i == 3) kChild(lon, lat, &w, &n);
        if (i == 1 || i == 2) kParent(lon, lat, &w, &n);
        EXPECT_NEAR(fwd[i].x / kDeg, lon - w / 3600, 1e-9) << i;
        EXPECT_NEAR(fwd[i].y / kDeg, lat + n / 3600, 1e-9) << i;
    }
    EXPECT_EQ(fwd[4].x, points[4].x);
    EXPECT_EQ(fwd[4].y, points[4].y);
    // The inverse finds the points the forward shift moved, to 1e-9 degrees.
    ASSERT_EQ(kprj_ShiftInverse(g, fwd.data(), back.data(), 5, &err), 0);
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(std::remainder(back[i].x - points[i].x, 2 * M_PI) / kDeg, 0, 1e-9) << i;
        EXPECT_NEAR(back[i].y / kDeg, points[i].y / kDeg, 1e-9) << i;
    }
    // In place.
    std::vector<Kprj_Coordinate> same = points;
    ASSERT_EQ(kprj_ShiftForward(g, same.data(), same.data(), 5, &err), 0);
    EXPECT_EQ(0, memcmp(same.data(), fwd.data(), sizeof(Kprj_Coordinate) * 5));
    for (auto f : {kprj_ShiftForward, kprj_ShiftInverse}) {
        refused(err, f(nullptr, points.data(), fwd.data(), 1, &err) == -1, "Empty argument(s).");
        EXPECT_EQ(f(g, points.data(), nullptr, 1, &err), -1);
        EXPECT_EQ(f(g, nullptr, fwd.data(), 1, &err), -1);
        refused(err, f(g, points.data(), fwd.data(), 0, &err) == -1);
    }
    kprj_DatumGridFileClose(g);
}

TEST_F(Grid, ShiftsAcrossThePolesAreFolded) {
    const std::string polar = dir.file("polar.grd");
    const Field north = [](double, double, double *w, double *n) {
        *w = 0;
        *n = 7200;  // two degrees north
    };
    writeBytes(polar, gridBytes({{"cap", -180, 80, 180, 90, 5, 3, north}}));
    Kprj_Grid *g = kprj_DatumGridFileOpen(polar.c_str(), &err);
    ASSERT_NE(g, nullptr);
    // Longitude -180 itself is kept, not turned into 180.
    const struct {
        double lon, lat, toLon, toLat;
    } cases[] = {{100, 89, -80, 89}, {-180, 85, -180, 87}};
    for (const auto &c : cases) {
        const Kprj_Coordinate p = {c.lon * kDeg, c.lat * kDeg};
        Kprj_Coordinate q;
        ASSERT_EQ(kprj_ShiftForward(g, &p, &q, 1, &err), 0);
        EXPECT_NEAR(q.y / kDeg, c.toLat, 1e-9) << c.lon;
        EXPECT_NEAR(q.x / kDeg, c.toLon, 1e-9) << c.lon;
    }
    kprj_DatumGridFileClose(g);
}

TEST_F(Grid, CorruptGridFilesAreRefused) {
    const std::string good = gridBytes({{"a", 0, 0, 1, 1, 3, 3, kParent}});
    const Damage cases[] = {
        {"empty", [](std::string &b) { b.clear(); }, "too short"},
        {"short header", [](std::string &b) { b.resize(43); }, "too short"},
        {"first offset", [](std::string &b) { b[16] = 10; }, "invalid data offset 10"},
        {"headers beyond the end",
         [](std::string &b) {
             b.resize(60);
             b[17] = 1;
         },
         "do not fit"},
        {"data offset", [](std::string &b) { b[16] = 80; }, "lie outside the file"},
        {"truncated data", [](std::string &b) { b.resize(b.size() - 1); }, "lie outside the file"},
        {"one column", [](std::string &b) { b[36] = 1; }, "has 1 columns and 3 rows"},
        {"negative rows", [](std::string &b) { b[43] = '\x80'; }, "columns and"},
        {"huge rows", [](std::string &b) { b[43] = 0x7f; }, "lie outside the file"},
        {"empty extent", put(28, 0.0f), "empty or invalid extent"},  // maximum longitude 0
        {"nan extent", put(24, std::nanf("")), "empty or invalid extent"},
        {"nan shift", put(44 + 8, std::nanf("")), "not finite"},
    };
    refuseDamaged(good, cases, [&](const std::string &path) {
        return kprj_DatumGridFileOpen(path.c_str(), &err) == nullptr;
    });
    refusedWith(err, kprj_DatumGridFileOpen(dir.file("absent.grd").c_str(), &err) == nullptr,
                "absent.grd:  File not found");
    // A name without a path is searched along ORVEL_PROJECTIONS_PATH.
    EXPECT_EQ(kprj_DatumGridFileOpen("nested.grd", &err), nullptr);
    setenv("ORVEL_PROJECTIONS_PATH", ("/nonexistent;" + dir.path()).c_str(), 1);
    Kprj_Grid *found = kprj_DatumGridFileOpen("nested.grd", &err);
    unsetenv("ORVEL_PROJECTIONS_PATH");
    ASSERT_NE(found, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_GridSubGridCount(found), 2);
    kprj_DatumGridFileClose(found);
}

TEST_F(Grid, OpeningsShareOneHandleAcrossThreadsConcurrently) {
    Kprj_Grid *first = kprj_DatumGridFileOpen(nested.c_str(), &err);
    ASSERT_NE(first, nullptr);
    std::vector<std::thread> threads;
    std::vector<int> same(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Kprj_Grid *g = kprj_DatumGridFileOpen(nested.c_str(), nullptr);
                same[t] += g == first;
                const Kprj_Coordinate p = {2.5 * kDeg, 50.5 * kDeg};
                Kprj_Coordinate q;
                kprj_ShiftForward(g, &p, &q, 1, nullptr);
                kprj_DatumGridFileClose(g);
            }
        });
    for (auto &t : threads) t.join();
    for (int s : same) EXPECT_EQ(s, 200);
    kprj_DatumGridFileClose(first);
    // Closed by every holder: the next opening reads the file again.
    writeBytes(nested, gridBytes({{"only", 0, 0, 1, 1, 2, 2, kParent}}));
    Kprj_Grid *again = kprj_DatumGridFileOpen(nested.c_str(), &err);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(kprj_GridSubGridCount(again), 1);
    kprj_DatumGridFileClose(again);
    kprj_DatumGridFileClose(nullptr);
}

// ---- NTv2 ------------------------------------------------------------------------------

void ntRecord(std::string &b, const char *key, const void *value, size_t n) {
    char k[8];
    memset(k, ' ', 8);
    memcpy(k, key, strlen(key));
    b.append(k, 8);
    char v[8] = {};
    memcpy(v, value, n);
    b.append(v, 8);
}
void ntInt(std::string &b, const char *key, int32_t v) {
    ntRecord(b, key, &v, 4);
}
void ntReal(std::string &b, const char *key, double v) {
    ntRecord(b, key, &v, 8);
}
void ntText(std::string &b, const char *key, const char *t) {
    char v[8];
    memset(v, ' ', 8);
    memcpy(v, t, strlen(t));
    ntRecord(b, key, v, 8);
}

struct NtSub {
    const char *name, *parent;
    double sLat, nLat, eLon, wLon, inc;  // seconds, longitudes positive west
};

// Node values: latitude shift = 0.001 * (row * 100 + column), longitude
// shift = the negated value, counting columns from the east as NTv2 does.
std::string ntv2Bytes(const std::vector<NtSub> &subs) {
    std::string b;
    ntInt(b, "NUM_OREC", 11);
    ntInt(b, "NUM_SREC", 11);
    ntInt(b, "NUM_FILE", static_cast<int32_t>(subs.size()));
    ntText(b, "GS_TYPE", "SECONDS");
    for (const char *k : {"VERSION", "SYSTEM_F", "SYSTEM_T"}) ntText(b, k, "x");
    for (const char *k : {"MAJOR_F", "MINOR_F", "MAJOR_T", "MINOR_T"}) ntReal(b, k, 6378137);
    for (const NtSub &s : subs) {
        const int rows = static_cast<int>(std::lround((s.nLat - s.sLat) / s.inc)) + 1;
        const int cols = static_cast<int>(std::lround((s.wLon - s.eLon) / s.inc)) + 1;
        ntText(b, "SUB_NAME", s.name);
        ntText(b, "PARENT", s.parent);
        ntText(b, "CREATED", "today");
        ntText(b, "UPDATED", "today");
        ntReal(b, "S_LAT", s.sLat);
        ntReal(b, "N_LAT", s.nLat);
        ntReal(b, "E_LONG", s.eLon);
        ntReal(b, "W_LONG", s.wLon);
        ntReal(b, "LAT_INC", s.inc);
        ntReal(b, "LONG_INC", s.inc);
        ntInt(b, "GS_COUNT", rows * cols);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const float lat = 0.001f * (r * 100 + c), lon = -lat, acc = 0;
                for (float f : {lat, lon, acc, acc}) {
                    b.append(reinterpret_cast<const char *>(&f), 4);
                }
            }
    }
    return b;
}

TEST_F(Grid, NTv2FilesConvertWithChildrenFirstAndRowsTurned) {
    // Parent: 0..4 degrees east, 40..42 north, 1 degree spacing; child
    // 1..2 east, 41..42 north at 0.5 degrees. Listed parent first.
    const std::string in = dir.file("t.gsb"), out = dir.file("t.grd");
    writeBytes(in, ntv2Bytes({{"PARENT", "NONE", 144000, 151200, -14400, 0, 3600},
                              {"CHILD", "PARENT", 147600, 151200, -7200, -3600, 1800}}));
    ASSERT_EQ(kprj_GridFileConvertNTv2(in.c_str(), out.c_str(), &err), 0) << ktest::messages(err.r);
    Kprj_Grid *g = kprj_DatumGridFileOpen(out.c_str(), &err);
    ASSERT_NE(g, nullptr) << ktest::messages(err.r);
    EXPECT_EQ(kprj_GridSubGridCount(g), 2);
    // At each node: row r from the south, column c from the west of a grid
    // with `cols` columns; NTv2 counted that column as cols-1-c from the east.
    struct Node {
        double lon, lat;
        int r, c, cols;
    } nodes[] = {{0, 40, 0, 0, 5}, {4, 40, 0, 4, 5}, {3, 42, 2, 3, 5},
                 {1, 41, 0, 0, 3}, {2, 42, 2, 2, 3}, {1.5, 41.5, 1, 1, 3}};
    for (const Node &n : nodes) {
        double dlon, dlat;
        kprj_GetShifts(g, n.lon, n.lat, &dlon, &dlat);
        const double v = 0.001 * (n.r * 100 + (n.cols - 1 - n.c));
        EXPECT_NEAR(dlat, v, 1e-6) << n.lon << ", " << n.lat;
        EXPECT_NEAR(dlon, v, 1e-6) << n.lon << ", " << n.lat;  // west -v, returned east-positive
    }
    kprj_DatumGridFileClose(g);

    // Refusals.
    const std::string good = ntv2Bytes({{"A", "NONE", 0, 3600, 0, 3600, 3600}});
    const Damage cases[] = {
        {"not ntv2", [](std::string &b) { b[0] = 'X'; }, "is not an NTv2 grid-shift file"},
        {"short", [](std::string &b) { b.resize(100); }, "is not an NTv2 grid-shift file"},
        {"counts", [](std::string &b) { b[8] = 3; }, "invalid NTv2 header counts"},
        {"files", [](std::string &b) { b[40] = 9; }, "header lies beyond the end"},
        {"nodes", [](std::string &b) { b.resize(b.size() - 16); }, "holds 4 nodes for 2 rows"},
        {"extent", put(176 + 5 * 16 + 8, -1.0), "invalid extent or count"},  // N_LAT below S_LAT
        // A longitude step not above zero, though it compares equal to it.
        {"longitude step", put(176 + 9 * 16 + 8, -0.0), "invalid extent or count"},
    };
    refuseDamaged(good, cases, [&](const std::string &path) {
        return kprj_GridFileConvertNTv2(path.c_str(), out.c_str(), &err) == -1;
    });
    refused(err, kprj_GridFileConvertNTv2(nullptr, out.c_str(), &err) == -1, "Empty argument(s).");
    refused(err, kprj_GridFileConvertNTv2(dir.file("none.gsb").c_str(), out.c_str(), &err) == -1);
    writeBytes(in, good);
    refusedWith(
        err, kprj_GridFileConvertNTv2(in.c_str(), dir.file("no/such/dir.grd").c_str(), &err) == -1,
        "Cannot create");
}

// ---- Grids of proj-data against PROJ -------------------------------------------------------

constexpr const char *kProjData = "/usr/share/proj";

class RealGrid : public Grid {
  protected:
    ktest::ScopedEnv path{"ORVEL_PROJECTIONS_PATH", dir.path().c_str()};
    // Converts a proj-data grid into the temporary directory; false when
    // proj-data does not hold it.
    bool convert(const char *gsb, const char *grd) {
        const std::string in = std::string(kProjData) + "/" + gsb;
        if (FILE *f = fopen(in.c_str(), "rb"))
            fclose(f);
        else
            return false;
        EXPECT_EQ(kprj_GridFileConvertNTv2(in.c_str(), dir.file(grd).c_str(), &err), 0)
            << ktest::messages(err.r);
        return true;
    }
    Kprj_Spheroid *earth(const char *spheroid, const char *datum) {
        Kprj_Spheroid *s = kprj_SpheroidCreate(nullptr);
        EXPECT_EQ(kprj_SpheroidByName(nullptr, spheroid, s, nullptr), 0);
        EXPECT_EQ(kprj_DatumByName(kint_GetInit(), spheroid, datum, s->datum, &err), 0)
            << ktest::messages(err.r);
        return s;
    }
};

// Each grid shifts an area's points from its datum as PROJ does (to 1 mm,
// GRS 1980 and WGS 84 differing by 0.1 mm of flattening), by way of a
// parametric datum and back too; the grids really move them.
TEST_F(RealGrid, ProjDataGridsMatchPROJ) {
    const struct {
        const char *gsb, *grd, *spheroid, *datum;
        double lon0, lon1, lat0, lat1;  // degrees
        double moved;                   // metres at least, at the first point
    } grids[] = {
        {"BETA2007.gsb", "BETA2007.grd", "Bessel 1841", "DHDN (BETA2007)", 5.9, 15, 47.3, 55, 50},
        {"ntf_r93.gsb", "ntf_r93.grd", "Clarke 1880 (IGN)", "NTF (ntf_r93)", 2.35, 2.35, 48.85,
         48.85, 10},
        {"nzgd2kgrid0005.gsb", "nzgd2kgrid0005.grd", "International 1909",
         "NZGD49 (nzgd2kgrid0005)", 174.78, 174.78, -41.29, -41.29, 10},
    };
    Kprj_Spheroid *nad83 = earth("GRS 1980", "NAD83"), *etrs = earth("GRS 1980", "ETRS89");
    Kprj_Spheroid *wgs = earth("WGS 84", "WGS 84");
    int done = 0;
    for (const auto &g : grids) {
        if (!convert(g.gsb, g.grd)) continue;
        ++done;
        SCOPED_TRACE(g.gsb);
        Kprj_Spheroid *grid = earth(g.spheroid, g.datum);
        std::vector<Kprj_Coordinate> points;
        for (double lat = g.lat0; lat <= g.lat1; lat += 0.173)
            for (double lon = g.lon0; lon <= g.lon1; lon += 0.231)
                points.push_back({lon * kDeg, lat * kDeg});
        const auto n = static_cast<int32_t>(points.size());
        const std::string op = std::string("+proj=hgridshift +grids=") + kProjData + "/" + g.gsb;
        const auto forward = oracle::apply(op, points), inverse = oracle::apply(op, points, true);
        ASSERT_EQ(forward.size(), points.size());
        std::vector<Kprj_Coordinate> got(points.size());
        const struct {
            const char *what;
            Kprj_Spheroid *in, *out;
            const std::vector<Kprj_Coordinate> *want;
        } routes[] = {
            {"grid to grid", grid, nad83, &forward},
            {"grid back", nad83, grid, &inverse},
            {"grid to parametric", grid, etrs, &forward},
            {"parametric to grid", etrs, grid, &inverse},
            {"grid to WGS 84", grid, wgs, &forward},
        };
        for (const auto &r : routes) {
            ASSERT_EQ(kprj_DatumShift(points.data(), r.in, got.data(), r.out, n, &err), 0)
                << r.what << ": " << ktest::messages(err.r);
            for (int32_t i = 0; i < n; ++i)
                ASSERT_LT(oracle::metres(got[i], (*r.want)[i]), 1e-3)
                    << r.what << " at " << points[i].x / kDeg << ", " << points[i].y / kDeg;
        }
        EXPECT_GT(oracle::metres(points[0], forward[0]), g.moved);
        kprj_SpheroidFree(grid);
    }
    kprj_SpheroidFree(nad83);
    kprj_SpheroidFree(etrs);
    kprj_SpheroidFree(wgs);
    if (!done) GTEST_SKIP() << "proj-data's grids are not installed (apt-get install proj-data)";
}

}  // namespace
