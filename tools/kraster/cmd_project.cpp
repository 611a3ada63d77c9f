// `kraster project`: converts points read from standard input, one "x y"
// per line, from one projection to another, each named as the projection
// query table names it with optional settings after semicolons:
//   "UTM;zone=18;spheroid=GRS 1980;datum=NAD83;p3=-1"
// pN sets parameter N in the unit the query table gives for it (angles in
// decimal degrees). Geographic points are in degrees, projected ones in
// metres unless --from-units or --to-units say otherwise.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool.hpp"

namespace {

int fail(Kerr_ErrorReport *err, const char *what) {
    fflush(stdout);
    fprintf(stderr, "kraster project: %s\n", what);
    if (err) kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return 1;
}

std::string trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// A record from "NAME;key=value;...", or null after printing why.
Kprj_ProParameters *recordFromSpec(Kint_InitToolkitData *toolkit, const std::string &spec) {
    Kerr_ErrorReport *err = nullptr;
    const size_t semi = spec.find(';');
    const std::string name = trim(spec.substr(0, semi));
    const Kprj_QueryProjection *q = kprj_QueryByName(toolkit, name.c_str(), &err);
    Kprj_ProParameters *p =
        q ? kprj_ProParametersCreateByName(toolkit, name.c_str(), &err) : nullptr;
    if (!p) {
        fail(err, ("unknown projection \"" + name + "\"").c_str());
        return nullptr;
    }
    std::string spheroid, datum;
    size_t at = semi;
    while (at != std::string::npos) {
        const size_t next = spec.find(';', at + 1);
        const std::string item =
            spec.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        at = next;
        const size_t eq = item.find('=');
        const std::string key = trim(item.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : trim(item.substr(eq + 1));
        char *end = nullptr;
        const double number = strtod(value.c_str(), &end);
        const bool numeric = !value.empty() && end && *end == '\0';
        bool ok = true;
        if (key == "zone" && numeric) {
            p->proZone = static_cast<int32_t>(number);
        } else if (key == "spheroid") {
            spheroid = value;
        } else if (key == "datum") {
            datum = value;
        } else if (key.size() > 1 && key[0] == 'p' && numeric) {
            ok = kprj_QueryParameterSet(q, p, atoi(key.c_str() + 1), number, &err) == 0;
        } else {
            ok = false;
        }
        if (!ok) {
            fail(err, ("bad setting \"" + item + "\"").c_str());
            kprj_ProParametersFree(p);
            return nullptr;
        }
    }
    if (!spheroid.empty() &&
        kprj_SpheroidByName(toolkit, spheroid.c_str(), p->proSpheroid, &err) < 0) {
        fail(err, ("unknown spheroid \"" + spheroid + "\"").c_str());
        kprj_ProParametersFree(p);
        return nullptr;
    }
    const char *sphere = p->proSpheroid->sphereName.data ? p->proSpheroid->sphereName.data : "";
    if (!datum.empty() &&
        kprj_DatumByName(toolkit, sphere, datum.c_str(), p->proSpheroid->datum, &err) < 0) {
        fail(err, ("unknown datum \"" + datum + "\"").c_str());
        kprj_ProParametersFree(p);
        return nullptr;
    }
    return p;
}

const char *defaultUnits(const Kprj_ProParameters *p) {
    return p->proType == KPRJ_INTERNAL && p->proNumber == 0 ? "degrees" : "meters";
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
        if (fromUnits.empty()) fromUnits = defaultUnits(in);
        if (toUnits.empty()) toUnits = defaultUnits(out);
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
            if (n <= 0 && trim(line).empty()) continue;
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
