// State Plane: the zone's entry in the State Plane table (by zone number
// and NAD code) names a family and its parameters; the spheroid comes from
// the entry's first two values. The object keeps the State Plane record and
// compares by zone and NAD code.
#include <kraster/kmsc.h>

#include <cmath>
#include <cstring>

#include <strings.h>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

// The name of a record's datum, "" when it has none.
const char *datumName(const Kprj_ProParameters *p) {
    const Kprj_Datum *d = p->proSpheroid ? p->proSpheroid->datum : nullptr;
    return d && d->datumname.count > 1 && d->datumname.data ? d->datumname.data : "";
}

namespace {

// Array index = entry value index, by the entry's projection kind.
struct Placement {
    int family;
    int pairs[6][2];
    int count;
};
constexpr Placement kPlacements[] = {
    {9, {{2, 3}, {4, 2}, {5, 6}, {6, 7}, {7, 8}}, 5},
    {4, {{2, 5}, {3, 4}, {4, 2}, {5, 6}, {6, 7}, {7, 8}}, 6},
    {7, {{4, 2}, {5, 3}, {6, 4}, {7, 5}}, 4},
    {20, {{2, 3}, {3, 5}, {4, 2}, {5, 6}, {6, 7}, {7, 8}}, 6},
};

}  // namespace

bool statePlaneTarget(const Kprj_ProParameters *p, StatePlaneTarget &t, Report &e) {
    constexpr const char *fn = "kprj_StatePlaneInit";
    const int32_t nad = kprj_NADCodeGet(p);
    Kint_InitToolkitData *toolkit = kint_GetInit();
    const Kprj_SPEntry *entry = kprj_SPEntryByZoneNumber(toolkit, p->proZone, nad, e.out());
    if (!entry) {
        e.error(fn, 1, "Error returned from kprj_SPEntryByZoneNumber");
        return false;
    }
    if (entry->params.count < 9 || !entry->params.data) {
        e.error(fn, 2, "Insufficient parameters in spEntry");
        return false;
    }
    if (entry->projectionKind < 1 || entry->projectionKind > 4) {
        e.error(fn, 3, "Invalid projection kind %ld in spEntry",
                static_cast<long>(entry->projectionKind));
        return false;
    }
    const Placement &place = kPlacements[entry->projectionKind - 1];
    double packed[15] = {};
    for (int i = 0; i < place.count; ++i)
        packed[place.pairs[i][0]] = entry->params.data[place.pairs[i][1]];
    if (place.family == 20) packed[12] = 1.0;
    Kprj_DblArrayPtr in{15, packed}, out{15, t.radians};
    if (kprj_GCTPProParams2Radians(place.family, &in, &out, e.out()) < 0) {
        e.error(fn, 4, "Error returned from kprj_GCTPProParams2Radians");
        return false;
    }
    // The target family's record: the State Plane record with the entry's
    // spheroid and the filled array.
    t.spheroid = *p->proSpheroid;
    t.spheroid.a = entry->params.data[0];
    t.spheroid.eSquared = entry->params.data[1];
    t.spheroid.b = t.spheroid.a * std::sqrt(1 - t.spheroid.eSquared);
    t.record = *p;
    t.record.proNumber = place.family;
    t.record.proParams = {15, t.radians};
    t.record.proSpheroid = &t.spheroid;
    return true;
}

bool statePlaneInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_StatePlaneInit";
    StatePlaneTarget t;
    if (!statePlaneTarget(p, t, e)) return false;
    const Family *f = familyByNumber(t.record.proNumber);
    if (!f || !f->init(&t.record, m, e)) {
        e.error(fn, 5, "Error returned from called projection initialization");
        return false;
    }
    m->proParametersEqual = statePlaneEqual;
    return true;
}

int statePlaneEqual(const Kprj_ProParameters *a, const Kprj_ProParameters *b,
                    Kerr_ErrorReport **err) {
    Report e(err);
    if (!a || !b) return a == b;
    return a->proZone == b->proZone && kprj_NADCodeGet(a) == kprj_NADCodeGet(b) ? 1 : 0;
}

}  // namespace kr::prj

extern "C" KRASTER_API int32_t kprj_NADCodeGet(const Kprj_ProParameters *p) {
    if (!p) return 1;
    const long code =
        p->proParams.count > 0 && p->proParams.data ? static_cast<long>(p->proParams.data[0]) : 0;
    if (code == 2 || code == 3) return 2;
    if (code != 0) return 1;
    return strcasecmp(kr::prj::datumName(p), "NAD83") == 0 ? 2 : 1;
}
