// A projection engine that lacks most functions, writes empty texts and
// refuses every point: the tests point PE_LIB at it to see the library's
// refusals.
#include <kraster/pe.h>

#include <cstdlib>
#include <cstring>

namespace {
int g_object;  // every object is this one
}

extern "C" {
__attribute__((visibility("default"))) const char *pe_error_text(void) {
    return "partial engine";
}
__attribute__((visibility("default"))) pe_object *pe_coordsys_from_string(const char *) {
    return reinterpret_cast<pe_object *>(&g_object);
}
__attribute__((visibility("default"))) int pe_object_type(const pe_object *) {
    return PE_TYPE_GEOGCS;
}
__attribute__((visibility("default"))) void pe_coordsys_del(pe_object *) {}
__attribute__((visibility("default"))) char *pe_coordsys_to_string(const pe_object *, int) {
    return static_cast<char *>(calloc(1, 1));
}
__attribute__((visibility("default"))) void pe_string_del(char *s) {
    free(s);
}
__attribute__((visibility("default"))) pe_object *pe_parameter_new(const char *, double) {
    return reinterpret_cast<pe_object *>(&g_object);
}
__attribute__((visibility("default"))) pe_object *pe_geogtran_new(const char *, int,
                                                                  pe_object *const *) {
    return reinterpret_cast<pe_object *>(&g_object);
}
__attribute__((visibility("default"))) int pe_geog_to_proj(const pe_object *, int, double *) {
    return -1;
}
__attribute__((visibility("default"))) pe_object *pe_geogcs_new(const char *, const char *,
                                                                const char *, double, double,
                                                                const pe_object *) {
    return reinterpret_cast<pe_object *>(&g_object);
}
}
