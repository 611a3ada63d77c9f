// Fuzz target for the units file parser: any text either yields units whose
// conversions round-trip, or a report; never a crash, hang or over-read.
#include <kraster/kraster.h>

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Kerr_ErrorReport *err = nullptr;
    Kcvt_Unit *units =
        kcvt_UnitsTextParse(reinterpret_cast<const char *>(data), size, "fuzz", &err);
    if (units && err) abort();  // success leaves no report
    for (const Kcvt_Unit *u = units; u; u = u->next) {
        double factor = 0, offset = 0;
        if (kcvt_UnitFactor(u, &factor, &offset, nullptr) != 0 || factor == 0 ||
            !std::isfinite(factor) || !std::isfinite(offset))
            abort();
        const double in = 1.0;
        double out = 0;
        if (kcvt_UnitsConvert(&in, u, &out, u, 1, nullptr) != 0) abort();
    }
    kcvt_UnitListFree(units);
    kerr_DeleteErrorReport(err);
    return 0;
}
