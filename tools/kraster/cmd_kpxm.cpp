// Pixel types and conversion: a subcommand converting values between pixel
// types, and the demo section showing the type table and the rules at work.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tool.hpp"

namespace {

// Text of one element of type t (numeric types only).
std::string show(int32_t t, const void *element) {
    char buf[96];
    Kerr_ErrorReport *err = nullptr;
    if (t == KGDA_TYPE_C64 || t == KGDA_TYPE_C128) {
        double c[2];
        kpxm_ConvertPixels(c, KGDA_TYPE_C128, element, t, 1, &err);
        snprintf(buf, sizeof buf, "(%.9g, %.9g)", c[0], c[1]);
    } else {
        double v;
        kpxm_ConvertPixels(&v, KGDA_TYPE_F64, element, t, 1, &err);
        const char *format = t <= KGDA_TYPE_S32 ? "%.0f" : t == KGDA_TYPE_F64 ? "%.17g" : "%.9g";
        snprintf(buf, sizeof buf, format, v);
    }
    kerr_DeleteErrorReport(err);
    return buf;
}

// Parses "x" (taken as f64) or "re,im" (taken as c128) and converts it into
// type t. Returns 0, or prints the report and returns 1.
int parseInto(const std::string &text, int32_t t, unsigned char *element) {
    double c[2] = {0, 0};
    char *end = nullptr;
    c[0] = strtod(text.c_str(), &end);
    const bool complex = *end == ',';
    if (complex) c[1] = strtod(end + 1, &end);
    if (*end != '\0' || end == text.c_str()) {
        fprintf(stderr, "kraster: not a number: %s\n", text.c_str());
        return 1;
    }
    Kerr_ErrorReport *err = nullptr;
    if (!kpxm_ConvertPixels(element, t, c, complex ? KGDA_TYPE_C128 : KGDA_TYPE_F64, 1, &err)) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    return 0;
}

int convertOne(int32_t from, int32_t to, const std::string &text) {
    unsigned char in[16] = {}, out[16] = {};
    if (parseInto(text, from, in)) return 1;
    Kerr_ErrorReport *err = nullptr;
    if (!kpxm_ConvertPixels(out, to, in, from, 1, &err)) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return 1;
    }
    const char *const *names = kmsc_AddressOf_kgda_PixelTypeName();
    printf("  %-5s %-26s -> %-5s %s\n", names[from], show(from, in).c_str(), names[to],
           show(to, out).c_str());
    return 0;
}

int pixelConvert(const std::vector<std::string> &args) {
    if (args.size() < 3) {
        fprintf(stderr, "usage: kraster pixel-convert FROM TO VALUE...\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    const int32_t from = kpxm_StringToType(args[0].c_str(), &err);
    const int32_t to = from < 0 ? -1 : kpxm_StringToType(args[1].c_str(), &err);
    if (to < 0 || from == KGDA_STRING_TYPE_CODE || to == KGDA_STRING_TYPE_CODE) {
        if (err)
            kerr_PrintErrorReport(err, 0, 0);
        else
            fprintf(stderr, "kraster: values convert between numeric types only\n");
        kerr_DeleteErrorReport(err);
        return 1;
    }
    for (size_t i = 2; i < args.size(); ++i)
        if (convertOne(from, to, args[i])) return 1;
    return 0;
}

int demoPixels() {
    const char *const *names = kmsc_AddressOf_kgda_PixelTypeName();
    const int32_t *bits = kmsc_AddressOf_kgda_NumBitsPerPixel();
    const int32_t *bytes = kmsc_AddressOf_kgda_NumBytesPerPixel();
    const double *lo = kmsc_AddressOf_kgda_IntegerMinValue();
    const double *hi = kmsc_AddressOf_kgda_IntegerMaxValue();
    printf("pixel types (code, name, bits, bytes in memory, integer range):\n");
    for (int32_t t = 0; names[t]; ++t) {
        printf("  %2d %-6s %3d %2d", t, names[t], bits[t], bytes[t]);
        if (t <= KGDA_TYPE_S32) printf("  %.0f .. %.0f", lo[t], hi[t]);
        printf("\n");
    }
    printf(
        "conversions (saturate, clamp as double, round half away from zero,\n"
        "complex magnitude, real to complex):\n");
    struct Example {
        int32_t from, to;
        const char *value;
    };
    const Example examples[] = {
        {KGDA_TYPE_U16, KGDA_TYPE_U8, "300"}, {KGDA_TYPE_S8, KGDA_TYPE_U8, "-5"},
        {KGDA_TYPE_F64, KGDA_TYPE_U8, "2.5"}, {KGDA_TYPE_F64, KGDA_TYPE_S16, "-2.5"},
        {KGDA_TYPE_F64, KGDA_TYPE_U4, "nan"}, {KGDA_TYPE_F64, KGDA_TYPE_S32, "1e20"},
        {KGDA_TYPE_C64, KGDA_TYPE_U8, "3,4"}, {KGDA_TYPE_U8, KGDA_TYPE_C128, "7"},
    };
    for (const Example &e : examples)
        if (convertOne(e.from, e.to, e.value)) return 1;

    // Strings copy only to strings; asking for a number is refused.
    char *strings[1] = {nullptr};
    const double one = 1;
    Kerr_ErrorReport *err = nullptr;
    if (kpxm_ConvertPixels(strings, KGDA_STRING_TYPE_CODE, &one, KGDA_TYPE_F64, 1, &err) || !err) {
        kerr_DeleteErrorReport(err);
        return 1;
    }
    printf("f64 -> string is refused: %s\n", err->message);
    kerr_DeleteErrorReport(err);
    return 0;
}

tool::Registrar pixelConvertCommand("pixel-convert", "FROM TO VALUE...",
                                    "convert values (x or re,im) between pixel types",
                                    pixelConvert);
tool::DemoRegistrar pixelSection(40, "pixel types and conversion", demoPixels);

}  // namespace
