// The pixel-type tables (names, sizes, integer ranges) and name lookup.
#include <kraster/kgda.h>
#include <kraster/kpxm.h>

#include <cstring>

#include "core/report.hpp"

namespace {

const char *const g_pixelTypeName[KGDA_PIXEL_TYPE_COUNT + 1] = {
    "u1",  "u2",  "u4",  "u8",  "s8",   "u16",    "s16",  "u32",
    "s32", "f32", "f64", "c64", "c128", "string", nullptr};

constexpr int32_t kPointerBits = static_cast<int32_t>(sizeof(char *) * 8);

const int32_t g_numBitsPerPixel[KGDA_PIXEL_TYPE_COUNT] = {1,  2,  4,  8,  8,  16,  16,
                                                          32, 32, 32, 64, 64, 128, kPointerBits};

const int32_t g_numBytesPerPixel[KGDA_PIXEL_TYPE_COUNT] = {
    1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16, static_cast<int32_t>(sizeof(char *))};

const double g_integerMinValue[KGDA_PIXEL_TYPE_COUNT] = {
    0, 0, 0, 0, -128, 0, -32768, 0, -2147483648.0, 0, 0, 0, 0, 0};

const double g_integerMaxValue[KGDA_PIXEL_TYPE_COUNT] = {
    1, 3, 15, 255, 127, 65535, 32767, 4294967295.0, 2147483647.0, 0, 0, 0, 0, 0};

}  // namespace

extern "C" {

KRASTER_API const char *const *kmsc_AddressOf_kgda_PixelTypeName(void) {
    return g_pixelTypeName;
}

KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBitsPerPixel(void) {
    return g_numBitsPerPixel;
}

KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBytesPerPixel(void) {
    return g_numBytesPerPixel;
}

KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMinValue(void) {
    return g_integerMinValue;
}

KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMaxValue(void) {
    return g_integerMaxValue;
}

KRASTER_API int32_t kpxm_StringToType(const char *name, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (name) {
        for (int32_t t = 0; t < KGDA_PIXEL_TYPE_COUNT; ++t)
            if (strcmp(name, g_pixelTypeName[t]) == 0) return t;
    }
    e.error("kpxm_StringToType", 1, "Invalid pixel type:  %s", name ? name : "<NULL>");
    return -1;
}

}  // extern "C"
