// Angles in degree-minute-second form: triples and packed numbers.
#include <kraster/kcvt.h>

#include <cmath>

#include "services/kcvt_internal.hpp"

namespace {

struct Divisors {
    double degree;
    double minute;
};

bool divisorsOf(int32_t version, Divisors *d, const char *fn, kr::Report &e) {
    if (version == 0) {
        *d = {1000000.0, 1000.0};  // DDDMMMSSS.SS
    } else if (version == 1) {
        *d = {10000.0, 100.0};  // DDDMMSS.SS
    } else {
        e.error(fn, 1, "Invalid DMS version");
        return false;
    }
    return true;
}

bool checkArrays(const double *in, const double *out, int64_t count, const char *fn,
                 kr::Report &e) {
    if (count < 0 || (count > 0 && (!in || !out))) {
        e.error(fn, 2, "Invalid input values");
        return false;
    }
    return true;
}

// Unpacks into output, applying scale and shift to every valid value;
// invalid values are left unwritten.
int unpack(const double *input, double *output, int64_t count, int32_t version, double scale,
           double shift, const char *fn, kr::Report &e) {
    Divisors dv;
    if (!divisorsOf(version, &dv, fn, e) || !checkArrays(input, output, count, fn, e)) return -1;
    bool bad = false;
    for (int64_t i = 0; i < count; ++i) {
        const double s = input[i] < 0 ? -1.0 : 1.0;
        const double a = std::fabs(input[i]);
        const double degrees = std::floor(a / dv.degree);
        const double rest = a - degrees * dv.degree;
        const double minutes = std::floor(rest / dv.minute);
        const double seconds = rest - minutes * dv.minute;
        if (!(degrees <= 180 && minutes <= 60 && seconds <= 60)) {
            bad = true;
            continue;
        }
        output[i] = s * (degrees + minutes / 60.0 + seconds / 3600.0) * scale + shift;
    }
    if (bad) {
        e.error(fn, 3, "Invalid packed decimal value");
        return -1;
    }
    return 0;
}

// Packs the values (taken to degrees by scale and shift); stops at the
// first value above 180 degrees.
int pack(const double *input, double *output, int64_t count, int32_t version, double scale,
         double shift, const char *fn, kr::Report &e) {
    Divisors dv;
    if (!divisorsOf(version, &dv, fn, e) || !checkArrays(input, output, count, fn, e)) return -1;
    for (int64_t i = 0; i < count; ++i) {
        const double v = input[i] * scale + shift;
        const double s = v < 0 ? -1.0 : 1.0;
        const double a = std::fabs(v);
        double degrees = std::trunc(a);
        const double m = (a - degrees) * 60.0;
        double minutes = std::trunc(m);
        double seconds = (m - minutes) * 60.0;
        if (60.0 - seconds < 1e-10) {
            seconds = 0;
            minutes += 1;
        }
        if (minutes >= 60) {
            minutes = 0;
            degrees += 1;
        }
        if (!(degrees <= 180)) {
            e.error(fn, 4, "Invalid decimal degrees");
            return -1;
        }
        output[i] = s * (minutes * dv.minute + degrees * dv.degree + seconds);
    }
    return 0;
}

// Scale and shift from radians to decimal degrees (inverse false) or back.
bool radiansToDegrees(bool inverse, double *scale, double *shift, const char *fn, kr::Report &e) {
    const Kcvt_Unit *rad = kcvt_UnitSetByName("radians", e.out());
    const Kcvt_Unit *dd = rad ? kcvt_UnitSetByName("dd", e.out()) : nullptr;
    if (!dd) {
        e.error(fn, 5, "Error returned from kcvt_UnitSetByName");
        return false;
    }
    return kr::cvt::scaleAndShift(inverse ? dd : rad, inverse ? rad : dd, scale, shift, fn, e);
}

}  // namespace

extern "C" {

KRASTER_API void kcvt_DD2DMS(double decimalDegrees, double *degrees, double *minutes,
                             double *seconds) {
    const double s = decimalDegrees >= 0 ? 1.0 : -1.0;
    const double a = std::fabs(decimalDegrees);
    double d = std::floor(a);
    const double total = std::floor((a - d) * 3600.0 + 0.5);
    double m = std::floor(total / 60.0);
    double sec = total - m * 60.0;
    if (sec >= 60) {
        sec -= 60;
        m += 1;
    }
    if (m >= 60) {
        m -= 60;
        d += 1;
    }
    if (degrees) *degrees = d * s;
    if (minutes) *minutes = m;
    if (seconds) *seconds = sec;
}

KRASTER_API double kcvt_DMS2DD(double degrees, double minutes, double seconds) {
    const double s = std::signbit(degrees) ? -1.0 : 1.0;
    return s * (std::fabs(degrees) + seconds / 3600.0 + minutes / 60.0);
}

KRASTER_API int kcvt_GCTPPackedDMS2DecimalDegrees(const double *input, double *output,
                                                  int64_t count, int32_t version,
                                                  Kerr_ErrorReport **err) {
    kr::Report e(err);
    return unpack(input, output, count, version, 1, 0, "kcvt_GCTPPackedDMS2DecimalDegrees", e);
}

KRASTER_API int kcvt_DecimalDegrees2GCTPPackedDMS(const double *input, double *output,
                                                  int64_t count, int32_t version,
                                                  Kerr_ErrorReport **err) {
    kr::Report e(err);
    return pack(input, output, count, version, 1, 0, "kcvt_DecimalDegrees2GCTPPackedDMS", e);
}

KRASTER_API int kcvt_GCTPPackedDMS2Radians(const double *input, double *output, int64_t count,
                                           int32_t version, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_GCTPPackedDMS2Radians";
    kr::Report e(err);
    double scale = 1, shift = 0;
    if (!radiansToDegrees(true, &scale, &shift, fn, e)) return -1;
    return unpack(input, output, count, version, scale, shift, fn, e);
}

KRASTER_API int kcvt_Radians2GCTPPackedDMS(const double *input, double *output, int64_t count,
                                           int32_t version, Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_Radians2GCTPPackedDMS";
    kr::Report e(err);
    double scale = 1, shift = 0;
    if (!radiansToDegrees(false, &scale, &shift, fn, e)) return -1;
    return pack(input, output, count, version, scale, shift, fn, e);
}

}  // extern "C"
