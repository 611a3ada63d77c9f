// kraster info: the format and support files of an image file, and its
// layers with their size, types, compression, null value, pyramid levels,
// table columns, map information (pixel centres of the corners, extent,
// pixel size, units), projection (name, number, zone, parameters, spheroid,
// datum) and stored statistics (marked out of date when older than the
// raster); --json gives
// the same as one JSON object.
#include <kraster/kraster.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "info_facts.hpp"
#include "tool.hpp"

namespace {

std::string text(const Kprj_CharStrPtr &s) {
    return s.count > 0 && s.data ? std::string(s.data, static_cast<size_t>(s.count - 1)) : "";
}

// A JSON string literal, and a number in its shortest round-trip form
// (non-finite values as null).
std::string quote(const std::string &s) {
    return tool::jsonQuote(s);
}
std::string num(double v) {
    return tool::jsonNumber(v);
}

struct LayerFacts {
    std::string name;
    Kimg_LayerInfo info{};
    tool::LayerExtras extras;

    Kprj_MapInfo *map = nullptr;
    Kprj_ProParameters *projection = nullptr;
    Kprj_Coordinate ul{}, lr{};  // extent (outer pixel edges)
    Ksta_Statistics *statistics = nullptr;
    bool statisticsStale = false;  // older than the raster
    ~LayerFacts() {
        kprj_MapInfoFree(map);
        kprj_ProParametersFree(projection);
        ksta_StatisticsDelete(statistics);
    }
};

const char *pixelName(int32_t t) {
    return t >= 0 && t < KGDA_PIXEL_TYPE_COUNT ? kmsc_AddressOf_kgda_PixelTypeName()[t] : "?";
}

// The stored statistics of a layer, when it has them, and whether they are
// older than its raster.
void readStatistics(Kimg_Layer *l, LayerFacts &f) {
    Kerr_ErrorReport *none = nullptr;
    f.statistics = kimg_StatisticsRead(l, &none);
    kerr_DeleteErrorReport(none);
    int64_t stored = 0, raster = 0;
    f.statisticsStale = f.statistics && kimg_StatisticsGetTimeStamp(l, &stored, nullptr) == 0 &&
                        kimg_LayerGetTimeStamp(l, &raster, nullptr) == 0 && stored < raster;
}

void printStatistics(const LayerFacts &f) {
    const Ksta_Statistics *s = f.statistics;
    if (!s) {
        printf("  statistics: none\n");
        return;
    }
    printf(
        "  statistics%s:\n    minimum %s, maximum %s, mean %s\n    median %s, mode %s, "
        "stddev %s\n",
        f.statisticsStale ? " (out of date)" : "", num(s->minimum).c_str(), num(s->maximum).c_str(),
        num(s->mean).c_str(), num(s->median).c_str(), num(s->mode).c_str(), num(s->stddev).c_str());
}

void printText(const LayerFacts &f) {
    printf("%s\n", f.name.c_str());
    printf("  size: %ld x %ld, %s, %s, blocks %ld x %ld\n", f.info.width, f.info.height,
           pixelName(f.info.pixelType), kimg_LayerTypeName(f.info.layerType), f.info.blockWidth,
           f.info.blockHeight);
    printExtras(f.extras);
    const Kprj_MapInfo *m = f.map;
    if (!m) {
        printf("  map info: none\n");
    } else {
        printf("  map info:\n    projection: %s\n", text(m->proName).c_str());
        printf("    upper-left centre: %s, %s\n", num(m->upperLeftCenter->x).c_str(),
               num(m->upperLeftCenter->y).c_str());
        if (m->lowerRightCenter)
            printf("    lower-right centre: %s, %s\n", num(m->lowerRightCenter->x).c_str(),
                   num(m->lowerRightCenter->y).c_str());
        printf("    pixel size: %s x %s %s\n", num(m->pixelSize->width).c_str(),
               num(m->pixelSize->height).c_str(), text(m->units).c_str());
        printf("    extent: %s, %s to %s, %s\n", num(f.ul.x).c_str(), num(f.ul.y).c_str(),
               num(f.lr.x).c_str(), num(f.lr.y).c_str());
    }
    const Kprj_ProParameters *p = f.projection;
    if (!p) {
        printf("  projection: none\n");
        printStatistics(f);
        return;
    }
    printf("  projection:\n    name: %s", text(p->proName).c_str());
    if (p->proType == KPRJ_EXTERNAL)
        printf(" (external module %s)", text(p->proExeName).c_str());
    else
        printf(" (number %ld)", static_cast<long>(p->proNumber));
    printf(", zone %ld\n    parameters:", static_cast<long>(p->proZone));
    for (int32_t i = 0; p->proParams.data && i < p->proParams.count; ++i)
        printf("%s%s", i ? ", " : " ", num(p->proParams.data[i]).c_str());
    printf("\n");
    if (const Kprj_Spheroid *s = p->proSpheroid) {
        printf("    spheroid: %s (a = %s, b = %s)\n", text(s->sphereName).c_str(),
               num(s->a).c_str(), num(s->b).c_str());
        printf("    datum: %s\n", s->datum ? text(s->datum->datumname).c_str() : "");
    }
    printStatistics(f);
}

std::string json(const LayerFacts &f) {
    std::string o = "{\"name\": " + quote(f.name) + ", \"width\": " + std::to_string(f.info.width) +
                    ", \"height\": " + std::to_string(f.info.height) +
                    ", \"pixelType\": " + quote(pixelName(f.info.pixelType)) +
                    ", \"layerType\": " + quote(kimg_LayerTypeName(f.info.layerType));
    o += ", \"blockWidth\": " + std::to_string(f.info.blockWidth) +
         ", \"blockHeight\": " + std::to_string(f.info.blockHeight) + tool::jsonExtras(f.extras);
    if (const Kprj_MapInfo *m = f.map) {
        o += ", \"mapInfo\": {\"projection\": " + quote(text(m->proName)) +
             ", \"upperLeftCenter\": [" + num(m->upperLeftCenter->x) + ", " +
             num(m->upperLeftCenter->y) + "]";
        if (m->lowerRightCenter)
            o += ", \"lowerRightCenter\": [" + num(m->lowerRightCenter->x) + ", " +
                 num(m->lowerRightCenter->y) + "]";
        o += ", \"pixelSize\": [" + num(m->pixelSize->width) + ", " + num(m->pixelSize->height) +
             "], \"units\": " + quote(text(m->units)) + ", \"extent\": [" + num(f.ul.x) + ", " +
             num(f.ul.y) + ", " + num(f.lr.x) + ", " + num(f.lr.y) + "]}";
    } else {
        o += ", \"mapInfo\": null";
    }
    if (const Kprj_ProParameters *p = f.projection) {
        o += ", \"projection\": {\"name\": " + quote(text(p->proName)) +
             ", \"type\": " + quote(p->proType == KPRJ_EXTERNAL ? "external" : "internal") +
             ", \"number\": " + std::to_string(p->proNumber) +
             ", \"module\": " + quote(text(p->proExeName)) +
             ", \"zone\": " + std::to_string(p->proZone) + ", \"parameters\": [";
        for (int32_t i = 0; p->proParams.data && i < p->proParams.count; ++i)
            o += (i ? ", " : "") + num(p->proParams.data[i]);
        o += "]";
        if (const Kprj_Spheroid *s = p->proSpheroid)
            o += ", \"spheroid\": {\"name\": " + quote(text(s->sphereName)) +
                 ", \"a\": " + num(s->a) + ", \"b\": " + num(s->b) +
                 ", \"eSquared\": " + num(s->eSquared) + ", \"radius\": " + num(s->radius) +
                 "}, \"datum\": " + quote(s->datum ? text(s->datum->datumname) : "");
        o += "}";
    } else {
        o += ", \"projection\": null";
    }
    if (const Ksta_Statistics *s = f.statistics)
        o += ", \"statistics\": {\"minimum\": " + num(s->minimum) +
             ", \"maximum\": " + num(s->maximum) + ", \"mean\": " + num(s->mean) +
             ", \"median\": " + num(s->median) + ", \"mode\": " + num(s->mode) +
             ", \"stddev\": " + num(s->stddev) +
             ", \"outOfDate\": " + (f.statisticsStale ? "true" : "false") + "}";
    else
        o += ", \"statistics\": null";
    return o + "}";
}

int fail(const char *what, Kerr_ErrorReport *err) {
    fprintf(stderr, "kraster info: %s failed\n", what);
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
    }
    return 1;
}

int info(const std::vector<std::string> &argv) {
    std::vector<std::string> args;
    bool asJson = false;
    for (const std::string &a : argv) {
        if (a == "--json")
            asJson = true;
        else
            args.push_back(a);
    }
    if (args.empty()) {
        fprintf(stderr, "usage: kraster info [--json] FILE [LAYER ...]\n");
        return 2;
    }
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *tk = kint_InitToolkit(&err);
    if (!tk) return fail("kint_InitToolkit", err);
    std::vector<std::string> names;
    if (args.size() > 1) {
        for (size_t i = 1; i < args.size(); ++i) names.push_back(args[0] + "(:" + args[i] + ")");
    } else {
        long count = 0;
        char **list = nullptr;
        if (kimg_LayerGetNames(args[0].c_str(), &count, &list, &err) != 0)
            return fail("kimg_LayerGetNames", err);
        for (long i = 0; i < count; ++i) {
            names.emplace_back(list[i]);
            kmsc_HeapFree(list[i]);
        }
        kmsc_HeapFree(list);
    }
    // Pyramid levels are shown with their layers, not as layers.
    const tool::FileFacts facts = tool::fileFacts(args[0], names, tk);
    if (args.size() == 1)
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [&](const std::string &n) {
                                       return std::find(facts.levels.begin(), facts.levels.end(),
                                                        n) != facts.levels.end();
                                   }),
                    names.end());
    if (!asJson) printFile(args[0], facts);
    std::vector<std::string> out;
    for (const std::string &name : names) {
        LayerFacts f;
        f.name = name;
        Kimg_Layer *l = kimg_LayerOpen(name.c_str(), tk, &err, KIMG_LAYER_OPTION_READONLY, 0);
        if (!l) return fail("kimg_LayerOpen", err);
        int rc = kimg_LayerInfoGet(l, &f.info, &err);
        if (rc == 0) f.extras = tool::layerExtras(l, f.info, facts, tk);
        if (rc == 0 && kimg_LayerMapInfoGet(l, &f.map, &f.projection, &err) < 0) rc = -1;
        if (rc == 0 && f.map && kimg_LayerMapExtentCompute(l, &f.ul, &f.lr, &err) < 0) rc = -1;
        if (rc == 0) readStatistics(l, f);
        kimg_LayerClose(l, nullptr);
        if (rc != 0) return fail("reading the layer", err);
        if (asJson)
            out.push_back(json(f));
        else
            printText(f);
    }
    if (asJson) {
        printf("{\"file\": %s%s, \"layers\": [", quote(args[0]).c_str(),
               tool::jsonFile(facts).c_str());
        for (size_t i = 0; i < out.size(); ++i) printf("%s%s", i ? ", " : "", out[i].c_str());
        printf("]}\n");
    }
    kimg_FileNameDequeue(args[0].c_str(), nullptr);
    return 0;
}

tool::Registrar command("info", "[--json] FILE [LAYER ...]",
                        "layers of an image with their map information, projection and statistics",
                        info);

}  // namespace
