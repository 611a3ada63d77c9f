// Projection settings on the command line (see projection_spec.hpp).
#include "projection_spec.hpp"

#include <strings.h>

#include <cstdlib>
#include <vector>

namespace tool {
namespace {

std::string trim(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The table's name for name: itself when the table has it, else the one
// name it begins (ignoring case); empty when none or several.
std::string tableName(Kint_InitToolkitData *toolkit, const std::string &name) {
    if (kprj_QueryByName(toolkit, name.c_str(), nullptr)) return name;
    int32_t count = 0;
    char **names = kprj_ProjectionNamesGet(toolkit, &count, nullptr);
    std::vector<std::string> hits;
    for (int32_t i = 0; i < count; ++i) {
        if (!name.empty() && strncasecmp(names[i], name.c_str(), name.size()) == 0)
            hits.emplace_back(names[i]);
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    return hits.size() == 1 ? hits[0] : "";
}

}  // namespace

Kprj_ProParameters *projectionFromSpec(Kint_InitToolkitData *toolkit, const std::string &spec,
                                       std::string *why, Kerr_ErrorReport **err) {
    const size_t semi = spec.find(';');
    const std::string given = trim(spec.substr(0, semi));
    // Without a unique match the lookup of the name as given says why.
    std::string name = tableName(toolkit, given);
    if (name.empty()) name = given;
    const Kprj_QueryProjection *q = kprj_QueryByName(toolkit, name.c_str(), err);
    Kprj_ProParameters *p =
        q ? kprj_ProParametersCreateByName(toolkit, name.c_str(), err) : nullptr;
    if (!p) {
        *why = "unknown projection \"" + given + "\"";
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
        const bool utm = p->proType == KPRJ_INTERNAL && p->proNumber == 1;
        bool ok = true;
        if (key == "zone" && numeric) {
            p->proZone = static_cast<int32_t>(number);
        } else if (key == "spheroid") {
            spheroid = value;
        } else if (key == "datum") {
            datum = value;
        } else if (utm && eq == std::string::npos && (key == "north" || key == "south")) {
            ok = kprj_QueryParameterSet(q, p, 3, key == "north" ? 1 : -1, err) == 0;
        } else if (key.size() > 1 && key[0] == 'p' && numeric) {
            ok = kprj_QueryParameterSet(q, p, atoi(key.c_str() + 1), number, err) == 0;
        } else {
            ok = false;
        }
        if (!ok) {
            *why = "bad setting \"" + item + "\"";
            kprj_ProParametersFree(p);
            return nullptr;
        }
    }
    if (!spheroid.empty() &&
        kprj_SpheroidByName(toolkit, spheroid.c_str(), p->proSpheroid, err) < 0) {
        *why = "unknown spheroid \"" + spheroid + "\"";
        kprj_ProParametersFree(p);
        return nullptr;
    }
    const char *sphere = p->proSpheroid->sphereName.data ? p->proSpheroid->sphereName.data : "";
    if (!datum.empty() &&
        kprj_DatumByName(toolkit, sphere, datum.c_str(), p->proSpheroid->datum, err) < 0) {
        *why = "unknown datum \"" + datum + "\"";
        kprj_ProParametersFree(p);
        return nullptr;
    }
    return p;
}

const char *defaultMapUnits(const Kprj_ProParameters *p) {
    return p->proType == KPRJ_INTERNAL && p->proNumber == 0 ? "degrees" : "meters";
}

}  // namespace tool
