// The geometric model "Projection Pair": points carried from the input map
// projection to the output one by the projection engine, in the
// projections' native units (radians for Geographic, metres otherwise).
//
// Text form:  PROJECTIONPAIR(<input>,<output>);  each side, in order:
//             proType, proNumber, "proExeName", "proName", proZone, the
//             parameter count and the parameters, "sphereName", a, b,
//             eSquared, radius, "datumname", datum type, the datum
//             parameter count and parameters, "gridname".
// MIF form:   design Kxfr_ProjectionPair {0:pCinputData,0:pcinputDictionary,
//             0:pcinputDesign,0:pCoutputData,0:pcoutputDictionary,
//             0:pcoutputDesign}: each side as the engine encodes a whole
//             projection (its bytes, dictionary text and design name).
#include <kraster/kint.h>
#include <kraster/kprj.h>

#include <mutex>

#include "gm_common.hpp"

namespace {

struct ProjPair {
    Kprj_ProParameters *input;
    Kprj_ProParameters *output;
    Kprj_ProjectionPair *pair;
};

struct Counted {
    int32_t count;
    void *data;
};
struct StoredSide {
    Counted data, dictionary, design;
};
struct Stored {
    StoredSide side[2];
};

const ProjPair *as(const void *data) {
    return static_cast<const ProjPair *>(data);
}

void destroy(ProjPair *p) {
    if (!p) return;
    kprj_ProParametersFree(p->input);
    kprj_ProParametersFree(p->output);
    kprj_ProjectionPairFree(p->pair);
    kmsc_HeapFree(p);
}

// Takes both records (freed on failure).
ProjPair *make(Kprj_ProParameters *input, Kprj_ProParameters *output, Kerr_ErrorReport **err) {
    auto *p = static_cast<ProjPair *>(kmsc_HeapMalloc(sizeof(ProjPair)));
    if (!p) {
        kprj_ProParametersFree(input);
        kprj_ProParametersFree(output);
        gm::fail(err, "XFormCreateFromProjPair", 1, "No memory");
        return nullptr;
    }
    *p = {input, output, nullptr};
    Kint_InitToolkitData *toolkit = input && output ? kint_InitToolkit(err) : nullptr;
    p->pair = toolkit ? kprj_ProjectionPairCreate(err) : nullptr;
    if (!p->pair || kprj_ProjectionPairInit(toolkit, p->pair, input, output, err) != 0) {
        gm::fail(err, "XFormCreateFromProjPair", 2, "Not enough information to do projection");
        destroy(p);
        return nullptr;
    }
    return p;
}

ProjPair *copyOf(const Kprj_ProParameters *input, const Kprj_ProParameters *output,
                 Kerr_ErrorReport **err) {
    Kprj_ProParameters *i = kprj_ProParametersCopy(input, nullptr, err);
    Kprj_ProParameters *o = i ? kprj_ProParametersCopy(output, nullptr, err) : nullptr;
    if (!o) {
        kprj_ProParametersFree(i);
        return nullptr;
    }
    return make(i, o, err);
}

const Kmif_Design *storedDesign(Kerr_ErrorReport **err) {
    static std::once_flag once;
    static gm::LoadDesign made;
    std::call_once(once, [&] {
        constexpr int kBytes = KMIF_TYPE_U8 | KMIF_FLAG_COUNTED_POINTER;
        constexpr int kChars = KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER;
        made.design =
            kmif_DesignCreate(nullptr, "Kxfr_ProjectionPair", kBytes, "inputData", kChars,
                              "inputDictionary", kChars, "inputDesign", kBytes, "outputData",
                              kChars, "outputDictionary", kChars, "outputDesign", 0, err);
    });
    if (!made.design) gm::fail(err, "Kxfr_ProjectionPair", 1, "Design create failed");
    return made.design;
}

void writeSide(gm::TextWriter &w, const Kprj_ProParameters *p) {
    const Kprj_Spheroid *s = p->proSpheroid;
    const Kprj_Datum *d = s ? s->datum : nullptr;
    w.number(p->proType).number(p->proNumber).string(p->proExeName.data).string(p->proName.data);
    w.number(p->proZone).number(p->proParams.count).numbers(p->proParams.data, p->proParams.count);
    w.string(s ? s->sphereName.data : "").number(s ? s->a : 0).number(s ? s->b : 0);
    w.number(s ? s->eSquared : 0).number(s ? s->radius : 0);
    w.string(d ? d->datumname.data : "Undefined").number(d ? d->type : KPRJ_DATUM_NONE);
    w.number(d ? d->params.count : 0);
    if (d) w.numbers(d->params.data, d->params.count);
    w.string(d ? d->gridname.data : "");
}

bool setString(const std::string &s, Kprj_CharStrPtr *out, Kerr_ErrorReport **err) {
    return kprj_CharStrCreate(s.empty() ? nullptr : s.c_str(), out, err) == 0;
}

bool readArray(gm::TokenReader &r, Kprj_DblArrayPtr *out, Kerr_ErrorReport **err) {
    long n = 0;
    return r.integer(n, 0, 4096) && kprj_DblArrayCreate(static_cast<int32_t>(n), out, err) == 0 &&
           r.numbers(out->data, static_cast<size_t>(n));
}

Kprj_ProParameters *readSide(gm::TokenReader &r, Kerr_ErrorReport **err) {
    Kprj_ProParameters *p = kprj_ProParametersCreate(err);
    if (!p) return nullptr;
    Kprj_Spheroid *s = p->proSpheroid;
    Kprj_Datum *d = s->datum;
    long type = 0, number = 0, zone = 0, datumType = 0;
    std::string exe, name, sphere, datum, grid;
    const bool ok =
        r.integer(type, 0, 1) && r.integer(number, 0, 1 << 20) && r.string(exe) && r.string(name) &&
        r.integer(zone, -(1 << 20), 1 << 20) && readArray(r, &p->proParams, err) &&
        r.string(sphere) && r.number(s->a) && r.number(s->b) && r.number(s->eSquared) &&
        r.number(s->radius) && r.string(datum) && r.integer(datumType, 0, 3) &&
        readArray(r, &d->params, err) && r.string(grid) && setString(exe, &p->proExeName, err) &&
        setString(name, &p->proName, err) && setString(sphere, &s->sphereName, err) &&
        setString(datum, &d->datumname, err) && setString(grid, &d->gridname, err);
    if (!ok) {
        kprj_ProParametersFree(p);
        return nullptr;
    }
    p->proType = static_cast<int32_t>(type);
    p->proNumber = static_cast<int32_t>(number);
    p->proZone = static_cast<int32_t>(zone);
    d->type = static_cast<int32_t>(datumType);
    return p;
}

void freeStored(Stored &s) {
    for (StoredSide &side : s.side)
        for (Counted *c : {&side.data, &side.dictionary, &side.design}) kmsc_HeapFree(c->data);
}

}  // namespace

// The engine's projections may keep state (external programs, datum grids),
// so calls into this model are serialised by the library.
GM_INSTANCE("Projection Pair", 0)

GM_EXPORT void XFormDestroy(void *data) {
    destroy(static_cast<ProjPair *>(data));
}

GM_EXPORT void *XFormCopy(const void *data, Kerr_ErrorReport **err) {
    return copyOf(as(data)->input, as(data)->output, err);
}

GM_EXPORT void *XFormInvert(const void *data, Kerr_ErrorReport **err) {
    return copyOf(as(data)->output, as(data)->input, err);
}

GM_EXPORT long XFormIsSame(const void *a, const void *b) {
    return kprj_ProParametersEqual(as(a)->input, as(b)->input, nullptr) == 1 &&
           kprj_ProParametersEqual(as(a)->output, as(b)->output, nullptr) == 1;
}

GM_EXPORT long XFormIsInverse(const void *a, const void *b) {
    return kprj_ProParametersEqual(as(a)->input, as(b)->output, nullptr) == 1 &&
           kprj_ProParametersEqual(as(a)->output, as(b)->input, nullptr) == 1;
}

GM_EXPORT long XFormTransform(const void *data, long count, double *xy) {
    auto *points = reinterpret_cast<Kprj_Coordinate *>(xy);
    return kprj_Project(as(data)->pair, count, points, points, nullptr) == 0 ? count : -1;
}

GM_EXPORT char *XFormSprintf(const void *data, Kerr_ErrorReport **) {
    gm::TextWriter w("PROJECTIONPAIR");
    writeSide(w, as(data)->input);
    writeSide(w, as(data)->output);
    return w.finish();
}

GM_EXPORT void *XFormSscanf(const char *text, Kerr_ErrorReport **err) {
    std::vector<gm::Token> tokens;
    gm::TokenReader r(tokens);
    Kprj_ProParameters *i = nullptr, *o = nullptr;
    if (gm::parseText(text, "PROJECTIONPAIR", tokens) && (i = readSide(r, err)) &&
        (o = readSide(r, err)) && r.done())
        return make(i, o, err);
    kprj_ProParametersFree(i);
    kprj_ProParametersFree(o);
    gm::fail(err, "XFormSscanf", 1, "Not a projection pair: %s", text ? text : "<NULL>");
    return nullptr;
}

GM_EXPORT long XFormConvertToMIF(const void *data, char **dictionary, char **designName,
                                 unsigned char **bytes, int32_t *size, Kerr_ErrorReport **err) {
    const Kmif_Design *d = storedDesign(err);
    if (!d) return -1;
    Stored s{};
    const Kprj_ProParameters *sides[2] = {as(data)->input, as(data)->output};
    bool ok = true;
    for (int k = 0; ok && k < 2; ++k) {
        unsigned char *b = nullptr;
        char *dict = nullptr, *name = nullptr;
        const int32_t n = kprj_ProjectionConvertToMIF(sides[k], &b, &dict, &name, err);
        ok = n >= 0;
        s.side[k] = {{n, b},
                     {dict ? int32_t(strlen(dict) + 1) : 0, dict},
                     {name ? int32_t(strlen(name) + 1) : 0, name}};
    }
    const long r = ok ? gm::toMIF(&s, d, dictionary, designName, bytes, size, err) : -1;
    freeStored(s);
    return r;
}

GM_EXPORT void *XFormConvertFromMIF(const char *dictionary, const char *designName,
                                    const unsigned char *bytes, int32_t size,
                                    Kerr_ErrorReport **err) {
    const Kmif_Design *d = storedDesign(err);
    gm::Decoded decoded;
    if (!d || !gm::fromMIF(dictionary, designName, bytes, size, d, decoded, err)) return nullptr;
    const Stored *s = static_cast<const Stored *>(decoded.object);
    Kprj_ProParameters *p[2] = {};
    for (int k = 0; k < 2; ++k) {
        const StoredSide &side = s->side[k];
        const std::string dict(
            static_cast<const char *>(side.dictionary.data ? side.dictionary.data : ""),
            side.dictionary.data
                ? strnlen(static_cast<const char *>(side.dictionary.data), side.dictionary.count)
                : 0);
        const std::string name(
            static_cast<const char *>(side.design.data ? side.design.data : ""),
            side.design.data
                ? strnlen(static_cast<const char *>(side.design.data), side.design.count)
                : 0);
        p[k] = kprj_ProjectionConvertFromMIF(static_cast<const unsigned char *>(side.data.data),
                                             side.data.count, dict.c_str(), name.c_str(), err);
        if (!p[k]) {
            kprj_ProParametersFree(p[0]);
            return nullptr;
        }
    }
    return make(p[0], p[1], err);
}

GM_EXPORT void *XFormCreateFromProjPair(const Kprj_ProParameters *input,
                                        const Kprj_ProParameters *output, Kerr_ErrorReport **err) {
    return copyOf(input, output, err);
}
