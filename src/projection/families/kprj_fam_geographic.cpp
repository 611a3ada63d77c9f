// Geographic: points pass through in radians.
#include <cstring>

#include "projection/kprj_engine.hpp"

namespace kr::prj {

namespace {

struct Geographic {
    int unused = 0;
};

int passThrough(const char *fn, const void *parameters, int64_t n, const Kprj_Coordinate *in,
                Kprj_Coordinate *out, Kerr_ErrorReport **err) {
    Report e(err);
    if (!parameters || n < 0 || (n > 0 && (!in || !out))) {
        e.error(fn, 1, n < 0 ? "Bad point count" : "Invalid input parameters");
        return -1;
    }
    if (n > 0 && in != out) memmove(out, in, static_cast<size_t>(n) * sizeof *out);
    return 0;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return passThrough("kprj_GeographicToLL", p, n, in, out, err);
}

int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return passThrough("kprj_GeographicFromLL", p, n, in, out, err);
}

}  // namespace

bool geographicInit(const Kprj_ProParameters *, Kprj_MapProjection *m, Report &e) {
    auto *b = new (std::nothrow) Geographic;
    if (!b) {
        e.error("kprj_GeographicInit", 1, "Error allocating parameters");
        return false;
    }
    setBlock(m, b);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
