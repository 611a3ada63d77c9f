// The State Plane table against its sources: every zone of proj-data's
// NAD27 and NAD83 definitions is in the table, and projecting points with
// the table's values gives what PROJ gives with the source definition.
#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "support/ktest.hpp"

namespace {

constexpr const char *kSources[] = {nullptr, "/usr/share/proj/nad27", "/usr/share/proj/nad83"};

// Zone numbers of an init file: lines that open with "<number>".
std::set<int> sourceZones(const char *path) {
    std::set<int> zones;
    std::ifstream in(path);
    const std::regex open("^<([0-9]+)>");
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, open)) zones.insert(std::stoi(m[1]));
    return zones;
}

double degrees(double packed) {
    double out = 0;
    EXPECT_EQ(kcvt_GCTPPackedDMS2DecimalDegrees(&packed, &out, 1, 0, nullptr), 0) << packed;
    return out;
}

// The PROJ definition of a table entry, and a point near its origin.
std::string definition(const Kprj_SPEntry *z, double *lon, double *lat) {
    const double *v = z->params.data;
    char buf[512];
    const std::string head = "+a=%.17g +es=%.17g ";
    *lon = degrees(v[2]);
    *lat = degrees(v[z->projectionKind == KPRJ_SP_POLYCONIC ? 3 : 6]);
    switch (z->projectionKind) {
        case KPRJ_SP_TRANSVERSE_MERCATOR:
            snprintf(
                buf, sizeof buf,
                ("+proj=tmerc " + head + "+lon_0=%.17g +k=%.17g +lat_0=%.17g +x_0=%.17g +y_0=%.17g")
                    .c_str(),
                v[0], v[1], *lon, v[3], *lat, v[7], v[8]);
            break;
        case KPRJ_SP_LAMBERT_CONFORMAL_CONIC:
            snprintf(buf, sizeof buf,
                     ("+proj=lcc " + head +
                      "+lon_0=%.17g +lat_1=%.17g +lat_2=%.17g +lat_0=%.17g +x_0=%.17g +y_0=%.17g")
                         .c_str(),
                     v[0], v[1], *lon, degrees(v[5]), degrees(v[4]), *lat, v[7], v[8]);
            break;
        case KPRJ_SP_POLYCONIC:
            snprintf(
                buf, sizeof buf,
                ("+proj=poly " + head + "+lon_0=%.17g +lat_0=%.17g +x_0=%.17g +y_0=%.17g").c_str(),
                v[0], v[1], *lon, *lat, v[4], v[5]);
            break;
        default:
            snprintf(buf, sizeof buf,
                     ("+proj=omerc " + head +
                      "+lonc=%.17g +k=%.17g +alpha=%.17g +lat_0=%.17g +x_0=%.17g +y_0=%.17g")
                         .c_str(),
                     v[0], v[1], *lon, v[3], degrees(v[5]), *lat, v[7], v[8]);
            break;
    }
    return buf;
}

// The zone's State Plane record projected by the library gives the same
// points too, and takes them back.
TEST(StatePlaneTable, EveryZoneMatchesItsSourceDefinition) {
    Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    ASSERT_NE(toolkit, nullptr);
    if (!std::ifstream(kSources[1]) || !std::ifstream(kSources[2]))
        GTEST_SKIP()
            << "proj-data's nad27 and nad83 files are not installed (apt-get install proj-data)";
    ktest::Err err;
    std::map<int, std::set<int>> inTable;
    PJ_CONTEXT *ctx = proj_context_create();
    int checked = 0;
    for (const Kprj_SPEntry *z = kprj_SPTableRead(nullptr, &err); z; z = z->next) {
        ASSERT_TRUE(z->nadCode == KPRJ_NAD27 || z->nadCode == KPRJ_NAD83);
        EXPECT_TRUE(inTable[z->nadCode].insert(z->zoneNumber).second) << z->zoneNumber;
        const std::string source = std::string("+init=") +
                                   (z->nadCode == KPRJ_NAD27 ? "nad27:" : "nad83:") +
                                   std::to_string(z->zoneNumber);
        double lon0 = 0, lat0 = 0;
        const std::string ours = definition(z, &lon0, &lat0);
        PJ *a = proj_create(ctx, source.c_str());
        PJ *b = proj_create(ctx, ours.c_str());
        ASSERT_NE(a, nullptr) << source;
        ASSERT_NE(b, nullptr) << ours;
        ktest::Params record(kprj_ProParametersCreateByName(toolkit, "State Plane", nullptr));
        record->proZone = z->zoneNumber;
        record->proParams.data[0] = z->nadCode;
        ktest::Projection sp(kprj_ProjectionInit(toolkit, record.get(), &err));
        ASSERT_TRUE(sp) << source << ": " << ktest::messages(err.r);
        EXPECT_EQ(sp->mapProjection->proParameters->proNumber, KPRJ_STATE_PLANE);
        static const double offsets[][2] = {{0.3, 0.4}, {-0.6, 1.1}, {0.9, -0.7}};
        for (const auto &d : offsets) {
            const PJ_COORD p = proj_coord(proj_torad(lon0 + d[0]), proj_torad(lat0 + d[1]), 0, 0);
            const PJ_COORD x = proj_trans(a, PJ_FWD, p), y = proj_trans(b, PJ_FWD, p);
            EXPECT_NEAR(x.xy.x, y.xy.x, 1e-3) << z->name << " " << source << " / " << ours;
            EXPECT_NEAR(x.xy.y, y.xy.y, 1e-3) << z->name << " " << source << " / " << ours;
            EXPECT_TRUE(std::isfinite(x.xy.x)) << source;
            Kprj_Coordinate ll{p.lp.lam, p.lp.phi}, xy{}, back{};
            ASSERT_EQ(kprj_ProjectionFromLL(sp.get(), 1, &ll, &xy, &err), 0) << source;
            EXPECT_NEAR(xy.x, x.xy.x, 2e-3) << source;
            EXPECT_NEAR(xy.y, x.xy.y, 2e-3) << source;
            ASSERT_EQ(kprj_ProjectionToLL(sp.get(), 1, &xy, &back, &err), 0) << source;
            EXPECT_NEAR(back.x, ll.x, 1e-10) << source;
            EXPECT_NEAR(back.y, ll.y, 1e-10) << source;
        }
        // The zone's spheroid is the datum's unless the source names its own.
        if (z->params.data[0] != 6378450.047) {
            EXPECT_EQ(z->params.data[0], z->nadCode == KPRJ_NAD27 ? 6378206.4 : 6378137.0);
        }
        proj_destroy(a);
        proj_destroy(b);
        ++checked;
    }
    proj_context_destroy(ctx);
    EXPECT_EQ(inTable[KPRJ_NAD27], sourceZones(kSources[1]));
    EXPECT_EQ(inTable[KPRJ_NAD83], sourceZones(kSources[2]));
    EXPECT_EQ(checked,
              static_cast<int>(sourceZones(kSources[1]).size() + sourceZones(kSources[2]).size()));
}

}  // namespace
