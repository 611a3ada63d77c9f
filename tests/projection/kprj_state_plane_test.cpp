// State Plane: every zone of the State Plane table, for both NAD codes,
// projects its own origin to its false easting and northing and back; the
// NAD code rule; zones and NAD codes decide equality.
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <memory>
#include <string>

#include "support/ktest.hpp"

namespace {

using ktest::Params;

Params statePlane(Kint_InitToolkitData *toolkit, int zone, double nad) {
    Params p(kprj_ProParametersCreateByName(toolkit, "State Plane", nullptr));
    p->proZone = zone;
    p->proParams.data[0] = nad;
    return p;
}

TEST(StatePlane, EveryZoneProjectsItsOriginToItsFalseOrigin) {
    Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    ktest::Err err;
    const Kprj_SPEntry *table = kprj_SPTableRead(toolkit, &err);
    ASSERT_NE(table, nullptr) << ktest::messages(err.r);
    int zones = 0;
    for (const Kprj_SPEntry *s = table; s; s = s->next) {
        SCOPED_TRACE(std::string(s->name ? s->name : "") + " " + std::to_string(s->zoneNumber) +
                     " NAD " + std::to_string(s->nadCode));
        ASSERT_GE(s->params.count, 9);
        // Where the entry keeps the origin: central meridian, latitude of
        // origin, false easting and northing.
        const int *at = nullptr;
        static const int kTm[4] = {2, 6, 7, 8}, kPoly[4] = {2, 3, 4, 5};
        at = s->projectionKind == 3 ? kPoly : kTm;
        double lon = 0, lat = 0;
        ASSERT_EQ(kcvt_GCTPPackedDMS2Radians(&s->params.data[at[0]], &lon, 1, 0, &err), 0);
        ASSERT_EQ(kcvt_GCTPPackedDMS2Radians(&s->params.data[at[1]], &lat, 1, 0, &err), 0);
        Params p = statePlane(toolkit, s->zoneNumber, s->nadCode);
        Kprj_Projection *sp = kprj_ProjectionInit(toolkit, p.get(), &err);
        ASSERT_NE(sp, nullptr) << ktest::messages(err.r);
        Kprj_Coordinate ll{lon, lat}, xy, back;
        ASSERT_EQ(kprj_ProjectionFromLL(sp, 1, &ll, &xy, &err), 0) << ktest::messages(err.r);
        // An oblique zone's centre is not its false origin: only the round trip.
        if (s->projectionKind != 4) {
            EXPECT_NEAR(xy.x, s->params.data[at[2]], 1e-3);
            EXPECT_NEAR(xy.y, s->params.data[at[3]], 1e-3);
        }
        ASSERT_EQ(kprj_ProjectionToLL(sp, 1, &xy, &back, &err), 0);
        EXPECT_NEAR(back.x, lon, 1e-10);
        EXPECT_NEAR(back.y, lat, 1e-10);
        // The State Plane record stays in the object.
        EXPECT_EQ(sp->mapProjection->proParameters->proNumber, 2);
        kprj_ProjectionFree(sp);
        ++zones;
    }
    EXPECT_GT(zones, 200);
}

TEST(StatePlane, NadCodeRuleAndEquality) {
    Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    ktest::Err err;
    struct Case {
        double param0;
        const char *datum;
        int nad;
    } cases[] = {{2, "", 2},  {3, "", 2},      {3.9, "", 2},    {1, "NAD83", 1}, {4, "", 1},
                 {-2, "", 1}, {0, "NAD83", 2}, {0, "nad83", 2}, {0, "NAD27", 1}, {0, "", 1}};
    for (const Case &c : cases) {
        Params p = statePlane(toolkit, 3101, c.param0);
        if (*c.datum) kprj_CharStrCreate(c.datum, &p->proSpheroid->datum->datumname, nullptr);
        EXPECT_EQ(kprj_NADCodeGet(p.get()), c.nad) << c.param0 << " " << c.datum;
    }
    Params a = statePlane(toolkit, 3101, 1), b = statePlane(toolkit, 3101, 4);
    EXPECT_EQ(kprj_ProParametersEqual(a.get(), b.get(), &err), 1);
    b->proParams.data[0] = 2;
    EXPECT_EQ(kprj_ProParametersEqual(a.get(), b.get(), &err), 0);
    b->proParams.data[0] = 1;
    b->proZone = 3102;
    EXPECT_EQ(kprj_ProParametersEqual(a.get(), b.get(), &err), 0);
    Params none = statePlane(toolkit, 9999, 1);
    EXPECT_EQ(kprj_ProjectionInit(toolkit, none.get(), &err), nullptr);
    EXPECT_NE(ktest::messages(err.r).find("Error returned from kprj_SPEntryByZoneNumber"),
              std::string::npos)
        << ktest::messages(err.r);
}

}  // namespace
