// Modified Transverse Mercator: the projection of the Alaska base maps,
// which the published description gives as an Equidistant Conic on the
// ellipsoid with standard parallels 66.09 and 53.50 degrees north about the
// meridian 150 degrees west. Only the false origin (6, 7) is read. Like the
// Transverse Mercator it keeps true distances along the central meridian
// measured from the equator (the latitude of origin), so northings are
// meridian distances as on the maps it modified.
#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

constexpr double kFirstParallel = 66.09 * kD2R;
constexpr double kSecondParallel = 53.50 * kD2R;
constexpr double kCentralMeridian = -150.0 * kD2R;

}  // namespace

bool mtmInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_MTMInit";
    // The Equidistant Conic record: two standard parallels (8 set).
    double params[9] = {
        0, 0, kFirstParallel, kSecondParallel, kCentralMeridian, 0, param(p, 6), param(p, 7), 1};
    Kprj_ProParameters conic = *p;
    conic.proParams.count = 9;
    conic.proParams.data = params;
    if (!equidistantConicInit(&conic, m, e)) {
        e.error(fn, 1, "Error returned from kprj_EquidistantConicInit");
        return false;
    }
    return true;
}

}  // namespace kr::prj
