// State Plane records: the NAD code rule; zones and NAD codes decide
// equality. (Every zone is projected against its source definition in
// kprj_sptable_test.)
#include <gtest/gtest.h>
#include <kraster/kraster.h>

#include <cmath>
#include <memory>
#include <string>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

using ktest::Params;

Params statePlane(Kint_InitToolkitData *toolkit, int zone, double nad) {
    Params p(kprj_ProParametersCreateByName(toolkit, "State Plane", nullptr));
    p->proZone = zone;
    p->proParams.data[0] = nad;
    return p;
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
    b->proParams.data[0] = 1, b->proZone = 3102;
    EXPECT_EQ(kprj_ProParametersEqual(a.get(), b.get(), &err), 0);
    Params none = statePlane(toolkit, 9999, 1);
    refusedWith(err, kprj_ProjectionInit(toolkit, none.get(), &err) == nullptr,
                "Error returned from kprj_SPEntryByZoneNumber");
}

}  // namespace
