// Georeferencing of a layer: its map information and projection parameters
// through the plug-in's map entries when the format has them, else as
// auxiliary objects below the layer's node ("Map_Info", "Projection" and
// "Projection:Datum") in the image file or its ".aux" support file; and the
// extent, pixel size and bounding box that follow from them.
#include <kraster/kimg.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "core/report.hpp"
#include "image/kimg_internal.hpp"
#include "image/kimg_layer.hpp"
#include "projection/kprj_internal.hpp"

using kr::Report;
using namespace kr::img;

namespace {

constexpr const char *kMapInfoNode = ":Map_Info";
constexpr const char *kProjectionNode = ":Projection";
constexpr const char *kDatumNode = ":Projection:Datum";
constexpr const char *kWhat = "the georeferencing";

bool checkLayer(Kimg_Layer *layer, bool forWrite, const char *fn, Report &e) {
    return layerCheck(layer, forWrite, "%s is read-only", fn, e);
}

}  // namespace

namespace kr::img {

bool layerCheck(const Kimg_Layer *layer, bool forWrite, const char *readOnlyFormat, const char *fn,
                Report &e) {
    if (!layer) {
        e.error(fn, 1, "NULL layer");
        return false;
    }
    if (forWrite && layer->readOnly) {
        e.error(fn, 2, readOnlyFormat, layer->name.c_str());
        return false;
    }
    return true;
}

bool layerFileOpen(Kimg_Layer *layer, LayerFileUse &use, const char *fn, Report &e) {
    use.file = kimg_FileOpen(layer->fileName.c_str(), e.out(), 0);
    if (!use.file) {
        if (!e.failed()) e.error(fn, 40, "%s:  Unrecognized format", layer->fileName.c_str());
        return false;
    }
    return true;
}

// Reads an encoded object of the layer: through `entry` of the plug-in when
// it has it, else from node (below the layer's node). 1, 0 (none) or -1.
int layerObjectRead(Kimg_Layer *layer, Kimg_RFLayerObjectReadFunc entry, const char *node,
                    EncodedObject &out, const char *what, const char *fn, Report &e) {
    if (entry) {
        Kerr_ErrorReport *perr = nullptr;
        int status = 0;
        long r = call(*layer->instance, entry, &status, layer->handle, &out.data, &out.size,
                      &out.dictionary, &out.type, &perr);
        if (r < 0 && status == KIMG_RF_STATUS_NO_SUCH_FILE) {
            kerr_DeleteErrorReport(perr);
            return 0;
        }
        if (r < 0 || !out.data || out.size <= 0 || !out.dictionary || !out.type) {
            e.wrap(perr, fn, 3, "Cannot read %s of %s", what, layer->name.c_str());
            return -1;
        }
        kerr_DeleteErrorReport(perr);
        return 1;
    }
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    return fileObjectRead(use.file, (layer->nodePath + node).c_str(), out, fn, e.out());
}

// Writes an encoded object: through `entry`, else as the node below the layer.
bool layerObjectWrite(Kimg_Layer *layer, Kimg_RFLayerObjectWriteFunc entry, Kimg_File *file,
                      const char *node, const unsigned char *data, long size,
                      const char *dictionary, const char *type, const char *what, const char *fn,
                      Report &e) {
    if (entry) {
        Kerr_ErrorReport *perr = nullptr;
        if (call(*layer->instance, entry, nullptr, layer->handle, data, size, dictionary, type,
                 &perr) < 0) {
            e.wrap(perr, fn, 4, "Cannot write %s of %s", what, layer->name.c_str());
            return false;
        }
        kerr_DeleteErrorReport(perr);
        return true;
    }
    return fileObjectWrite(file, (layer->nodePath + node).c_str(), data, size, dictionary, type, fn,
                           e.out()) == 0;
}

}  // namespace kr::img

extern "C" {

KRASTER_API Kprj_MapInfo *kimg_LayerMapInformationRead(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapInformationRead";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    const kr::prj::Designs *d = kr::prj::designs(fn, e);
    if (!d) return nullptr;
    EncodedObject raw;
    const int r = layerObjectRead(layer, layer->instance->fn.LayerMapInfoRead, kMapInfoNode, raw,
                                  kWhat, fn, e);
    if (r <= 0) return nullptr;
    void *object =
        kr::prj::decodeAs(d->mapInfo, raw.data, raw.size, raw.dictionary, raw.type, fn, e);
    if (!object) return nullptr;
    auto *m = static_cast<Kprj_MapInfo *>(object);
    kr::prj::nameRule(m, true);
    return m;
}

KRASTER_API int kimg_LayerMapInformationWrite(Kimg_Layer *layer, const Kprj_MapInfo *mapInfo,
                                              Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapInformationWrite";
    Report e(err);
    if (!checkLayer(layer, true, fn, e)) return -1;
    if (!mapInfo) {
        e.error(fn, 5, "Invalid input MapInfo");
        return -1;
    }
    const kr::prj::Designs *d = kr::prj::designs(fn, e);
    ObjectEncoding enc;
    if (!d || !enc.make(mapInfo, d->mapInfo, e)) return -1;
    LayerFileUse use;
    Kimg_RFLayerObjectWriteFunc entry = layer->instance->fn.LayerMapInfoWrite;
    if (!entry && !layerFileOpen(layer, use, fn, e)) return -1;
    return layerObjectWrite(layer, entry, use.file, kMapInfoNode, enc.data, enc.size,
                            enc.dictionary, enc.type, kWhat, fn, e)
               ? 0
               : -1;
}

KRASTER_API Kprj_ProParameters *kimg_LayerMapProjectionRead(Kimg_Layer *layer,
                                                            Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapProjectionRead";
    Report e(err);
    if (!checkLayer(layer, false, fn, e)) return nullptr;
    const kr::prj::Designs *d = kr::prj::designs(fn, e);
    if (!d) return nullptr;
    Kimg_RFLayerObjectReadFunc entry = layer->instance->fn.LayerMapProjectionRead;
    EncodedObject raw;
    if (layerObjectRead(layer, entry, kProjectionNode, raw, kWhat, fn, e) <= 0) return nullptr;
    Kprj_ProParameters *p =
        kprj_ProjectionConvertFromMIF(raw.data, raw.size, raw.dictionary, raw.type, e.out());
    if (!p) {
        e.error(fn, 6, "Error returned from kprj_ProjectionConvertFromMIF");
        return nullptr;
    }
    // A whole projection from the plug-in carries its datum; stored
    // parameters have it in a node of its own.
    const bool whole = std::strcmp(raw.type, "Kprj_MapProjection830") == 0;
    if (whole) return p;
    EncodedObject rawDatum;
    const int r = entry ? 0 : layerObjectRead(layer, nullptr, kDatumNode, rawDatum, kWhat, fn, e);
    if (r < 0) {
        kprj_ProParametersFree(p);
        return nullptr;
    }
    if (r == 0) {
        if (!kr::prj::datumWhenMissing(p, fn, e)) {
            kprj_ProParametersFree(p);
            return nullptr;
        }
        return p;
    }
    void *x = kr::prj::decodeAs(d->datum, rawDatum.data, rawDatum.size, rawDatum.dictionary,
                                rawDatum.type, fn, e);
    Kprj_Datum *datum = x ? kr::prj::adoptDatum(x, *d) : nullptr;
    if (!datum) {
        if (x) kmif_ObjectFree(&x, d->datum, nullptr);
        kprj_ProParametersFree(p);
        e.error(fn, 7, "Error reading the datum of %s", layer->name.c_str());
        return nullptr;
    }
    kprj_DatumFree(p->proSpheroid->datum);
    p->proSpheroid->datum = datum;
    return p;
}

KRASTER_API int kimg_LayerMapProjectionWrite(Kimg_Layer *layer,
                                             const Kprj_ProParameters *proParameters,
                                             Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapProjectionWrite";
    Report e(err);
    if (!checkLayer(layer, true, fn, e)) return -1;
    if (!proParameters) {
        e.error(fn, 5, "Invalid input proParameters");
        return -1;
    }
    const kr::prj::Designs *d = kr::prj::designs(fn, e);
    if (!d) return -1;
    Kimg_RFLayerObjectWriteFunc entry = layer->instance->fn.LayerMapProjectionWrite;
    if (entry) {
        // The format takes the whole projection, datum included.
        ObjectEncoding enc;
        enc.size = kprj_ProjectionConvertToMIF(proParameters, &enc.data, &enc.dictionary, &enc.type,
                                               e.out());
        if (enc.size < 0) return -1;
        return layerObjectWrite(layer, entry, nullptr, nullptr, enc.data, enc.size, enc.dictionary,
                                enc.type, kWhat, fn, e)
                   ? 0
                   : -1;
    }
    LayerFileUse use;
    if (!layerFileOpen(layer, use, fn, e)) return -1;
    ObjectEncoding enc;
    if (!enc.make(proParameters, d->proParameters, e) ||
        !layerObjectWrite(layer, nullptr, use.file, kProjectionNode, enc.data, enc.size,
                          enc.dictionary, enc.type, kWhat, fn, e))
        return -1;
    const Kprj_Datum *datum =
        proParameters->proSpheroid ? proParameters->proSpheroid->datum : nullptr;
    if (!datum && proParameters->proType == KPRJ_EXTERNAL) return 0;
    Kprj_Datum undefined{};
    if (!datum) {
        kprj_DatumInit(&undefined, nullptr);
        datum = &undefined;
    }
    const Kprj_Datum stored = kr::prj::datumAsStored(*datum);
    ObjectEncoding denc;
    const bool ok = denc.make(&stored, d->datum, e) &&
                    layerObjectWrite(layer, nullptr, use.file, kDatumNode, denc.data, denc.size,
                                     denc.dictionary, denc.type, kWhat, fn, e);
    kprj_CharStrFree(&undefined.datumname);
    return ok ? 0 : -1;
}

KRASTER_API int kimg_LayerMapInfoGet(Kimg_Layer *layer, Kprj_MapInfo **mapInfo,
                                     Kprj_ProParameters **proParameters, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapInfoGet";
    Report e(err);
    if (mapInfo) *mapInfo = nullptr;
    if (proParameters) *proParameters = nullptr;
    Kprj_MapInfo *m = kimg_LayerMapInformationRead(layer, e.out());
    if (!m) {
        if (!e.failed()) return 0;
        e.error(fn, 1);
        return -1;
    }
    if (proParameters) {
        *proParameters = kimg_LayerMapProjectionRead(layer, e.out());
        if (!*proParameters && e.failed()) {
            kprj_MapInfoFree(m);
            e.error(fn, 2);
            return -1;
        }
    }
    if (mapInfo)
        *mapInfo = m;
    else
        kprj_MapInfoFree(m);
    return 1;
}

static Kimg_Layer *openByName(const char *layerName, bool forWrite, const char *fn, Report &e) {
    if (!layerName) {
        e.error(fn, 1, "NULL layer name");
        return nullptr;
    }
    Kimg_Layer *l = forWrite ? kimg_LayerOpen(layerName, kint_GetInit(), e.out(), 0)
                             : kimg_LayerOpen(layerName, kint_GetInit(), e.out(),
                                              KIMG_LAYER_OPTION_READONLY, 0);
    if (!l) e.error(fn, 2, "Cannot open %s", layerName);
    return l;
}

KRASTER_API Kprj_MapInfo *kimg_MapInfoRead(const char *layerName, Kerr_ErrorReport **err) {
    Report e(err);
    Kimg_Layer *l = openByName(layerName, false, "kimg_MapInfoRead", e);
    Kprj_MapInfo *m = l ? kimg_LayerMapInformationRead(l, e.out()) : nullptr;
    kimg_LayerClose(l, nullptr);
    return m;
}

KRASTER_API int kimg_MapInfoWrite(const char *layerName, const Kprj_MapInfo *mapInfo,
                                  Kerr_ErrorReport **err) {
    Report e(err);
    Kimg_Layer *l = openByName(layerName, true, "kimg_MapInfoWrite", e);
    int rc = l ? kimg_LayerMapInformationWrite(l, mapInfo, e.out()) : -1;
    if (l && kimg_LayerClose(l, rc == 0 ? e.out() : nullptr) != 0) rc = -1;
    return rc;
}

KRASTER_API Kprj_ProParameters *kimg_ProParametersRead(const char *layerName,
                                                       Kerr_ErrorReport **err) {
    Report e(err);
    Kimg_Layer *l = openByName(layerName, false, "kimg_ProParametersRead", e);
    Kprj_ProParameters *p = l ? kimg_LayerMapProjectionRead(l, e.out()) : nullptr;
    kimg_LayerClose(l, nullptr);
    return p;
}

KRASTER_API int kimg_ProParametersWrite(const char *layerName,
                                        const Kprj_ProParameters *proParameters,
                                        Kerr_ErrorReport **err) {
    Report e(err);
    Kimg_Layer *l = openByName(layerName, true, "kimg_ProParametersWrite", e);
    int rc = l ? kimg_LayerMapProjectionWrite(l, proParameters, e.out()) : -1;
    if (l && kimg_LayerClose(l, rc == 0 ? e.out() : nullptr) != 0) rc = -1;
    return rc;
}

// The map information of a layer with its corner and size sub-records, for
// the derived quantities: 1, 0 (none) or -1.
static int usableMapInfo(Kimg_Layer *layer, Kprj_MapInfo **m, const char *fn, Report &e) {
    *m = kimg_LayerMapInformationRead(layer, e.out());
    if (!*m) return e.failed() ? -1 : 0;
    if (!(*m)->upperLeftCenter || !(*m)->pixelSize) {
        kprj_MapInfoFree(*m);
        *m = nullptr;
        e.error(fn, 3, "Incomplete map information in %s", layer->name.c_str());
        return -1;
    }
    return 1;
}

KRASTER_API int kimg_LayerMapExtentCompute(Kimg_Layer *layer, Kprj_Coordinate *upperLeft,
                                           Kprj_Coordinate *lowerRight, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerMapExtentCompute";
    Report e(err);
    Kprj_MapInfo *m = nullptr;
    const int r = usableMapInfo(layer, &m, fn, e);
    if (r <= 0) return r;
    const double w = m->pixelSize->width, h = m->pixelSize->height;
    const double x0 = m->upperLeftCenter->x - w / 2, y0 = m->upperLeftCenter->y + h / 2;
    if (upperLeft) *upperLeft = {x0, y0};
    if (lowerRight)
        *lowerRight = {x0 + w * static_cast<double>(layer->width),
                       y0 - h * static_cast<double>(layer->height)};
    kprj_MapInfoFree(m);
    return 1;
}

KRASTER_API int kimg_LayerNominalPixelSizeGet(Kimg_Layer *layer, double *width, double *height,
                                              Kerr_ErrorReport **err) {
    Report e(err);
    Kprj_MapInfo *m = nullptr;
    const int r = usableMapInfo(layer, &m, "kimg_LayerNominalPixelSizeGet", e);
    if (r <= 0) return r;
    if (width) *width = m->pixelSize->width;
    if (height) *height = m->pixelSize->height;
    kprj_MapInfoFree(m);
    return 1;
}

KRASTER_API int kimg_LayerMapBoundingBoxGet(Kimg_Layer *layer, double *minX, double *minY,
                                            double *maxX, double *maxY, Kerr_ErrorReport **err) {
    Report e(err);
    Kprj_Coordinate ul{}, lr{};
    const int r = kimg_LayerMapExtentCompute(layer, &ul, &lr, e.out());
    if (r <= 0) {
        if (r < 0) e.error("kimg_LayerMapBoundingBoxGet", 1);
        return r;
    }
    if (minX) *minX = std::min(ul.x, lr.x);
    if (maxX) *maxX = std::max(ul.x, lr.x);
    if (minY) *minY = std::min(ul.y, lr.y);
    if (maxY) *maxY = std::max(ul.y, lr.y);
    return 1;
}

}  // extern "C"
