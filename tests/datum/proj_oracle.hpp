// PROJ as the reference of the datum tests: pipelines built from strings,
// applied to points in radians.
#pragma once

#include <gtest/gtest.h>
#include <kraster/kraster.h>
#include <proj.h>

#include <cmath>
#include <string>
#include <vector>

namespace oracle {

// Applies a PROJ operation (forward or inverse) to (lon, lat) points in
// radians; an empty result when PROJ refuses the definition.
inline std::vector<Kprj_Coordinate> apply(const std::string &definition,
                                          const std::vector<Kprj_Coordinate> &points,
                                          bool inverse = false) {
    PJ_CONTEXT *ctx = proj_context_create();
    PJ *op = proj_create(ctx, definition.c_str());
    std::vector<Kprj_Coordinate> out;
    if (op) {
        for (const Kprj_Coordinate &p : points) {
            PJ_COORD c = proj_coord(p.x, p.y, 0, 0);
            c = proj_trans(op, inverse ? PJ_INV : PJ_FWD, c);
            out.push_back({c.lpz.lam, c.lpz.phi});
        }
        proj_destroy(op);
    }
    proj_context_destroy(ctx);
    return out;
}

// Ground distance in metres between two nearby geographic points.
inline double metres(const Kprj_Coordinate &a, const Kprj_Coordinate &b) {
    double dlon = a.x - b.x;
    if (dlon > M_PI) dlon -= 2 * M_PI;
    if (dlon < -M_PI) dlon += 2 * M_PI;
    return 6378137.0 * std::hypot(a.y - b.y, dlon * std::cos(a.y));
}

}  // namespace oracle
