// Fuzz target for the projection families: a projection number, a spheroid
// and parameter values taken from the input either initialise a projection
// that converts points (failures reported per call), or fail with a report;
// never a crash, hang or over-read.
#include <kraster/kraster.h>

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Kint_InitToolkitData *toolkit = kint_InitToolkit(nullptr);
    if (size < 2) return 0;
    static const int kNumbers[] = {0, 1, 3, 4, 5, 6, 7, 8, 9, 20, 26};
    Kprj_ProParameters *p = kprj_ProParametersCreate(nullptr);
    p->proNumber = kNumbers[data[0] % (sizeof kNumbers / sizeof kNumbers[0])];
    p->proZone = static_cast<int8_t>(data[1]);
    data += 2;
    size -= 2;
    double values[20] = {};
    const size_t n = size / sizeof(double) < 20 ? size / sizeof(double) : 20;
    memcpy(values, data, n * sizeof(double));
    p->proSpheroid->a = n > 0 ? values[0] : 6378137;
    p->proSpheroid->eSquared = n > 1 ? values[1] : 0.0066943800229;
    kprj_DblArrayCreate(15, &p->proParams, nullptr);
    for (int i = 0; i < 15; ++i) p->proParams.data[i] = values[i + 2];
    Kerr_ErrorReport *err = nullptr;
    Kprj_Projection *projection = kprj_ProjectionInit(toolkit, p, &err);
    if (!projection && !err) abort();
    if (projection) {
        Kprj_Coordinate points[3] = {{values[17], values[18]}, {0.1, 0.2}, {-2.5, -1.2}}, out[3];
        kprj_ProjectionFromLL(projection, 3, points, out, nullptr);
        kprj_ProjectionToLL(projection, 3, out, points, nullptr);
        kprj_ProjectionFree(projection);
    }
    kerr_DeleteErrorReport(err);
    kprj_ProParametersFree(p);
    return 0;
}
