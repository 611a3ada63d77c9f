// kraster warp: resamples every layer of an image into another map system.
// The destination covers the source's outer edge carried into the new
// system (its corners and points along its sides); its pixels are square
// unless --pixel-size says otherwise, sized so that the diagonal keeps its
// pixel count. Destination pixels are taken to source pixels by the
// reprojection transform (polynomials fitted over the preferences' sample
// grid, to --tolerance or the preference rp_reprojtolerance) and
// interpolated by a "ResampleMethods" plug-in (thematic layers always by
// the nearest neighbour). Pixels outside the source,
// and pixels whose source is null, get the source layer's null value (0 when
// it has none); the destination layers get the same null value, the map
// information and projection, and their statistics when they close. A
// failure or Ctrl-C leaves no destination.
#include <kraster/kraster.h>

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli.hpp"
#include "projection_spec.hpp"
#include "tool.hpp"

namespace {

constexpr const char *kName = "warp";
constexpr const char *kUsageText =
    "SOURCE DESTINATION --to SYSTEM [--resampling nearest|bilinear|cubic] "
    "[--pixel-size X[,Y]] [--tolerance PIXELS] [-q|--progress]";

// Destination blocks are done this many pixels square.
constexpr long kBlock = 512;
// Points along each side of the source's edge carried into the new system.
constexpr int kEdgePoints = 64;

struct Method {
    const char *option;
    const char *title;
};
const Method kMethods[] = {{"nearest", "Nearest Neighbor"},
                           {"bilinear", "Bilinear Interpolation"},
                           {"cubic", "Cubic Convolution"}};

struct ChainFree {
    void operator()(Kxfr_XForm *x) const { kxfr_XFormFree(x); }
};
using Chain = std::unique_ptr<Kxfr_XForm, ChainFree>;
struct MapInfoFree {
    void operator()(Kprj_MapInfo *m) const { kprj_MapInfoFree(m); }
};
using MapInfo = std::unique_ptr<Kprj_MapInfo, MapInfoFree>;
struct ParamsFree {
    void operator()(Kprj_ProParameters *p) const { kprj_ProParametersFree(p); }
};
using Params = std::unique_ptr<Kprj_ProParameters, ParamsFree>;
struct PairFree {
    void operator()(Kprj_ProjectionPair *p) const { kprj_ProjectionPairFree(p); }
};
using Pair = std::unique_ptr<Kprj_ProjectionPair, PairFree>;
struct DataFree {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using Data = std::unique_ptr<Kgda_BaseData, DataFree>;

bool endsWith(const std::string &s, const char *tail) {
    const size_t n = std::char_traits<char>::length(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// The destination system: EPSG codes, WKT texts and ".prj" files through the
// external projection engine; anything else as projection_spec.hpp reads it.
Kprj_ProParameters *systemFromArgument(Kint_InitToolkitData *toolkit, const std::string &text,
                                       std::string *why, Kerr_ErrorReport **err) {
    if (strncasecmp(text.c_str(), "EPSG:", 5) == 0 || text.find('[') != std::string::npos ||
        endsWith(text, ".prj")) {
        Kprj_ProParameters *p = kprj_ProParametersFromSystemText(toolkit, text.c_str(), err);
        if (!p) *why = "reading the system \"" + text + "\"";
        return p;
    }
    return tool::projectionFromSpec(toolkit, text, why, err);
}

// The map-to-map function of the reprojection: the chain of unit steps and
// projection pair.
int mapToMap(void *context, const Kgda_BaseData *in, Kgda_BaseData *out, Kerr_ErrorReport **err) {
    return kxfr_Transform(static_cast<const Kxfr_XForm *>(context), in, out, err) ? 0 : -1;
}

// One source layer with its resampling.
struct LayerPair {
    std::string node;
    Kimg_Layer *source = nullptr;
    Kimg_Layer *destination = nullptr;
    Kimg_LayerInfo info{};
    Data null;  // the stored null value, or none
    Kirf_ResampleData *resample = nullptr;
};

int readSource(void *client, long column, long row, long columns, long rows,
               Kgda_BaseDataStack *rects, Kerr_ErrorReport **err) {
    return kimg_LayerRasterPixelRectGet(static_cast<Kimg_Layer *>(client), column, row, columns,
                                        rows, rects->layers[0], err);
}

class Warp {
  public:
    Warp(const tool::Args &args, std::string source, std::string destination)
        : args_(args), source_(std::move(source)), destination_(std::move(destination)) {}
    ~Warp() { release(); }
    int run();

  private:
    int fail(const std::string &what, Kerr_ErrorReport *err) {
        release();
        if (created_) kimg_FileDestroy(destination_.c_str(), nullptr);
        return tool::failed(kName, what, err);
    }
    void release() {
        for (LayerPair &l : layers_) {
            kirf_ResampleDataDestroy(l.resample, nullptr);
            kimg_LayerClose(l.source, nullptr);
            kimg_LayerClose(l.destination, nullptr);
        }
        layers_.clear();
        kimg_FileNameDequeue(source_.c_str(), nullptr);
        kimg_FileNameDequeue(destination_.c_str(), nullptr);
    }
    bool extent(const Kprj_MapInfo &srcInfo, const Kxfr_XForm &toMap, double box[4],
                Kerr_ErrorReport **err);
    int resample(const tool::Progress &progress, long columns, long rows);

    const tool::Args &args_;
    std::string source_, destination_;
    std::vector<LayerPair> layers_;
    bool created_ = false;
};

// The bounding box (min x, min y, max x, max y) of the source's outer edge
// in the destination system.
bool Warp::extent(const Kprj_MapInfo &srcInfo, const Kxfr_XForm &toMap, double box[4],
                  Kerr_ErrorReport **err) {
    const double w = static_cast<double>(layers_[0].info.width);
    const double h = static_cast<double>(layers_[0].info.height);
    Data points(
        kgda_BaseDataCreate(2, 4 * kEdgePoints, KGDA_TYPE_F64, KGDA_MATRIX_OBJECT, nullptr, err));
    if (!points) return false;
    auto *p = reinterpret_cast<double *>(points->windowStart);
    for (int k = 0; k < kEdgePoints; ++k) {
        const double t = static_cast<double>(k) / kEdgePoints;
        // Pixel positions along the top, right, bottom and left sides.
        const double sides[4][2] = {{t * w, 0}, {w, t * h}, {w - t * w, h}, {0, h - t * h}};
        for (const auto &s : sides) {
            *p++ = srcInfo.upperLeftCenter->x + (s[0] - 0.5) * srcInfo.pixelSize->width;
            *p++ = srcInfo.upperLeftCenter->y - (s[1] - 0.5) * srcInfo.pixelSize->height;
        }
    }
    Data moved(kxfr_Transform(&toMap, points.get(), nullptr, err));
    if (!moved) return false;
    box[0] = box[1] = HUGE_VAL;
    box[2] = box[3] = -HUGE_VAL;
    const auto *q = reinterpret_cast<const double *>(moved->windowStart);
    for (int k = 0; k < 4 * kEdgePoints; ++k, q += 2) {
        if (!std::isfinite(q[0]) || !std::isfinite(q[1])) continue;
        box[0] = std::min(box[0], q[0]);
        box[1] = std::min(box[1], q[1]);
        box[2] = std::max(box[2], q[0]);
        box[3] = std::max(box[3], q[1]);
    }
    return box[0] < box[2] && box[1] < box[3];
}

int Warp::resample(const tool::Progress &progress, long columns, long rows) {
    Kerr_ErrorReport *err = nullptr;
    const long blocks = ((columns + kBlock - 1) / kBlock) * ((rows + kBlock - 1) / kBlock);
    long done = 0;
    for (LayerPair &l : layers_) {
        const int32_t type = l.info.pixelType;
        Data block(kimg_PixelRectCreate(kBlock, kBlock, type, &err));
        if (!block) return fail("allocating a block", err);
        Kgda_BaseData *one[1] = {block.get()};
        Kgda_BaseDataStack stack{1, 1, one, 0};
        for (long r = 0; r < rows; r += kBlock)
            for (long c = 0; c < columns; c += kBlock) {
                const long w = std::min(kBlock, columns - c), h = std::min(kBlock, rows - r);
                const double rect[4] = {static_cast<double>(c), static_cast<double>(r),
                                        static_cast<double>(w), static_cast<double>(h)};
                if (kirf_ResampleBlockInterpolate(l.resample, rect, &stack, &err) != 0)
                    return fail("resampling " + l.node, err);
                if (kimg_LayerRasterPixelRectSet(l.destination, c, r, w, h, block.get(), &err) != 0)
                    return fail("writing " + l.node, err);
                const Kimg_Meter *m = progress.meter();
                const double fraction = static_cast<double>(++done) /
                                        static_cast<double>(blocks * (long)layers_.size());
                if (m->update(fraction, l.node.c_str(), m->clientData) != 0)
                    return fail("warping (interrupted)", nullptr);
            }
    }
    return tool::kOk;
}

int Warp::run() {
    Kerr_ErrorReport *err = nullptr;
    Kint_InitToolkitData *toolkit = kint_InitToolkit(&err);
    if (!toolkit) return tool::failed(kName, "kint_InitToolkit", err);
    if (kfio_FileNameExistAsFileOrDir(source_.c_str(), nullptr) <= 0) {
        fprintf(stderr, "kraster %s: %s: No such file\n", kName, source_.c_str());
        return tool::kFailed;
    }
    if (kfio_FileNameExistAsFileOrDir(destination_.c_str(), nullptr) > 0) {
        fprintf(stderr, "kraster %s: %s already exists\n", kName, destination_.c_str());
        return tool::kFailed;
    }
    std::string why;
    Params to(systemFromArgument(toolkit, args_.value("--to"), &why, &err));
    if (!to) return tool::failed(kName, why, err);

    long count = 0;
    char **names = nullptr;
    if (kimg_LayerGetNames(source_.c_str(), &count, &names, &err) != 0)
        return fail("reading the layers of " + source_, err);
    for (long i = 0; i < count; ++i) {
        char *node = nullptr;
        if (kimg_LayerNameParse(names[i], nullptr, &node, nullptr) == 0 && node)
            layers_.emplace_back().node = node + (node[0] == ':');
        kmsc_HeapFree(node);
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    if (layers_.empty()) return fail(source_ + " has no layers", nullptr);
    for (LayerPair &l : layers_) {
        const std::string name = source_ + "(:" + l.node + ")";
        l.source = kimg_LayerOpen(name.c_str(), toolkit, &err, KIMG_LAYER_OPTION_READONLY, 0);
        if (!l.source || kimg_LayerInfoGet(l.source, &l.info, &err) != 0)
            return fail("opening " + name, err);
        l.null.reset(kimg_LayerRasterNullValueRead(l.source, &err));
        if (err) return fail("reading the null value of " + name, err);
    }
    Kprj_MapInfo *mi = nullptr;
    Kprj_ProParameters *pp = nullptr;
    const int has = kimg_LayerMapInfoGet(layers_[0].source, &mi, &pp, &err);
    MapInfo srcInfo(mi);
    Params from(pp);
    if (has < 0) return fail("reading the map information of " + source_, err);
    if (has == 0 || !from) return fail(source_ + " has no map information and projection", nullptr);

    Kprj_ProjectionPair *made = nullptr;
    if (!kprj_ProjectionPairGet(toolkit, &made, from.get(), to.get(), &err)) {
        kprj_ProjectionPairFree(made);
        return fail("setting up the projections", err);
    }
    Pair pair(made);
    MapInfo dstInfo(kprj_MapInfoCreate(&err));
    if (!dstInfo || kprj_MapInfoUnitsSet(dstInfo.get(), tool::defaultMapUnits(to.get()), &err) != 0)
        return fail("making map information", err);
    Chain toMap(
        kxfr_XFormCreateFromProjPairAndMapInfo(pair.get(), srcInfo.get(), dstInfo.get(), &err));
    double box[4];
    if (!toMap) return fail("building the map-to-map transform", err);
    if (!extent(*srcInfo, *toMap, box, &err))
        return fail("carrying the source's edge into the new system", err);

    double sx, sy;
    std::vector<double> size;
    if (args_.has("--pixel-size")) {
        tool::parseNumbers(args_.value("--pixel-size"), &size);
        sx = size[0];
        sy = size.size() > 1 ? size[1] : size[0];
    } else {
        const double w = static_cast<double>(layers_[0].info.width);
        const double h = static_cast<double>(layers_[0].info.height);
        sx = sy = std::hypot(box[2] - box[0], box[3] - box[1]) / std::hypot(w, h);
    }
    const double fx = std::ceil((box[2] - box[0]) / sx - 1e-6);
    const double fy = std::ceil((box[3] - box[1]) / sy - 1e-6);
    if (!(fx >= 1 && fy >= 1 && fx <= 1e6 && fy <= 1e6 && fx * fy <= 4e9)) {
        fprintf(stderr, "kraster %s: a destination of %.0f x %.0f pixels is out of reach\n", kName,
                fx, fy);
        return fail("sizing the destination", nullptr);
    }
    const long columns = static_cast<long>(fx), rows = static_cast<long>(fy);
    const double ulx = box[0] + sx / 2, uly = box[3] - sy / 2;
    const char *proName = to->proName.data ? to->proName.data : kprj_ProjectionNameUnknown();
    if (kprj_MapInfoProjectionNameSet(dstInfo.get(), proName, &err) != 0 ||
        kprj_MapInfoUpperLeftCenterSet(dstInfo.get(), ulx, uly, &err) != 0 ||
        kprj_MapInfoLowerRightCenterSet(dstInfo.get(), ulx + static_cast<double>(columns - 1) * sx,
                                        uly - static_cast<double>(rows - 1) * sy, &err) != 0 ||
        kprj_MapInfoPixelSizeSet(dstInfo.get(), sx, sy, &err) != 0)
        return fail("making map information", err);

    // The reprojection: destination pixels to source pixels.
    const auto preference = [](const char *key, double fallback) {
        return kpmg_GetNumberPreference(KXFR_REPROJ_PREFERENCE_CATEGORY, key, fallback, nullptr);
    };
    double error = args_.has("--tolerance") ? strtod(args_.value("--tolerance").c_str(), nullptr)
                                            : preference("rp_reprojtolerance", 0.1);
    const double tolerance = error;
    Chain srcToPixel(kxfr_XFormCreateFromMapInfo(srcInfo.get(), 1, &err));
    Chain dstToPixel(srcToPixel ? kxfr_XFormCreateFromMapInfo(dstInfo.get(), 1, &err) : nullptr);
    Chain toMapFull(dstToPixel ? kxfr_XFormCreateFromProjPairAndMapInfo(pair.get(), srcInfo.get(),
                                                                        dstInfo.get(), &err)
                               : nullptr);
    Chain transform(toMapFull
                        ? kxfr_XFormCreateReprojFromMapToMapFuncX(
                              mapToMap, toMapFull.get(), srcToPixel.get(), layers_[0].info.width,
                              layers_[0].info.height, dstToPixel.get(), KXFR_REPROJ_PIXEL_TO_PIXEL,
                              static_cast<long>(preference("rp_reprojskipx", 16)),
                              static_cast<long>(preference("rp_reprojskipy", 16)),
                              static_cast<long>(preference("rp_reprojmaxorder", 2)), &error, &err)
                        : nullptr);
    if (!transform) return fail("building the reprojection", err);
    if (error > tolerance && !args_.has("--quiet"))
        fprintf(stderr,
                "kraster %s: warning: the fit error %.4f pixels (root of the squared residuals "
                "summed over the sample grid) exceeds the tolerance %.4f\n",
                kName, error, tolerance);

    const std::string method = args_.value("--resampling", "nearest");
    const char *title = nullptr;
    for (const Method &m : kMethods)
        if (method == m.option) title = m.title;
    tool::Progress progress(destination_, args_);
    for (LayerPair &l : layers_) {
        const std::string name = destination_ + "(:" + l.node + ")";
        l.destination = kimg_LayerCreate(name.c_str(), l.info.layerType, l.info.pixelType, columns,
                                         rows, toolkit, &err, 0);
        created_ = created_ || l.destination;
        if (!l.destination) return fail("creating " + name, err);
        if (l.null && kimg_LayerRasterNullValueWrite(l.destination, l.null.get(), &err) != 0)
            return fail("writing the null value of " + name, err);
        double null = 0;
        if (l.null && kimg_LayerRasterNullValueGetS(l.source, &null, &err) != 0)
            return fail("reading the null value of " + l.node, err);
        Kirf_MethodSetup setup{l.info.pixelType, l.info.pixelType, l.null ? 1 : 0, null, 0, 0,
                               l.info.width,     l.info.height};
        // Class values are never mixed: thematic layers take the nearest pixel.
        const char *use = l.info.layerType == KIMG_LAYER_THEMATIC ? kMethods[0].title : title;
        l.resample = kirf_ResampleDataCreateXForm(readSource, l.source, use, transform.get(), 1,
                                                  &setup, &err);
        if (!l.resample) return fail("preparing the resampling of " + l.node, err);
        if (kimg_LayerMapInformationWrite(l.destination, dstInfo.get(), &err) != 0 ||
            kimg_LayerMapProjectionWrite(l.destination, to.get(), &err) != 0)
            return fail("writing the map information of " + name, err);
    }
    if (resample(progress, columns, rows) != tool::kOk) return tool::kFailed;
    for (LayerPair &l : layers_) {
        kirf_ResampleDataDestroy(l.resample, nullptr);
        l.resample = nullptr;
        const int rc = kimg_LayerClose(l.destination, &err);
        l.destination = nullptr;
        if (rc != 0) return fail("closing " + destination_ + "(:" + l.node + ")", err);
    }
    release();
    if (!args_.has("--quiet"))
        printf("%s: %ld x %ld pixels of %.9g x %.9g %s, fit error %.4f pixels\n",
               destination_.c_str(), columns, rows, sx, sy, tool::defaultMapUnits(to.get()), error);
    return tool::kOk;
}

int warpCommand(const std::vector<std::string> &argv) {
    const tool::Args a(argv, {"--to", "--resampling", "--pixel-size", "--tolerance"}, {});
    if (!a.ok()) return tool::usageError(kName, kUsageText, a.error());
    if (a.positional().size() != 2)
        return tool::usageError(kName, kUsageText, "a source and a destination are needed");
    if (a.value("--to").empty())
        return tool::usageError(kName, kUsageText, "--to SYSTEM is needed");
    const std::string method = a.value("--resampling", "nearest");
    if (std::none_of(std::begin(kMethods), std::end(kMethods),
                     [&](const Method &m) { return method == m.option; }))
        return tool::usageError(kName, kUsageText,
                                "--resampling must be nearest, bilinear or cubic");
    std::vector<double> size;
    if (a.has("--pixel-size") &&
        (!tool::parseNumbers(a.value("--pixel-size"), &size) || size.size() > 2 ||
         std::any_of(size.begin(), size.end(),
                     [](double v) { return !(v > 0) || !std::isfinite(v); })))
        return tool::usageError(kName, kUsageText,
                                "--pixel-size must be one or two positive sizes");
    std::vector<double> tolerance;
    if (a.has("--tolerance") && (!tool::parseNumbers(a.value("--tolerance"), &tolerance) ||
                                 tolerance.size() != 1 || !(tolerance[0] > 0)))
        return tool::usageError(kName, kUsageText,
                                "--tolerance must be a positive number of pixels");
    Warp w(a, a.positional()[0], a.positional()[1]);
    return w.run();
}

}  // namespace

tool::Registrar warpCommandReg(
    "warp", kUsageText,
    "resample an image into another map system; SYSTEM is \"NAME;key=value;...\" (e.g. "
    "\"UTM;zone=33;north;spheroid=WGS 84\", \"Geographic\"), EPSG:nnnn, WKT or a .prj file",
    warpCommand);
