// Coordinate systems of the external projection engine.
#include <kraster/kprj.h>

#include "core/report.hpp"

using kr::Report;

namespace {
template <class T>
T *notYet(const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    e.error(fn, 99, "not yet implemented");
    return nullptr;
}
}  // namespace

extern "C" {

KRASTER_API const char *kprj_PEMethodName(int32_t) {
    return nullptr;
}
KRASTER_API Kprj_Projection *kprj_MapProjectionFromPEString(Kint_InitToolkitData *, const char *,
                                                            Kerr_ErrorReport **err) {
    return notYet<Kprj_Projection>("kprj_MapProjectionFromPEString", err);
}
KRASTER_API char *kprj_MapProjectionToPEString(const Kprj_Projection *, Kerr_ErrorReport **err) {
    return notYet<char>("kprj_MapProjectionToPEString", err);
}
KRASTER_API Kprj_ProParameters *kprj_PEPrjRead(Kint_InitToolkitData *, const char *,
                                               Kerr_ErrorReport **err) {
    return notYet<Kprj_ProParameters>("kprj_PEPrjRead", err);
}
KRASTER_API int kprj_PEPrjWrite(const char *, const Kprj_ProParameters *, Kerr_ErrorReport **err) {
    notYet<void>("kprj_PEPrjWrite", err);
    return -1;
}
KRASTER_API pe_object *kprj_MapProjectionToCOORDSYS(const Kprj_ProParameters *,
                                                    Kerr_ErrorReport **err) {
    return notYet<pe_object>("kprj_MapProjectionToCOORDSYS", err);
}
KRASTER_API pe_object *kprj_GEOGCSFromSpheroidDatum(const Kprj_Spheroid *, Kerr_ErrorReport **err) {
    return notYet<pe_object>("kprj_GEOGCSFromSpheroidDatum", err);
}
KRASTER_API pe_object *kprj_PROJECTIONFromProNumber(const Kprj_ProParameters *,
                                                    Kerr_ErrorReport **err) {
    return notYet<pe_object>("kprj_PROJECTIONFromProNumber", err);
}
KRASTER_API Kprj_ProParameters *kprj_COORDSYSToMapProjection(Kint_InitToolkitData *,
                                                             const pe_object *,
                                                             Kerr_ErrorReport **err) {
    return notYet<Kprj_ProParameters>("kprj_COORDSYSToMapProjection", err);
}
KRASTER_API pe_object *kprj_COORDSYSUnitChange(const pe_object *, const char *,
                                               Kerr_ErrorReport **err) {
    return notYet<pe_object>("kprj_COORDSYSUnitChange", err);
}
KRASTER_API void kprj_PEObjectFree(pe_object *) {}
KRASTER_API Kprj_ProParameters *kprj_ProParametersFromSystemText(Kint_InitToolkitData *,
                                                                 const char *,
                                                                 Kerr_ErrorReport **err) {
    return notYet<Kprj_ProParameters>("kprj_ProParametersFromSystemText", err);
}

}  // extern "C"
