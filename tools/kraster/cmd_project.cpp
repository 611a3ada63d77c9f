// `kraster project`: converts points read from standard input, one "x y"
// per line, from one projection to another, each named as
// projection_spec.hpp describes. Geographic points are in degrees, projected ones in
// metres unless --from-units or --to-units say otherwise.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "projection_spec.hpp"
#include "tool.hpp"

namespace {

int fail(Kerr_ErrorReport *err, const char *what) {
    fflush(stdout);
    fprintf(stderr, "kraster project: %s\n", what);
    if (err) kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

bool blank(const char *line) {
    for (; *line; ++line)
        if (*line != ' ' && *line != '\t' && *line != '\r' && *line != '\n') return false;
    return true;
}

// A record from "NAME;key=value;...", or null after printing why.
Kprj_ProParameters *recordFromSpec(Kint_InitToolkitData *toolkit, const std::string &spec) {
    Kerr_ErrorReport *err = nullptr;
    std::string why;
    Kprj_ProParameters *p = tool::projectionFromSpec(toolkit, spec, &why, &err);
    if (!p) fail(err, why.c_str());
    return p;
}

int project(const std::vector<std::string> &args) {
    std::string from, to, fromUnits, toUnits;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--from")
            from = args[i + 1];
        else if (args[i] == "--to")
            to = args[i + 1];
        else if (args[i] == "--from-units")
            fromUnits = args[i + 1];
        else if (args[i] == "--to-units")
            toUnits = args[i + 1];
        else
            return fail(nullptr, ("unknown option " + args[i]).c_str());
    }
    if (from.empty() || to.empty() || args.size() % 2)
        return fail(nullptr, "usage: project --from PROJECTION --to PROJECTION");
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *toolkit = kint_InitToolkit(&err);
    if (!toolkit) return fail(err, "cannot initialise the toolkit");
    Kprj_ProParameters *in = recordFromSpec(toolkit, from);
    Kprj_ProParameters *out = in ? recordFromSpec(toolkit, to) : nullptr;
    Kprj_ProjectionPair *pair = nullptr;
    int status = 1;
    if (out && !kprj_ProjectionPairGet(toolkit, &pair, in, out, &err)) {
        fail(err, "cannot set up the projections");
    } else if (out) {
        if (fromUnits.empty()) fromUnits = tool::defaultMapUnits(in);
        if (toUnits.empty()) toUnits = tool::defaultMapUnits(out);
        status = 0;
        char line[1024];
        long number = 0;
        while (fgets(line, sizeof line, stdin)) {
            ++number;
            for (char *c = line; *c; ++c)
                if (*c == ',') *c = ' ';
            Kprj_Coordinate p{}, q{};
            char extra = 0;
            const int n = sscanf(line, "%lf %lf %c", &p.x, &p.y, &extra);
            if (n <= 0 && blank(line)) continue;
            if (n != 2) {
                fprintf(stderr, "kraster project: line %ld is not a point\n", number);
                status = 1;
                continue;
            }
            if (kprj_ProjectWithUnits(pair, 1, &p, fromUnits.c_str(), &q, toUnits.c_str(), &err) <
                0) {
                fail(err, ("cannot project line " + std::to_string(number)).c_str());
                err = nullptr;
                status = 1;
                continue;
            }
            printf("%.10g %.10g\n", q.x, q.y);
        }
    }
    kprj_ProjectionPairFree(pair);
    kprj_ProParametersFree(in);
    kprj_ProParametersFree(out);
    return status;
}

}  // namespace

tool::Registrar projectCommand("project",
                               "--from PROJECTION --to PROJECTION [--from-units U] [--to-units U]",
                               "convert points (one \"x y\" per line on stdin) between projections",
                               project);
