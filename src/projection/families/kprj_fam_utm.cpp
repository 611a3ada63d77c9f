// UTM: Transverse Mercator of a 6-degree zone (given, or derived from the
// longitude in parameter 2), hemisphere from the sign of parameter 3.
#include <kraster/kmsc.h>

#include <cmath>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

bool utmInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_UTMInit";
    const int zone = utmZone(p);
    if (zone < 1 || zone > 60) {
        e.error(fn, 1, "Illegal zone number");
        return false;
    }
    double params[8] = {
        0, 0, 0.9996, 0, (zone * 6 - 183) * kD2R, 0, 500000.0, param(p, 3) < 0 ? 10000000.0 : 0.0};
    Kprj_ProParameters tm = *p;
    tm.proParams.count = 8;
    tm.proParams.data = params;
    if (!transverseMercatorSetup(&tm, m, e)) {
        e.error(fn, 2, "Error returned from kprj_TransverseMercatorInit");
        return false;
    }
    m->proParametersEqual = utmEqual;
    return true;
}

int utmEqual(const Kprj_ProParameters *a, const Kprj_ProParameters *b, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_UTMProParametersEqual";
    Report e(err);
    if (!a || !b) return a == b;
    if (a->proParams.count < 4 || b->proParams.count < 4 || !a->proParams.data ||
        !b->proParams.data) {
        e.error(fn, 1, "Too few parameters in input parmArray");
        return -1;
    }
    if (utmZone(a) != utmZone(b)) return 0;
    if ((a->proParams.data[3] < 0) != (b->proParams.data[3] < 0)) return 0;
    const int s = kprj_SpheroidsEqual(a->proSpheroid, b->proSpheroid, e.out());
    if (s < 0) e.error(fn, 2, "Error returned from kprj_SpheroidsEqual");
    return s;
}

}  // namespace kr::prj
