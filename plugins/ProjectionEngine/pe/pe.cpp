// The external projection engine on PROJ. Every object owns a PROJ context
// of its own and a mutex, so objects can be used from several threads; the
// coordinate systems are PROJ objects, and a projected system keeps the
// bare projection (geographic radians to metres) for point conversion.
#include <kraster/pe.h>

#include <proj.h>
#include <proj_experimental.h>

#include <strings.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double kDegree = 0.017453292519943295;

// The last failure's text, per thread. In the static TLS block: the leak
// checker of sanitized builds trips over the dynamic TLS of a loaded library
// when it scans threads.
thread_local std::string t_error __attribute__((tls_model("initial-exec")));

void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char *format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    t_error = buf;
}

// Methods: the engine's name, PROJ's name and the EPSG method code (0 when
// EPSG has none).
struct Method {
    const char *name;
    const char *projName;
    int code;
};
const Method kMethods[] = {
    {"Transverse_Mercator", "Transverse Mercator", 9807},
    {"Lambert_Conformal_Conic", "Lambert Conic Conformal (2SP)", 9802},
    {"Lambert_Conformal_Conic_1SP", "Lambert Conic Conformal (1SP)", 9801},
    {"Albers", "Albers Equal Area", 9822},
    {"Mercator", "Mercator (variant B)", 9805},
    {"Mercator_1SP", "Mercator (variant A)", 9804},
    {"Polar_Stereographic", "Polar Stereographic (variant B)", 9829},
    {"Polyconic", "American Polyconic", 9818},
    {"Equidistant_Conic", "Equidistant Conic", 0},
    {"Stereographic", "Stereographic", 0},
    {"Oblique_Stereographic", "Oblique Stereographic", 9809},
    {"Lambert_Azimuthal_Equal_Area", "Lambert Azimuthal Equal Area", 9820},
    {"Azimuthal_Equidistant", "Modified Azimuthal Equidistant", 9832},
    {"Gnomonic", "Gnomonic", 0},
    {"Orthographic", "Orthographic", 9840},
    {"Sinusoidal", "Sinusoidal", 0},
    {"Equirectangular", "Equidistant Cylindrical", 1028},
    {"Miller_Cylindrical", "Miller Cylindrical", 0},
    {"Van_der_Grinten_I", "Van Der Grinten", 0},
    {"Hotine_Oblique_Mercator_Azimuth_Natural_Origin", "Hotine Oblique Mercator (variant A)", 9812},
    {"Hotine_Oblique_Mercator_Azimuth_Center", "Hotine Oblique Mercator (variant B)", 9815},
    {"Robinson", "Robinson", 0},
    {"Mollweide", "Mollweide", 0},
    {"Wagner_IV", "Wagner IV", 0},
    {"Wagner_VII", "Wagner VII", 0},
    {"Popular_Visualisation_Pseudo_Mercator", "Popular Visualisation Pseudo Mercator", 1024},
    {"Krovak", "Krovak (North Orientated)", 1041},
    {"Cassini", "Cassini-Soldner", 9806},
    {"Eckert_I", "Eckert I", 0},
    {"Eckert_II", "Eckert II", 0},
    {"Eckert_III", "Eckert III", 0},
    {"Eckert_IV", "Eckert IV", 0},
    {"Eckert_V", "Eckert V", 0},
    {"Eckert_VI", "Eckert VI", 0},
    {"Equal_Earth", "Equal Earth", 1078},
    {"Bonne", "Bonne", 9827},
    {"Gall_Stereographic", "Gall Stereographic", 0},
    {"Goode_Homolosine", "Goode Homolosine", 0},
    {"Cylindrical_Equal_Area", "Lambert Cylindrical Equal Area", 9835},
    {"New_Zealand_Map_Grid", "New Zealand Map Grid", 9811},
};

// Parameters: the engine's name, EPSG's name and code, and the kind of
// value (PJ_UT_ANGULAR values are radians here, PJ_UT_LINEAR metres).
struct Parameter {
    const char *name;
    const char *projName;
    int code;
    PJ_UNIT_TYPE unit;
};
const Parameter kParameters[] = {
    {"Latitude_Of_Origin", "Latitude of natural origin", 8801, PJ_UT_ANGULAR},
    {"Central_Meridian", "Longitude of natural origin", 8802, PJ_UT_ANGULAR},
    {"Scale_Factor", "Scale factor at natural origin", 8805, PJ_UT_SCALE},
    {"False_Easting", "False easting", 8806, PJ_UT_LINEAR},
    {"False_Northing", "False northing", 8807, PJ_UT_LINEAR},
    {"Latitude_Of_Center", "Latitude of projection centre", 8811, PJ_UT_ANGULAR},
    {"Longitude_Of_Center", "Longitude of projection centre", 8812, PJ_UT_ANGULAR},
    {"Azimuth", "Azimuth of initial line", 8813, PJ_UT_ANGULAR},
    {"Rectified_Grid_Angle", "Angle from Rectified to Skew Grid", 8814, PJ_UT_ANGULAR},
    {"Scale_Factor_On_Initial_Line", "Scale factor on initial line", 8815, PJ_UT_SCALE},
    {"Easting_At_Center", "Easting at projection centre", 8816, PJ_UT_LINEAR},
    {"Northing_At_Center", "Northing at projection centre", 8817, PJ_UT_LINEAR},
    {"Pseudo_Standard_Parallel_1", "Latitude of pseudo standard parallel", 8818, PJ_UT_ANGULAR},
    {"Scale_Factor_On_Pseudo_Standard_Parallel", "Scale factor on pseudo standard parallel", 8819,
     PJ_UT_SCALE},
    {"Latitude_Of_False_Origin", "Latitude of false origin", 8821, PJ_UT_ANGULAR},
    {"Longitude_Of_False_Origin", "Longitude of false origin", 8822, PJ_UT_ANGULAR},
    {"Standard_Parallel_1", "Latitude of 1st standard parallel", 8823, PJ_UT_ANGULAR},
    {"Standard_Parallel_2", "Latitude of 2nd standard parallel", 8824, PJ_UT_ANGULAR},
    {"Easting_At_False_Origin", "Easting at false origin", 8826, PJ_UT_LINEAR},
    {"Northing_At_False_Origin", "Northing at false origin", 8827, PJ_UT_LINEAR},
    {"Latitude_Of_Standard_Parallel", "Latitude of standard parallel", 8832, PJ_UT_ANGULAR},
    {"Longitude_Of_Origin", "Longitude of origin", 8833, PJ_UT_ANGULAR},
    {"Co_Latitude_Of_Cone_Axis", "Co-latitude of cone axis", 1036, PJ_UT_ANGULAR},
};

// Datum shift parameters in order (translations, rotations, scale).
const char *const kShiftNames[7] = {
    "X_Axis_Translation", "Y_Axis_Translation", "Z_Axis_Translation", "X_Axis_Rotation",
    "Y_Axis_Rotation",    "Z_Axis_Rotation",    "Scale_Difference"};

// Names compare ignoring case, with "_" and " " alike.
bool sameName(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        const char ca = *a == '_' ? ' ' : *a, cb = *b == '_' ? ' ' : *b;
        if (std::tolower(static_cast<unsigned char>(ca)) !=
            std::tolower(static_cast<unsigned char>(cb)))
            return false;
    }
    return *a == *b;
}

std::string underscored(const char *s) {
    std::string r = s ? s : "";
    for (char &c : r)
        if (c == ' ') c = '_';
    return r;
}

const Method *methodByName(const char *name) {
    for (const Method &m : kMethods)
        if (sameName(m.name, name)) return &m;
    return nullptr;
}
const Parameter *parameterByName(const char *name) {
    for (const Parameter &p : kParameters)
        if (sameName(p.name, name)) return &p;
    return nullptr;
}

struct Context {
    PJ_CONTEXT *ctx = proj_context_create();
    Context() { proj_log_level(ctx, PJ_LOG_NONE); }
    ~Context() { proj_context_destroy(ctx); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
};

}  // namespace

struct pe_object {
    int type = PE_TYPE_NONE;
    std::string name;
    Context context;
    PJ *crs = nullptr;   // GEOGCS, PROJCS (possibly bound to WGS 84)
    PJ *proj = nullptr;  // PROJCS: the bare projection, radians to metres
    std::mutex mutex;
    // PARAMETER, UNIT
    double value = 0;
    int unitKind = 0;
    std::string authority;
    int code = 0;
    // PROJECTION: method; PROJECTION, GEOGTRAN, PROJCS: parameters
    std::string method;
    std::vector<std::pair<std::string, double>> parameters;
    // Inspection strings kept for the caller.
    std::string datum, spheroid, unitName;
    ~pe_object() {
        proj_destroy(proj);
        proj_destroy(crs);
    }
};

namespace {

PJ_CONTEXT *ctxOf(pe_object *o) {
    return o->context.ctx;
}

std::string lastProjError(PJ_CONTEXT *ctx) {
    const int n = proj_context_errno(ctx);
    const char *s = n ? proj_context_errno_string(ctx, n) : nullptr;
    return s ? s : "unknown PROJ failure";
}

// The horizontal CRS under a bound CRS.
PJ *sourceOf(PJ_CONTEXT *ctx, PJ *crs) {
    if (proj_get_type(crs) == PJ_TYPE_BOUND_CRS) return proj_get_source_crs(ctx, crs);
    return proj_clone(ctx, crs);
}

// Method name, parameters and the bare projection of a projected system.
bool inspectProjected(pe_object *o) {
    PJ_CONTEXT *ctx = ctxOf(o);
    PJ *src = sourceOf(ctx, o->crs);
    PJ *conv = src ? proj_crs_get_coordoperation(ctx, src) : nullptr;
    bool ok = conv != nullptr;
    if (ok) {
        const char *mname = nullptr, *mauth = nullptr, *mcode = nullptr;
        proj_coordoperation_get_method_info(ctx, conv, &mname, &mauth, &mcode);
        const int code = mauth && !strcmp(mauth, "EPSG") && mcode ? atoi(mcode) : 0;
        o->method = underscored(mname);
        for (const Method &m : kMethods)
            if ((code && m.code == code) || (mname && sameName(m.projName, mname))) {
                o->method = m.name;
                break;
            }
        const int n = proj_coordoperation_get_param_count(ctx, conv);
        for (int i = 0; i < n; ++i) {
            const char *pname = nullptr, *pauth = nullptr, *pcode = nullptr, *cat = nullptr;
            double value = 0, conv_factor = 1;
            proj_coordoperation_get_param(ctx, conv, i, &pname, &pauth, &pcode, &value, nullptr,
                                          &conv_factor, nullptr, nullptr, nullptr, &cat);
            const int c = pauth && !strcmp(pauth, "EPSG") && pcode ? atoi(pcode) : 0;
            std::string name = underscored(pname);
            for (const Parameter &p : kParameters)
                if ((c && p.code == c) || (pname && sameName(p.projName, pname))) {
                    name = p.name;
                    break;
                }
            // Angles to radians, lengths to metres, scales as they are.
            if (cat && (!strcmp(cat, "angular") || !strcmp(cat, "linear"))) value *= conv_factor;
            o->parameters.emplace_back(name, value);
        }
    }
    // The bare projection: the system's PROJ string in metres without the
    // datum's shift terms; a datum name gives way to its ellipsoid's axes.
    PJ *metric =
        ok ? proj_crs_alter_cs_linear_unit(ctx, src, "metre", 1.0, "EPSG", "9001") : nullptr;
    const char *ps = metric ? proj_as_proj_string(ctx, metric, PJ_PROJ_5, nullptr) : nullptr;
    PJ *ell = metric ? proj_get_ellipsoid(ctx, metric) : nullptr;
    double a = 0, b = 0, invf = 0;
    int computed = 0;
    if (ell) proj_ellipsoid_get_parameters(ctx, ell, &a, &b, &computed, &invf);
    if (ps && ell) {
        std::istringstream in(ps);
        std::string token, def;
        static const char *const kDrop[] = {
            "+type=", "+no_defs", "+towgs84=", "+nadgrids=", "+geoidgrids=", "+wktext", "+vunits="};
        bool datum = false;
        while (in >> token) {
            bool drop = false;
            for (const char *d : kDrop) drop = drop || token.compare(0, strlen(d), d) == 0;
            if (token.compare(0, 7, "+datum=") == 0) drop = datum = true;
            if (!drop) def += token + " ";
        }
        if (datum) {
            char axes[80];
            snprintf(axes, sizeof axes, "+a=%.17g +b=%.17g", a, b);
            def += axes;
        }
        o->proj = proj_create(ctx, def.c_str());
    }
    if (ok && !o->proj) {
        fail("The projection of %s cannot be carried out: %s", o->name.c_str(),
             lastProjError(ctx).c_str());
        ok = false;
    } else if (!ok) {
        fail("Projected system without a conversion: %s", lastProjError(ctx).c_str());
    }
    proj_destroy(ell);
    proj_destroy(metric);
    proj_destroy(conv);
    proj_destroy(src);
    return ok;
}

// Wraps a PROJ coordinate system (taking it) as a GEOGCS or PROJCS object.
pe_object *wrapCRS(pe_object *o) {
    PJ_CONTEXT *ctx = ctxOf(o);
    PJ *src = sourceOf(ctx, o->crs);
    const PJ_TYPE t = src ? proj_get_type(src) : PJ_TYPE_UNKNOWN;
    proj_destroy(src);
    if (t == PJ_TYPE_GEOGRAPHIC_2D_CRS || t == PJ_TYPE_GEOGRAPHIC_3D_CRS)
        o->type = PE_TYPE_GEOGCS;
    else if (t == PJ_TYPE_PROJECTED_CRS)
        o->type = PE_TYPE_PROJCS;
    else {
        fail("Not a geographic or projected coordinate system");
        delete o;
        return nullptr;
    }
    const char *n = proj_get_name(o->crs);
    o->name = n ? n : "";
    if (o->type == PE_TYPE_PROJCS && !inspectProjected(o)) {
        delete o;
        return nullptr;
    }
    return o;
}

bool checkCRS(const pe_object *o) {
    if (!o || (o->type != PE_TYPE_GEOGCS && o->type != PE_TYPE_PROJCS)) {
        fail("Not a coordinate system object");
        return false;
    }
    return true;
}

int convert(const pe_object *c, int count, double *xy, PJ_DIRECTION direction) {
    t_error.clear();
    if (!checkCRS(c) || count < 0 || (count > 0 && !xy)) {
        if (c && count < 0) fail("Bad point count");
        if (c && count > 0 && !xy) fail("No points");
        return -1;
    }
    if (c->type == PE_TYPE_GEOGCS || count == 0) return count;
    auto *o = const_cast<pe_object *>(c);
    std::lock_guard<std::mutex> lock(o->mutex);
    proj_trans_generic(o->proj, direction, xy, 2 * sizeof(double), static_cast<size_t>(count),
                       xy + 1, 2 * sizeof(double), static_cast<size_t>(count), nullptr, 0, 0,
                       nullptr, 0, 0);
    // Points PROJ could not take stay HUGE_VAL.
    proj_errno_reset(o->proj);
    return count;
}

}  // namespace

extern "C" {

PE_API const char *pe_error_text(void) {
    return t_error.c_str();
}

PE_API pe_object *pe_coordsys_from_string(const char *text) {
    t_error.clear();
    if (!text || !*text) {
        fail("Empty coordinate system text");
        return nullptr;
    }
    auto *o = new pe_object;
    o->crs = proj_create(ctxOf(o), text);
    if (!o->crs || !proj_is_crs(o->crs)) {
        fail("Not a coordinate system: %s", o->crs ? "not a CRS" : lastProjError(ctxOf(o)).c_str());
        delete o;
        return nullptr;
    }
    return wrapCRS(o);
}

PE_API char *pe_coordsys_to_string(const pe_object *c, int form) {
    t_error.clear();
    if (!checkCRS(c)) return nullptr;
    if (form != PE_STR_WKT2 && form != PE_STR_WKT1) {
        fail("Unknown string form %d", form);
        return nullptr;
    }
    auto *o = const_cast<pe_object *>(c);
    std::lock_guard<std::mutex> lock(o->mutex);
    const char *options[] = {"MULTILINE=NO", nullptr};
    const char *s =
        proj_as_wkt(ctxOf(o), o->crs, form == PE_STR_WKT1 ? PJ_WKT1_GDAL : PJ_WKT2_2019, options);
    if (!s) {
        fail("Cannot write %s as WKT: %s", o->name.c_str(), lastProjError(ctxOf(o)).c_str());
        return nullptr;
    }
    return strdup(s);
}

PE_API void pe_string_del(char *text) {
    free(text);
}

PE_API void pe_coordsys_del(pe_object *o) {
    delete o;
}

PE_API pe_object *pe_object_clone(const pe_object *c) {
    t_error.clear();
    if (!c) {
        fail("No object");
        return nullptr;
    }
    auto *o = new pe_object;
    o->type = c->type;
    o->name = c->name;
    o->value = c->value;
    o->unitKind = c->unitKind;
    o->authority = c->authority;
    o->code = c->code;
    o->method = c->method;
    o->parameters = c->parameters;
    auto *src = const_cast<pe_object *>(c);
    std::lock_guard<std::mutex> lock(src->mutex);
    if (c->crs && !(o->crs = proj_clone(ctxOf(o), c->crs))) {
        fail("Cannot copy %s", c->name.c_str());
        delete o;
        return nullptr;
    }
    if (c->proj && !(o->proj = proj_clone(ctxOf(o), c->proj))) {
        fail("Cannot copy %s", c->name.c_str());
        delete o;
        return nullptr;
    }
    return o;
}

PE_API int pe_object_type(const pe_object *o) {
    return o ? o->type : PE_TYPE_NONE;
}

PE_API const char *pe_object_name(const pe_object *o) {
    return o ? o->name.c_str() : "";
}

PE_API pe_object *pe_factory(const char *authority, int code) {
    t_error.clear();
    if (!authority || code <= 0) {
        fail("Invalid authority code");
        return nullptr;
    }
    const std::string c = std::to_string(code);
    // EPSG keeps its units of measure at 9001 to 9299, where a few
    // coordinate systems also live; there the unit wins.
    const bool unitRange = !strcasecmp(authority, "EPSG") && code >= 9001 && code <= 9299;
    if (!unitRange) {
        auto *o = new pe_object;
        o->crs =
            proj_create_from_database(ctxOf(o), authority, c.c_str(), PJ_CATEGORY_CRS, 0, nullptr);
        if (o->crs) return wrapCRS(o);
        delete o;
    }
    auto *o = new pe_object;
    const char *name = nullptr, *category = nullptr;
    double factor = 0;
    if (proj_uom_get_info_from_database(ctxOf(o), authority, c.c_str(), &name, &factor,
                                        &category) &&
        category && (!strcmp(category, "linear") || !strcmp(category, "angular"))) {
        o->type = PE_TYPE_UNIT;
        o->name = name;
        o->value = factor;
        o->unitKind = !strcmp(category, "linear") ? PE_UNIT_LINEAR : PE_UNIT_ANGULAR;
        o->authority = authority;
        o->code = code;
        return o;
    }
    fail("%s:%d is neither a coordinate system nor a unit", authority, code);
    delete o;
    return nullptr;
}

PE_API pe_object *pe_unit_new(const char *name, double factor, int kind) {
    t_error.clear();
    if (!name || !*name || !(factor > 0) || !std::isfinite(factor) ||
        (kind != PE_UNIT_LINEAR && kind != PE_UNIT_ANGULAR)) {
        fail("Invalid unit");
        return nullptr;
    }
    auto *o = new pe_object;
    o->type = PE_TYPE_UNIT;
    o->name = name;
    o->value = factor;
    o->unitKind = kind;
    return o;
}

PE_API pe_object *pe_parameter_new(const char *name, double value) {
    t_error.clear();
    if (!name || !*name || !std::isfinite(value)) {
        fail("Invalid parameter");
        return nullptr;
    }
    auto *o = new pe_object;
    o->type = PE_TYPE_PARAMETER;
    o->name = name;
    o->value = value;
    return o;
}

PE_API pe_object *pe_geogtran_new(const char *name, int count, pe_object *const *parameters) {
    t_error.clear();
    if (!name || (count != 3 && count != 7) || !parameters) {
        fail("A datum shift takes 3 or 7 parameters");
        return nullptr;
    }
    auto *o = new pe_object;
    o->type = PE_TYPE_GEOGTRAN;
    o->name = name;
    o->parameters.assign(static_cast<size_t>(count), {"", 0.0});
    for (int i = 0; i < count; ++i) {
        const pe_object *p = parameters[i];
        int slot = -1;
        for (int k = 0; k < count && p && p->type == PE_TYPE_PARAMETER; ++k)
            if (sameName(kShiftNames[k], p->name.c_str())) slot = k;
        if (slot < 0 || !o->parameters[static_cast<size_t>(slot)].first.empty()) {
            fail("Invalid datum shift parameter %s", p ? p->name.c_str() : "(null)");
            delete o;
            return nullptr;
        }
        o->parameters[static_cast<size_t>(slot)] = {kShiftNames[slot], p->value};
    }
    return o;
}

PE_API pe_object *pe_geogcs_new(const char *name, const char *datum, const char *spheroid, double a,
                                double b, const pe_object *geogtran) {
    t_error.clear();
    if (!name || !datum || !spheroid || !(a > 0) || !(b > 0) || b > a || !std::isfinite(a) ||
        (geogtran && geogtran->type != PE_TYPE_GEOGTRAN)) {
        fail("Invalid geographic system arguments");
        return nullptr;
    }
    auto *o = new pe_object;
    PJ_CONTEXT *ctx = ctxOf(o);
    PJ *cs = proj_create_ellipsoidal_2D_cs(ctx, PJ_ELLPS2D_LONGITUDE_LATITUDE, "degree", kDegree);
    const double invf = a == b ? 0.0 : a / (a - b);
    PJ *geog = cs ? proj_create_geographic_crs(ctx, name, datum, spheroid, a, invf, "Greenwich",
                                               0.0, "degree", kDegree, cs)
                  : nullptr;
    proj_destroy(cs);
    if (geog && geogtran) {
        const bool seven = geogtran->parameters.size() == 7;
        PJ_PARAM_DESCRIPTION d[7];
        static const char *const kEpsgNames[7] = {
            "X-axis translation", "Y-axis translation", "Z-axis translation", "X-axis rotation",
            "Y-axis rotation",    "Z-axis rotation",    "Scale difference"};
        static const char *const kCodes[7] = {"8605", "8606", "8607", "8608",
                                              "8609", "8610", "8611"};
        for (size_t i = 0; i < geogtran->parameters.size(); ++i) {
            d[i].name = kEpsgNames[i];
            d[i].auth_name = "EPSG";
            d[i].code = kCodes[i];
            d[i].value = geogtran->parameters[i].second;
            d[i].unit_name = i < 3 ? "metre" : (i < 6 ? "radian" : "parts per million");
            d[i].unit_conv_factor = i < 3 ? 1.0 : (i < 6 ? 1.0 : 1e-6);
            d[i].unit_type = i < 3 ? PJ_UT_LINEAR : (i < 6 ? PJ_UT_ANGULAR : PJ_UT_SCALE);
        }
        PJ *wgs84 = proj_create_from_database(ctx, "EPSG", "4326", PJ_CATEGORY_CRS, 0, nullptr);
        PJ *tr = wgs84 ? proj_create_transformation(
                             ctx, geogtran->name.c_str(), nullptr, nullptr, geog, wgs84, nullptr,
                             seven ? "Coordinate Frame rotation (geog2D domain)"
                                   : "Geocentric translations (geog2D domain)",
                             "EPSG", seven ? "9607" : "9603", seven ? 7 : 3, d, -1)
                       : nullptr;
        PJ *bound = tr ? proj_crs_create_bound_crs(ctx, geog, wgs84, tr) : nullptr;
        proj_destroy(tr);
        proj_destroy(wgs84);
        proj_destroy(geog);
        geog = bound;
    }
    if (!geog) {
        fail("Cannot make the geographic system %s: %s", name, lastProjError(ctx).c_str());
        delete o;
        return nullptr;
    }
    o->crs = geog;
    return wrapCRS(o);
}

PE_API pe_object *pe_projection_new(const char *method, int count, pe_object *const *parameters) {
    t_error.clear();
    const Method *m = method ? methodByName(method) : nullptr;
    if (!m) {
        fail("Unknown projection method %s", method ? method : "(null)");
        return nullptr;
    }
    if (count < 0 || (count > 0 && !parameters)) {
        fail("Invalid projection parameters");
        return nullptr;
    }
    auto *o = new pe_object;
    o->type = PE_TYPE_PROJECTION;
    o->name = m->name;
    o->method = m->name;
    for (int i = 0; i < count; ++i) {
        const pe_object *p = parameters[i];
        if (!p || p->type != PE_TYPE_PARAMETER || !parameterByName(p->name.c_str())) {
            fail("Unknown projection parameter %s", p ? p->name.c_str() : "(null)");
            delete o;
            return nullptr;
        }
        o->parameters.emplace_back(parameterByName(p->name.c_str())->name, p->value);
    }
    return o;
}

PE_API pe_object *pe_projcs_new(const char *name, const pe_object *geogcs,
                                const pe_object *projection, const pe_object *linearUnit) {
    t_error.clear();
    if (!name || !geogcs || geogcs->type != PE_TYPE_GEOGCS || !projection ||
        projection->type != PE_TYPE_PROJECTION ||
        (linearUnit &&
         (linearUnit->type != PE_TYPE_UNIT || linearUnit->unitKind != PE_UNIT_LINEAR))) {
        fail("Invalid projected system arguments");
        return nullptr;
    }
    auto *o = new pe_object;
    PJ_CONTEXT *ctx = ctxOf(o);
    const Method *m = methodByName(projection->method.c_str());
    std::vector<PJ_PARAM_DESCRIPTION> d;
    std::vector<std::string> codes;
    codes.reserve(projection->parameters.size());
    for (const auto &[pname, value] : projection->parameters) {
        const Parameter *p = parameterByName(pname.c_str());
        codes.push_back(std::to_string(p->code));
        PJ_PARAM_DESCRIPTION x{};
        x.name = p->projName;
        x.auth_name = "EPSG";
        x.code = codes.back().c_str();
        x.unit_type = p->unit;
        if (p->unit == PJ_UT_ANGULAR) {
            x.value = value / kDegree;
            x.unit_name = "degree";
            x.unit_conv_factor = kDegree;
        } else {
            x.value = value;
            x.unit_name = p->unit == PJ_UT_LINEAR ? "metre" : "unity";
            x.unit_conv_factor = 1.0;
        }
        d.push_back(x);
    }
    const std::string mcode = std::to_string(m->code);
    PJ *conv = proj_create_conversion(ctx, name, nullptr, nullptr, m->projName,
                                      m->code ? "EPSG" : nullptr, m->code ? mcode.c_str() : nullptr,
                                      static_cast<int>(d.size()), d.data());
    const char *uname = linearUnit ? linearUnit->name.c_str() : "metre";
    const double ufactor = linearUnit ? linearUnit->value : 1.0;
    PJ *cs = proj_create_cartesian_2D_cs(ctx, PJ_CART2D_EASTING_NORTHING, uname, ufactor);
    auto *g = const_cast<pe_object *>(geogcs);
    PJ *base = nullptr, *boundOp = nullptr, *hub = nullptr;
    {
        std::lock_guard<std::mutex> lock(g->mutex);
        PJ *gcrs = proj_clone(ctx, g->crs);
        base = gcrs ? sourceOf(ctx, gcrs) : nullptr;
        if (gcrs && proj_get_type(gcrs) == PJ_TYPE_BOUND_CRS) {
            boundOp = proj_crs_get_coordoperation(ctx, gcrs);
            hub = proj_get_target_crs(ctx, gcrs);
        }
        proj_destroy(gcrs);
    }
    PJ *crs = conv && cs && base ? proj_create_projected_crs(ctx, name, base, conv, cs) : nullptr;
    if (crs && boundOp && hub) {
        PJ *bound = proj_crs_create_bound_crs(ctx, crs, hub, boundOp);
        proj_destroy(crs);
        crs = bound;
    }
    proj_destroy(hub);
    proj_destroy(boundOp);
    proj_destroy(base);
    proj_destroy(cs);
    proj_destroy(conv);
    if (!crs) {
        fail("Cannot make the projected system %s: %s", name, lastProjError(ctx).c_str());
        delete o;
        return nullptr;
    }
    o->crs = crs;
    return wrapCRS(o);
}

PE_API pe_object *pe_coordsys_unit_change(const pe_object *c, const pe_object *unit) {
    t_error.clear();
    if (!checkCRS(c)) return nullptr;
    const int want = c->type == PE_TYPE_PROJCS ? PE_UNIT_LINEAR : PE_UNIT_ANGULAR;
    if (!unit || unit->type != PE_TYPE_UNIT || unit->unitKind != want) {
        fail("Not a %s unit", want == PE_UNIT_LINEAR ? "linear" : "angular");
        return nullptr;
    }
    auto *o = new pe_object;
    PJ_CONTEXT *ctx = ctxOf(o);
    const std::string code = unit->code ? std::to_string(unit->code) : std::string();
    const char *auth = unit->code ? unit->authority.c_str() : nullptr;
    PJ *crs = nullptr;
    {
        auto *src = const_cast<pe_object *>(c);
        std::lock_guard<std::mutex> lock(src->mutex);
        PJ *copy = proj_clone(ctx, c->crs);
        // A bound system has its source changed and is bound again.
        const bool bound = copy && proj_get_type(copy) == PJ_TYPE_BOUND_CRS;
        PJ *source = copy ? sourceOf(ctx, copy) : nullptr;
        PJ *changed =
            !source ? nullptr
            : want == PE_UNIT_LINEAR
                ? proj_crs_alter_cs_linear_unit(ctx, source, unit->name.c_str(), unit->value, auth,
                                                unit->code ? code.c_str() : nullptr)
                : proj_crs_alter_cs_angular_unit(ctx, source, unit->name.c_str(), unit->value, auth,
                                                 unit->code ? code.c_str() : nullptr);
        if (changed && bound) {
            PJ *op = proj_crs_get_coordoperation(ctx, copy);
            PJ *hub = proj_get_target_crs(ctx, copy);
            crs = op && hub ? proj_crs_create_bound_crs(ctx, changed, hub, op) : nullptr;
            proj_destroy(op);
            proj_destroy(hub);
            proj_destroy(changed);
        } else {
            crs = changed;
        }
        proj_destroy(source);
        proj_destroy(copy);
    }
    if (!crs) {
        fail("Cannot change the unit of %s: %s", c->name.c_str(), lastProjError(ctx).c_str());
        delete o;
        return nullptr;
    }
    o->crs = crs;
    return wrapCRS(o);
}

PE_API pe_object *pe_coordsys_geogcs(const pe_object *c) {
    t_error.clear();
    if (!checkCRS(c)) return nullptr;
    auto *o = new pe_object;
    PJ_CONTEXT *ctx = ctxOf(o);
    {
        auto *src = const_cast<pe_object *>(c);
        std::lock_guard<std::mutex> lock(src->mutex);
        PJ *copy = proj_clone(ctx, c->crs);
        if (copy && c->type == PE_TYPE_GEOGCS) {
            o->crs = copy;
            copy = nullptr;
        } else if (copy && proj_get_type(copy) == PJ_TYPE_BOUND_CRS) {
            // The base of the source, bound to the same shift.
            PJ *source = proj_get_source_crs(ctx, copy);
            PJ *geog = source ? proj_crs_get_geodetic_crs(ctx, source) : nullptr;
            PJ *op = proj_crs_get_coordoperation(ctx, copy);
            PJ *hub = proj_get_target_crs(ctx, copy);
            o->crs = geog && op && hub ? proj_crs_create_bound_crs(ctx, geog, hub, op) : nullptr;
            proj_destroy(source);
            proj_destroy(geog);
            proj_destroy(op);
            proj_destroy(hub);
        } else if (copy) {
            o->crs = proj_crs_get_geodetic_crs(ctx, copy);
        }
        proj_destroy(copy);
    }
    if (!o->crs) {
        fail("No geographic system in %s", c->name.c_str());
        delete o;
        return nullptr;
    }
    return wrapCRS(o);
}

PE_API int pe_geogcs_earth(const pe_object *c, const char **datum, const char **spheroid, double *a,
                           double *b, double *primeMeridian, double toWGS84[7]) {
    t_error.clear();
    if (!checkCRS(c)) return -1;
    auto *o = const_cast<pe_object *>(c);
    std::lock_guard<std::mutex> lock(o->mutex);
    PJ_CONTEXT *ctx = ctxOf(o);
    PJ *src = sourceOf(ctx, o->crs);
    PJ *geod = src ? proj_crs_get_geodetic_crs(ctx, src) : nullptr;
    PJ *dat = geod ? proj_crs_get_datum_forced(ctx, geod) : nullptr;
    PJ *ell = geod ? proj_get_ellipsoid(ctx, geod) : nullptr;
    PJ *pm = geod ? proj_get_prime_meridian(ctx, geod) : nullptr;
    double sa = 0, sb = 0, invf = 0, pmv = 0, pmconv = 1;
    int computed = 0;
    const bool ok = dat && ell && pm &&
                    proj_ellipsoid_get_parameters(ctx, ell, &sa, &sb, &computed, &invf) &&
                    proj_prime_meridian_get_parameters(ctx, pm, &pmv, &pmconv, nullptr);
    int n = -1;
    if (ok) {
        const char *dn = proj_get_name(dat), *sn = proj_get_name(ell);
        o->datum = dn ? dn : "";
        o->spheroid = sn ? sn : "";
        if (datum) *datum = o->datum.c_str();
        if (spheroid) *spheroid = o->spheroid.c_str();
        if (a) *a = sa;
        if (b) *b = sb;
        if (primeMeridian) *primeMeridian = pmv * pmconv;
        n = 0;
        double v[7] = {0, 0, 0, 0, 0, 0, 0};
        if (proj_get_type(o->crs) == PJ_TYPE_BOUND_CRS) {
            PJ *op = proj_crs_get_coordoperation(ctx, o->crs);
            if (op && proj_coordoperation_get_towgs84_values(ctx, op, v, 7, 0)) {
                // PROJ gives translations in metres, rotations in
                // arc-seconds of the position vector convention and the
                // scale in parts per million; rotations here are radians of
                // the coordinate frame (the opposite sign).
                n = v[3] == 0 && v[4] == 0 && v[5] == 0 && v[6] == 0 ? 3 : 7;
                for (int i = 3; i < 6; ++i) v[i] *= -kDegree / 3600;
            }
            proj_destroy(op);
        }
        if (toWGS84)
            for (int i = 0; i < 7; ++i) toWGS84[i] = v[i];
    } else {
        fail("No earth model in %s", o->name.c_str());
    }
    proj_destroy(pm);
    proj_destroy(ell);
    proj_destroy(dat);
    proj_destroy(geod);
    proj_destroy(src);
    return n;
}

PE_API int pe_coordsys_unit(const pe_object *c, const char **name, double *factor) {
    t_error.clear();
    if (!checkCRS(c)) return -1;
    auto *o = const_cast<pe_object *>(c);
    std::lock_guard<std::mutex> lock(o->mutex);
    PJ_CONTEXT *ctx = ctxOf(o);
    PJ *src = sourceOf(ctx, o->crs);
    PJ *cs = src ? proj_crs_get_coordinate_system(ctx, src) : nullptr;
    const char *uname = nullptr;
    double conv = 0;
    const bool ok = cs && proj_cs_get_axis_info(ctx, cs, 0, nullptr, nullptr, nullptr, &conv,
                                                &uname, nullptr, nullptr);
    proj_destroy(cs);
    proj_destroy(src);
    if (!ok) {
        fail("No unit in %s", o->name.c_str());
        return -1;
    }
    o->unitName = uname ? uname : "";
    if (name) *name = o->unitName.c_str();
    if (factor) *factor = conv;
    return 0;
}

PE_API const char *pe_projcs_method(const pe_object *o) {
    t_error.clear();
    if (!o || (o->type != PE_TYPE_PROJCS && o->type != PE_TYPE_PROJECTION)) {
        fail("Not a projected system");
        return nullptr;
    }
    return o->method.c_str();
}

PE_API int pe_projcs_parameter_count(const pe_object *o) {
    return o && (o->type == PE_TYPE_PROJCS || o->type == PE_TYPE_PROJECTION)
               ? static_cast<int>(o->parameters.size())
               : -1;
}

PE_API const char *pe_projcs_parameter(const pe_object *o, int index, double *value) {
    t_error.clear();
    if (!o || (o->type != PE_TYPE_PROJCS && o->type != PE_TYPE_PROJECTION) || index < 0 ||
        static_cast<size_t>(index) >= o->parameters.size()) {
        fail("No parameter %d", index);
        return nullptr;
    }
    if (value) *value = o->parameters[static_cast<size_t>(index)].second;
    return o->parameters[static_cast<size_t>(index)].first.c_str();
}

PE_API int pe_unit_lookup(const char *name, double *factor, int *kind) {
    t_error.clear();
    if (!name || !*name) return 0;
    Context c;
    int found = 0;
    for (const char *category : {"linear", "angular"}) {
        PROJ_UNIT_INFO **list = proj_get_units_from_database(c.ctx, "EPSG", category, 0, nullptr);
        for (PROJ_UNIT_INFO **u = list; u && *u && !found; ++u)
            if (sameName((*u)->name, name)) {
                if (factor) *factor = (*u)->conv_factor;
                if (kind) *kind = !strcmp(category, "linear") ? PE_UNIT_LINEAR : PE_UNIT_ANGULAR;
                found = 1;
            }
        proj_unit_list_destroy(list);
        if (found) break;
    }
    return found;
}

PE_API int pe_geog_to_proj(const pe_object *c, int count, double *xy) {
    return convert(c, count, xy, PJ_FWD);
}

PE_API int pe_proj_to_geog(const pe_object *c, int count, double *xy) {
    return convert(c, count, xy, PJ_INV);
}

}  // extern "C"
