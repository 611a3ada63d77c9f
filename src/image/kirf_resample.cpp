// Resampling methods: the "ResampleMethods" plug-ins (found along the class
// search list of services/kdll and loaded together on first use), the choice
// of a method by title, and block interpolation with splitting.
#include <kraster/kirf.h>
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>
#include <kraster/kthr.h>
#include <kraster/kxfr.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "services/kdll.hpp"

using kr::Report;
using kr::warn;

namespace {

constexpr const char *kLoadFn = "RMInstanceCreate";

// One loaded plug-in.
struct RMInstance {
    void *library = nullptr;
    std::string name, path;
    bool threadSafe = false;
    std::vector<std::string> titles, models, sources, destinations;
    std::vector<long> kernels, range;
    Kirf_ResampleDataCreateFunc create = nullptr;
    Kirf_ResampleDataDestroyFunc destroy = nullptr;
    Kirf_ResampleBlockInterpolateFunc interpolate = nullptr;
    Kirf_ResampleBlockCheckFunc check = nullptr;
    Kirf_ResamplePointsInterpolateFunc points = nullptr;
    ~RMInstance() {
        if (library) dlclose(library);
    }
};

struct Table {
    bool built = false;
    std::vector<std::unique_ptr<RMInstance>> list;
};
Table g_table;  // guarded by the thread-unsafe section
std::atomic<int64_t> g_sourceLimit{0};
constexpr int64_t kDefaultSourceLimit = int64_t(64) << 20;

class Section {
  public:
    explicit Section(bool enter = true) : held_(enter) {
        if (held_) kthr_ThreadUnsafeCodeEnter(0);
    }
    ~Section() {
        if (held_) kthr_ThreadUnsafeCodeExit();
    }

  private:
    bool held_;
};

template <class F>
F symbol(void *lib, const char *name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

// A per-title string list; false when the call failed or gave garbage.
bool stringList(void *lib, const char *entry, size_t titles, std::vector<std::string> &out) {
    auto f = symbol<Kirf_InstanceListGetFunc>(lib, entry);
    out.assign(titles, "");
    if (!f) return true;
    long count = 0;
    char **names = nullptr;
    if (f(&count, &names) < 0 || count <= 0 || !names) return false;
    if (static_cast<size_t>(count) != titles) return true;  // ignored, as for formats
    for (size_t i = 0; i < titles; ++i) out[i] = names[i] ? names[i] : "";
    return true;
}

bool flagList(void *lib, const char *entry, size_t titles, long fallback, std::vector<long> &out) {
    auto f = symbol<Kirf_InstanceFlagsGetFunc>(lib, entry);
    out.assign(titles, fallback);
    if (!f) return true;
    long count = 0;
    long *flags = nullptr;
    if (f(&count, &flags) < 0 || count <= 0 || !flags) return false;
    if (static_cast<size_t>(count) == titles) out.assign(flags, flags + count);
    return true;
}

// Loads and checks one plug-in; null (with a printed warning) when unusable.
std::unique_ptr<RMInstance> load(const kr::dll::Library &lib) {
    auto inst = std::make_unique<RMInstance>();
    inst->name = lib.name;
    inst->path = lib.path;
    inst->library = dlopen(lib.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char *n = lib.name.c_str();
    if (!inst->library) {
        warn(nullptr, kLoadFn, 1, "Conditional load of DLL %s failed", n);
        return nullptr;
    }
    void *h = inst->library;
    if (auto ts = symbol<Kirf_InstanceIsThreadsafeFunc>(h, "InstanceIsThreadsafe"))
        inst->threadSafe = ts() != 0;
    auto titles = symbol<Kirf_InstanceListGetFunc>(h, "InstanceTitleListGet");
    if (!titles) {
        warn(nullptr, kLoadFn, 2, "InstanceTitleListGet missing from %s:  DLL ignored", n);
        return nullptr;
    }
    long count = 0;
    char **names = nullptr;
    if (titles(&count, &names) < 0 || count <= 0 || !names) {
        warn(nullptr, kLoadFn, 3, "InstanceTitleListGet returning garbage from %s:  DLL ignored",
             n);
        return nullptr;
    }
    for (long i = 0; i < count; ++i) inst->titles.emplace_back(names[i] ? names[i] : "");
    size_t t = inst->titles.size();
    const struct {
        const char *entry;
        std::vector<std::string> *out;
    } lists[] = {{"InstanceGeometricModelsInstanceListsGet", &inst->models},
                 {"InstanceSrcDataTypesGet", &inst->sources},
                 {"InstanceDstDataTypesGet", &inst->destinations}};
    for (const auto &l : lists)
        if (!stringList(h, l.entry, t, *l.out)) {
            warn(nullptr, kLoadFn, 4, "%s returning garbage from %s:  DLL ignored", l.entry, n);
            return nullptr;
        }
    if (!flagList(h, "InstanceKernelSizeListGet", t, 2, inst->kernels)) {
        warn(nullptr, kLoadFn, 5,
             "InstanceKernelSizeListGet returning garbage from %s:  DLL ignored", n);
        return nullptr;
    }
    if (!flagList(h, "InstanceSourceRangeFlagsGet", t, 0, inst->range)) {
        warn(nullptr, kLoadFn, 6,
             "InstanceSourceRangeFlagsGet returning garbage from %s:  DLL ignored", n);
        return nullptr;
    }
    inst->create = symbol<Kirf_ResampleDataCreateFunc>(h, "ResampleDataCreate");
    inst->destroy = symbol<Kirf_ResampleDataDestroyFunc>(h, "ResampleDataDestroy");
    inst->interpolate = symbol<Kirf_ResampleBlockInterpolateFunc>(h, "ResampleBlockInterpolate");
    inst->check = symbol<Kirf_ResampleBlockCheckFunc>(h, "ResampleBlockCheck");
    inst->points = symbol<Kirf_ResamplePointsInterpolateFunc>(h, "ResamplePointsInterpolate");
    const struct {
        bool present;
        const char *name;
    } required[] = {{inst->create != nullptr, "ResampleDataCreate"},
                    {inst->destroy != nullptr, "ResampleDataDestroy"},
                    {inst->interpolate != nullptr, "ResampleBlockInterpolate"}};
    for (const auto &r : required)
        if (!r.present) {
            warn(nullptr, kLoadFn, 7, "%s missing from %s:  DLL ignored", r.name, n);
            return nullptr;
        }
    for (size_t i = 0; i < t; ++i)
        if (inst->kernels[i] == 0 && !inst->check) {
            warn(nullptr, kLoadFn, 8,
                 "Kernel size of '%s' cannot be zero w/o a supporting ResampleBlockCheck",
                 inst->titles[i].c_str());
            return nullptr;
        }
    return inst;
}

void build() {
    if (g_table.built) return;
    g_table.built = true;
    for (const kr::dll::Library &lib : kr::dll::classLibraries(KIRF_CLASS_NAME))
        if (auto inst = load(lib)) g_table.list.push_back(std::move(inst));
}

// The instance and title index of a method title (inside the section).
RMInstance *identify(const char *title, long *index, const char *fn, Report &e) {
    if (!title || !*title) {
        e.error(fn, 20, "Missing resample method name");
        return nullptr;
    }
    build();
    if (g_table.list.empty()) {
        e.error(fn, 21, "No resampling methods found");
        return nullptr;
    }
    for (auto &inst : g_table.list)
        for (size_t i = 0; i < inst->titles.size(); ++i)
            if (inst->titles[i] == title) {
                *index = static_cast<long>(i);
                return inst.get();
            }
    e.error(fn, 22, "%s:  Unknown Resample Method", title);
    return nullptr;
}

bool listHas(const std::string &commaList, const std::string &name) {
    if (commaList.empty()) return true;
    std::stringstream s(commaList);
    for (std::string item; std::getline(s, item, ',');)
        if (item == name) return true;
    return false;
}

const char *typeName(int32_t t) {
    return kmsc_AddressOf_kgda_PixelTypeName()[t];
}

}  // namespace

struct Kirf_ResampleData {
    RMInstance *instance = nullptr;
    long title = 0;
    void *data = nullptr;
    Kirf_SrcPixelRectsGetFunc srcGet = nullptr;
    void *client = nullptr;
    Kirf_Scale scale{};
    Kxfr_XForm *chain = nullptr;  // compacted copy; null: the scale maps
    std::vector<double> xy;       // positions of the block's pixels
    long layers = 0;
    int32_t srcType = 0, readType = 0, dstType = 0;
    double nullValue = 0;
    bool hasNull = false;
    int64_t srcColumns = 0, srcRows = 0;
    // Source pixels of the last block, reused by the next one: blocks of a
    // run are alike, and fresh zeroed memory per block costs as much as the
    // interpolation.
    std::vector<unsigned char> source;
    std::vector<Kgda_BaseData> sourceLayers;
    std::vector<Kgda_BaseData *> sourcePointers;
    ~Kirf_ResampleData() { kxfr_XFormFree(chain); }
};

KRASTER_API const char *kirf_ResampleMethodFromInterpolationType(int32_t type) {
    static const char *const names[] = {"Nearest Neighbor", "Bilinear Interpolation",
                                        "Cubic Convolution"};
    return type >= 0 && type < 3 ? names[type] : nullptr;
}

KRASTER_API int kirf_ResampleMethodExists(const char *title, Kerr_ErrorReport **err) {
    Report e(err);
    Section section;
    long index = 0;
    return identify(title, &index, "kirf_ResampleMethodExists", e) ? 1 : 0;
}

KRASTER_API void kirf_ResampleSourceLimitSet(int64_t bytes) {
    g_sourceLimit = bytes;
}

namespace {

// Both ways of making resample data: through a scale or a chain (exactly
// one of them given).
Kirf_ResampleData *dataCreate(Kirf_SrcPixelRectsGetFunc srcGet, void *clientData,
                              const char *resampleMethod, const Kirf_Scale *scale,
                              const Kxfr_XForm *chain, long srcLayerCount,
                              const Kirf_MethodSetup *setup, const char *fn, Report &e) {
    if (!srcGet) {
        e.error(fn, 1, "Missing srcPixelRectsGetFunc");
        return nullptr;
    }
    if (!resampleMethod || !*resampleMethod) {
        e.error(fn, 2, "Missing resampleMethod");
        return nullptr;
    }
    if (!scale && !chain) {
        e.error(fn, 3, "Missing xForm");
        return nullptr;
    }
    if (srcLayerCount <= 0) {
        e.error(fn, 4, "srcLayerCount must be positive");
        return nullptr;
    }
    if (!setup || setup->srcPixelType < 0 || setup->srcPixelType > KGDA_TYPE_C128 ||
        (scale && (!(scale->dx > 0) || !(scale->dy > 0) || !std::isfinite(scale->x0) ||
                   !std::isfinite(scale->y0)))) {
        e.error(fn, 5, "Args");
        return nullptr;
    }
    Section section;
    long index = 0;
    RMInstance *inst = identify(resampleMethod, &index, fn, e);
    if (!inst) return nullptr;
    size_t i = static_cast<size_t>(index);
    bool fits = scale ? listHas(inst->models[i], "Scale") : inst->points != nullptr;
    for (int32_t k = 0; chain && fits && k < kxfr_XFormStepCount(chain); ++k) {
        const char *title = nullptr;
        kxfr_XFormDataGet(chain, k, &title, nullptr);
        fits = title && listHas(inst->models[i], title);
    }
    if (!fits) {
        e.error(fn, 6, "Resample type %s is invalid for supplied xForm", resampleMethod);
        return nullptr;
    }
    auto d = std::make_unique<Kirf_ResampleData>();
    d->instance = inst;
    d->title = index;
    d->srcGet = srcGet;
    d->client = clientData;
    if (scale) d->scale = *scale;
    if (chain) {
        // Compacted once here rather than for every block.
        d->chain = kxfr_XFormCopy(chain, e.out());
        if (!d->chain ||
            (kxfr_XFormStepCount(d->chain) > 0 && kxfr_XFormCompact(d->chain, e.out()) != 0)) {
            e.error(fn, 11, "kxfr_XFormCompact failed");
            return nullptr;
        }
    }
    d->layers = srcLayerCount;
    d->srcType = d->readType = setup->srcPixelType;
    if (!listHas(inst->sources[i], typeName(d->srcType))) {
        // The first type the method reads that holds the source's values
        // best: the list's last entry (widest) unless an earlier one names f64.
        std::stringstream s(inst->sources[i]);
        std::string last;
        for (std::string item; std::getline(s, item, ',');) last = item;
        int32_t to = kpxm_StringToType(last.c_str(), nullptr);
        if (to < 0) {
            e.error(fn, 7, "Resample type %s is invalid for supplied xForm", resampleMethod);
            return nullptr;
        }
        warn(nullptr, fn, 8, "Possible data loss:   source (%s) converted to %s for resample",
             typeName(d->srcType), last.c_str());
        d->readType = to;
    }
    int32_t dst = setup->dstPixelType;
    if (dst < 0)
        dst = inst->destinations[i].empty()
                  ? d->readType
                  : kpxm_StringToType(inst->destinations[i].c_str(), nullptr);
    if (dst < 0 || dst > KGDA_TYPE_C128) {
        e.error(fn, 9, "Invalid destination pixel type");
        return nullptr;
    }
    d->dstType = dst;
    d->hasNull = setup->hasNull != 0;
    d->srcColumns = std::max<int64_t>(0, setup->srcColumns);
    d->srcRows = std::max<int64_t>(0, setup->srcRows);
    d->nullValue = setup->nullValue;
    Kirf_MethodSetup s = *setup;
    s.srcPixelType = d->readType;
    s.dstPixelType = dst;
    Kerr_ErrorReport *pe = nullptr;
    {
        Section plug(!inst->threadSafe);
        errno = 0;
        d->data = inst->create(index, &s, &pe);
    }
    if (!d->data) {
        e.wrap(pe, fn, 10, "ResampleDataCreate failed");
        return nullptr;
    }
    kerr_DeleteErrorReport(pe);
    return d.release();
}

}  // namespace

KRASTER_API Kirf_ResampleData *kirf_ResampleDataCreate(Kirf_SrcPixelRectsGetFunc srcGet,
                                                       void *clientData, const char *resampleMethod,
                                                       const Kirf_Scale *xForm, long srcLayerCount,
                                                       const Kirf_MethodSetup *setup,
                                                       Kerr_ErrorReport **err) {
    Report e(err);
    return dataCreate(srcGet, clientData, resampleMethod, xForm, nullptr, srcLayerCount, setup,
                      "kirf_ResampleDataCreate", e);
}

KRASTER_API Kirf_ResampleData *kirf_ResampleDataCreateXForm(
    Kirf_SrcPixelRectsGetFunc srcGet, void *clientData, const char *resampleMethod,
    const Kxfr_XForm *xForm, long srcLayerCount, const Kirf_MethodSetup *setup,
    Kerr_ErrorReport **err) {
    Report e(err);
    return dataCreate(srcGet, clientData, resampleMethod, nullptr, xForm, srcLayerCount, setup,
                      "kirf_ResampleDataCreateXForm", e);
}

KRASTER_API int32_t kirf_ResampleDataDstPixelType(const Kirf_ResampleData *data) {
    return data ? data->dstType : -1;
}

KRASTER_API void kirf_ResampleDataDestroy(Kirf_ResampleData *data, Kerr_ErrorReport **err) {
    Report e(err);
    if (!data) return;
    Kerr_ErrorReport *pe = nullptr;
    {
        Section plug(!data->instance->threadSafe);
        if (data->instance->destroy(data->data, &pe) < 0)
            e.wrap(pe, "kirf_ResampleDataDestroy", 1, "ResampleDataDestroy failed");
        else
            kerr_DeleteErrorReport(pe);
    }
    delete data;
}

namespace {

// The source rectangle a destination rectangle needs.
void sourceArea(const Kirf_ResampleData *d, long c, long r, long w, long h, long &sc, long &sr,
                long &sw, long &sh) {
    long k = d->instance->kernels[static_cast<size_t>(d->title)];
    long pad = (k + 1) / 2 + 1;
    const Kirf_Scale &s = d->scale;
    sc = static_cast<long>(std::floor(s.x0 + static_cast<double>(c) * s.dx)) - pad;
    sr = static_cast<long>(std::floor(s.y0 + static_cast<double>(r) * s.dy)) - pad;
    sw = static_cast<long>(std::ceil(s.x0 + static_cast<double>(c + w) * s.dx)) + pad - sc;
    sh = static_cast<long>(std::ceil(s.y0 + static_cast<double>(r + h) * s.dy)) + pad - sr;
    // Only what the source has.
    auto cut = [](long &start, long &size, int64_t limit) {
        if (limit <= 0) return;
        long end = std::min<long>(start + size, static_cast<long>(limit));
        start = std::max(start, 0L);
        size = std::max(end - start, 1L);
        start = std::min(start, static_cast<long>(limit) - 1);
    };
    cut(sc, sw, d->srcColumns);
    cut(sr, sh, d->srcRows);
}

// The stack of source rasters for a block of sw x sh source pixels, in the
// data's reused buffer; null when the memory cannot be had.
Kgda_BaseDataStack *sourceStack(Kirf_ResampleData *d, long sw, long sh, Kgda_BaseDataStack &held) {
    const long bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[d->readType];
    // Rows rounded up to 16 bytes keep every layer aligned for its type.
    const size_t layerBytes = (static_cast<size_t>(sw * sh * bytes) + 15) / 16 * 16;
    try {
        if (d->source.size() < layerBytes * d->layers) d->source.resize(layerBytes * d->layers);
        d->sourceLayers.resize(static_cast<size_t>(d->layers));
        d->sourcePointers.resize(static_cast<size_t>(d->layers));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    for (long i = 0; i < d->layers; ++i) {
        Kgda_BaseData &b = d->sourceLayers[static_cast<size_t>(i)];
        b = Kgda_BaseData{};
        b.derivedFlag = 1;
        if (!kgda_BaseDataReCreate(&b, static_cast<int32_t>(sh), static_cast<int32_t>(sw),
                                   d->readType, KGDA_RASTER_OBJECT,
                                   d->source.data() + layerBytes * static_cast<size_t>(i), nullptr))
            return nullptr;
        d->sourcePointers[static_cast<size_t>(i)] = &b;
    }
    held = Kgda_BaseDataStack{static_cast<int32_t>(d->layers), 1, d->sourcePointers.data(), 0};
    return &held;
}

// Through a chain: the source positions of the pixel centres of the
// destination rectangle into d->xy (the mapping's coordinates, where a
// pixel's centre is at +0.5), and the source rectangle they need. False
// with a report when the chain fails.
bool chainArea(Kirf_ResampleData *d, long c, long r, long w, long h, long &sc, long &sr, long &sw,
               long &sh, const char *fn, Report &e) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    d->xy.resize(2 * n);
    double *p = d->xy.data();
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x, p += 2) {
            p[0] = static_cast<double>(c + x);
            p[1] = static_cast<double>(r + y);
        }
    if (kxfr_CoordBlockTransform(d->chain, static_cast<int64_t>(n), d->xy.data(), e.out()) != 0) {
        e.error(fn, 25, "kxfr_CoordBlockTransform failed");
        return false;
    }
    // Positions far outside any raster are left to the method as no data.
    constexpr double kFar = 1e15;
    double x0 = kFar, y0 = kFar, x1 = -kFar, y1 = -kFar;
    for (size_t i = 0; i < n; ++i) {
        double &x = d->xy[2 * i], &y = d->xy[2 * i + 1];
        if (!(std::fabs(x) < kFar && std::fabs(y) < kFar)) {
            x = y = std::nan("");
            continue;
        }
        x += 0.5;
        y += 0.5;
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x);
        y1 = std::max(y1, y);
    }
    if (x0 > x1) x0 = x1 = y0 = y1 = 0;  // no position at all
    const long pad = (d->instance->kernels[static_cast<size_t>(d->title)] + 1) / 2 + 1;
    auto span = [&](double lo, double hi, int64_t limit, long &start, long &size) {
        // Only what the source has (a rectangle of at least one pixel).
        double a = std::floor(lo) - pad, b = std::ceil(hi) + pad;
        if (limit > 0) {
            a = std::clamp(a, 0.0, static_cast<double>(limit - 1));
            b = std::clamp(b, a + 1, static_cast<double>(limit));
        }
        start = static_cast<long>(a);
        size = static_cast<long>(std::min(b - a, 4e9));
    };
    span(x0, x1, d->srcColumns, sc, sw);
    span(y0, y1, d->srcRows, sr, sh);
    return true;
}

// (c0, r0): the destination position of the rasters' first element.
int interpolateBlock(Kirf_ResampleData *d, long c0, long r0, long c, long r, long w, long h,
                     Kgda_BaseDataStack *dst, bool &under, bool &over, const char *fn, Report &e) {
    long sc, sr, sw, sh;
    const Kirf_Scale &s = d->scale;
    if (d->chain) {
        if (!chainArea(d, c, r, w, h, sc, sr, sw, sh, fn, e)) return -1;
    } else if (d->instance->check) {
        Kerr_ErrorReport *pe = nullptr;
        Kirf_Scale local = s;
        local.x0 += static_cast<double>(c) * s.dx;
        local.y0 += static_cast<double>(r) * s.dy;
        if (d->instance->check(d->data, &local, w, h, &sc, &sr, &sw, &sh, &pe) < 0) {
            e.wrap(pe, fn, 20, "ResampleBlockCheck failed");
            return -1;
        }
        kerr_DeleteErrorReport(pe);
    } else {
        sourceArea(d, c, r, w, h, sc, sr, sw, sh);
    }
    int64_t limit = g_sourceLimit ? g_sourceLimit.load() : kDefaultSourceLimit;
    const double bytes = static_cast<double>(sw) * static_cast<double>(sh) *
                         kmsc_AddressOf_kgda_NumBytesPerPixel()[d->readType] *
                         static_cast<double>(d->layers);
    Kgda_BaseDataStack *src = nullptr;
    Kgda_BaseDataStack held{};
    if (bytes <= static_cast<double>(limit) && sw <= INT32_MAX && sh <= INT32_MAX &&
        sw * sh <= INT32_MAX)
        src = sourceStack(d, sw, sh, held);
    if (!src) {
        if (w <= 1 && h <= 1) {
            e.error(fn, 21, "No memory for source data read and further subdivision impossible");
            return -1;
        }
        // Halve along the longer side and do both parts.
        if (w >= h) {
            long half = w / 2;
            return interpolateBlock(d, c0, r0, c, r, half, h, dst, under, over, fn, e) == 0 &&
                           interpolateBlock(d, c0, r0, c + half, r, w - half, h, dst, under, over,
                                            fn, e) == 0
                       ? 0
                       : -1;
        }
        long half = h / 2;
        return interpolateBlock(d, c0, r0, c, r, w, half, dst, under, over, fn, e) == 0 &&
                       interpolateBlock(d, c0, r0, c, r + half, w, h - half, dst, under, over, fn,
                                        e) == 0
                   ? 0
                   : -1;
    }
    int rc = 0;
    if (d->srcGet(d->client, sc, sr, sw, sh, src, e.out()) != 0) {
        e.error(fn, 22, "srcPixelRectsGetFunc failed");
        rc = -1;
    }
    Kirf_Scale local = s;
    local.x0 += static_cast<double>(c) * s.dx;
    local.y0 += static_cast<double>(r) * s.dy;
    for (long i = 0; rc == 0 && i < d->layers; ++i) {
        Kgda_BaseData part{};
        part.derivedFlag = 1;
        if (!kgda_BaseDataReDerive(dst->layers[i], &part, static_cast<int32_t>(r - r0),
                                   static_cast<int32_t>(c - c0), static_cast<int32_t>(h),
                                   static_cast<int32_t>(w), e.out())) {
            e.error(fn, 23, "Destination rectangle outside the destination raster");
            rc = -1;
            break;
        }
        int32_t u = 0, o = 0;
        Kerr_ErrorReport *pe = nullptr;
        long result;
        {
            Section plug(!d->instance->threadSafe);
            errno = 0;
            result = d->chain ? d->instance->points(d->data, src->layers[i], sc, sr, d->xy.data(),
                                                    &part, &u, &o, &pe)
                              : d->instance->interpolate(d->data, src->layers[i], sc, sr, &local,
                                                         &part, &u, &o, &pe);
        }
        if (result < 0) {
            e.wrap(pe, fn, 24, "ResampleBlockInterpolate failed");
            rc = -1;
        } else {
            kerr_DeleteErrorReport(pe);
        }
        under = under || u;
        over = over || o;
    }
    return rc;
}

}  // namespace

KRASTER_API int kirf_ResampleBlockInterpolate(Kirf_ResampleData *data, const double *rect,
                                              Kgda_BaseDataStack *dst, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kirf_ResampleBlockInterpolate";
    Report e(err);
    if (!data || !rect || !dst) {
        e.error(fn, 1, "Args");
        return -1;
    }
    for (int k = 0; k < 4; ++k)
        if (!std::isfinite(rect[k]) || rect[k] != std::floor(rect[k]) || std::fabs(rect[k]) > 1e9) {
            e.error(fn, 2, "inDstRectangle does not have integral coordinates");
            return -1;
        }
    long c = static_cast<long>(rect[0]), r = static_cast<long>(rect[1]);
    long w = static_cast<long>(rect[2]), h = static_cast<long>(rect[3]);
    if (w <= 0 || h <= 0 || dst->numberOfLayers != data->layers) {
        e.error(fn, 3, "Args");
        return -1;
    }
    for (long i = 0; i < data->layers; ++i)
        if (!dst->layers[i] || dst->layers[i]->datatype != data->dstType) {
            e.error(fn, 4, "Destination raster %ld is not of type %s", i, typeName(data->dstType));
            return -1;
        }
    bool under = false, over = false;
    try {
        if (interpolateBlock(data, c, r, c, r, w, h, dst, under, over, fn, e) != 0) return -1;
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "No memory");
        return -1;
    }
    if (under || over)
        warn(nullptr, fn, 6, "%s%s%s resampling data block; results may be incorrect",
             under ? "Underflow" : "", under && over ? " and " : "", over ? "Overflow" : "");
    return 0;
}
