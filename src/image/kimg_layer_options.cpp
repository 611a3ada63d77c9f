// Layer options: the table of option numbers with their values, the first
// pass of create and open, and the settings of an open layer.
#include <kraster/kfio.h>
#include <kraster/kirf.h>
#include <kraster/kpxm.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "image/kimg_layer.hpp"
#include "image/ksta_internal.hpp"

namespace kr::img {
namespace {

// Where an option applies.
enum Scope { Any, CreateOnly, OpenOnly, Obsolete, NotYet, NoLonger };

struct OptionSpec {
    int number;
    const char *name;
    const char *values;  // one letter per value: l long, p pointer, d double
    Scope scope;
};

constexpr OptionSpec kOptions[] = {
    {1, "KIMG_LAYER_OPTION_COMPRESSION_TYPE", "l", CreateOnly},
    {2, "KIMG_LAYER_OPTION_BLOCK_SIZE", "ll", CreateOnly},
    {3, "KIMG_LAYER_OPTION_READONLY", "", OpenOnly},
    {4, "KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX", "l", Any},
    {5, "KIMG_LAYER_OPTION_WINDOW", "p", Any},
    {6, "KIMG_LAYER_OPTION_RESAMPLE_METHOD", "p", Any},
    {7, "KIMG_LAYER_OPTION_NO_DMS", "", Obsolete},
    {8, "KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN", "p", Any},
    {9, "KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_CREATE", "plp", Any},
    {10, "KIMG_LAYER_OPTION_POLYTRANS", "ppp", Any},
    {11, "KIMG_LAYER_OPTION_NO_RESCALE", "", NoLonger},
    {12, "KIMG_LAYER_OPTION_NO_CONVOLUTION", "", NoLonger},
    {13, "KIMG_LAYER_OPTION_RESCALE", "p", Any},
    {14, "KIMG_LAYER_OPTION_METER", "p", Any},
    {15, "KIMG_LAYER_OPTION_AOI", "p", Any},
    {16, "KIMG_LAYER_OPTION_NO_AOI", "", Any},
    {17, "KIMG_LAYER_OPTION_BIN_FUNCTION", "p", Any},
    {18, "KIMG_LAYER_OPTION_NO_WINDOW", "", Any},
    {19, "KIMG_LAYER_OPTION_KHFA_NODE_TYPE", "l", CreateOnly},
    {20, "KIMG_LAYER_OPTION_CONVOLUTION", "p", Any},
    {21, "KIMG_LAYER_OPTION_EXCLUDE_ZERO", "", Any},
    {22, "KIMG_LAYER_OPTION_EXCLUDED_VALUES", "p", Any},
    {23, "KIMG_LAYER_OPTION_NULL_VALUE", "p", Any},
    {24, "KIMG_LAYER_OPTION_NO_EXCLUDED_VALUES", "", Any},
    {25, "KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE", "", Any},
    {26, "KIMG_LAYER_OPTION_DATA_ORDER", "p", CreateOnly},
    {27, "KIMG_LAYER_OPTION_FILE_TITLE", "p", CreateOnly},
    {28, "KIMG_LAYER_OPTION_RESERVED_28", "l", NoLonger},
    {29, "KIMG_LAYER_OPTION_RESERVED_29", "", NoLonger},
    {30, "KIMG_LAYER_OPTION_RESERVED_30", "", NoLonger},
    {31, "KIMG_LAYER_OPTION_RESERVED_31", "", NoLonger},
    {32, "KIMG_LAYER_OPTION_RESERVED_32", "", NoLonger},
    {33, "KIMG_LAYER_OPTION_GEOMETRIC_TRANS", "p", Any},
    {34, "KIMG_LAYER_OPTION_SKIP_FACTORS", "ll", Any},
    {35, "KIMG_LAYER_OPTION_RESERVED_35", "", NoLonger},
    {36, "KIMG_LAYER_OPTION_RESERVED_36", "", NoLonger},
    {37, "KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME", "p", CreateOnly},
    {38, "KIMG_LAYER_OPTION_RAW_MODE", "l", Any},
    {39, "KIMG_LAYER_OPTION_SUPPORT_FILE_EXTENSION", "p", Any},
    {40, "KIMG_LAYER_OPTION_UNDO_LEVELS", "l", Any},
    {41, "KIMG_LAYER_OPTION_RESERVED_41", "", NoLonger},
    {42, "KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT", "l", OpenOnly},
    {43, "KIMG_LAYER_OPTION_WRITE_THROUGH", "l", Any},
    {64, "KIMG_LAYER_OPTION_CACHE_BYTES", "l", Any},
    {128, "KIMG_LAYER_OPTION_RESERVED_128", "l", NoLonger},
    {256, "KIMG_LAYER_OPTION_RESERVED_256", "l", NoLonger},
    {512, "KIMG_LAYER_OPTION_RESERVED_512", "l", NoLonger},
    {1024, "KIMG_LAYER_OPTION_RESERVED_1024", "l", NoLonger},
    {2048, "KIMG_LAYER_OPTION_RESERVED_2048", "l", NoLonger},
    {4096, "KIMG_LAYER_OPTION_RRD_COMPUTE_ON_CLOSE", "l", Any},
    {4097, "KIMG_LAYER_OPTION_RRD_KERNEL", "p", Any},
    {4098, "KIMG_LAYER_OPTION_RRD_EXTERNAL", "l", Any},
    {4099, "KIMG_LAYER_OPTION_RRD_PIXEL_SIZE", "dd", Any},
    {4100, "KIMG_LAYER_OPTION_RESERVED_4100", "lll", NoLonger},
};

const OptionSpec *find(intptr_t number) {
    for (const OptionSpec &o : kOptions)
        if (o.number == number) return &o;
    return nullptr;
}

constexpr const char *kInternalFn = "kimg_LayerOptionsChangeInternal";

// Messages for options given to the operation they do not fit.
void misplaced(const OptionSpec &o, bool creating, const char *fn) {
    switch (o.number) {
        case KIMG_LAYER_OPTION_READONLY:
            warn(nullptr, fn, 20,
                 "KIMG_LAYER_OPTION_READONLY is currently\nonly a valid option for existing "
                 "layers:  "
                 "ignored");
            return;
        case KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT:
            warn(nullptr, fn, 21,
                 "KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT is currently\nonly a valid option for "
                 "layer "
                 "opening:  ignored");
            return;
        case KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME:
            warn(nullptr, fn, 22,
                 "KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME is notcurrently\na valid option for "
                 "existing layers:  ignored");
            return;
        default:
            (void)creating;
            warn(nullptr, fn, 23,
                 "%s is not currently\na valid option for existing layers:  ignored", o.name);
    }
}

double wordDouble(intptr_t w) {
    double d;
    int64_t bits = static_cast<int64_t>(w);
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Walks an option list: calls f(spec, values) for each known option; an
// unknown number is reported and ends the walk.
template <class F>
void walk(const intptr_t *options, const char *fn, bool reportUnknown, F f) {
    for (const intptr_t *o = options; o && *o;) {
        const OptionSpec *spec = find(*o);
        if (!spec) {
            if (reportUnknown)
                warn(nullptr, fn, 30, "Invalid option specified (%d): ignored",
                     static_cast<int>(*o));
            return;
        }
        if (!f(*spec, o + 1)) return;
        o += 1 + std::strlen(spec->values);
    }
}

// Replaces what a layer keeps with a copy of the option's value (none for
// a null pointer); false when the copy cannot be made (its report given).
template <class T, class Free, class Copy>
bool replaceWithCopy(T *&kept, intptr_t word, Free release, Copy copy) {
    const auto *given = reinterpret_cast<const T *>(word);
    T *made = given ? copy(given) : nullptr;
    if (given && !made) return false;
    release(kept);
    kept = made;
    return true;
}

template <class T>
bool replaceWithCopy(T *&kept, intptr_t word, void (*release)(T *, Kerr_ErrorReport **),
                     auto copy) {
    return replaceWithCopy(
        kept, word, [&](T *p) { release(p, nullptr); }, copy);
}

}  // namespace

long listIndex(const std::vector<std::string> &list, const std::string &name) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == name) return static_cast<long>(i);
    return -1;
}

std::vector<intptr_t> layerOptionWords(va_list args) {
    std::vector<intptr_t> words;
    for (;;) {
        int code = va_arg(args, int);
        words.push_back(code);
        if (code == 0) break;
        const OptionSpec *spec = find(code);
        if (!spec) {
            words.push_back(0);  // the walk stops at the unknown number
            break;
        }
        for (const char *v = spec->values; *v; ++v) {
            if (*v == 'l') {
                words.push_back(static_cast<intptr_t>(va_arg(args, long)));
            } else if (*v == 'p') {
                words.push_back(reinterpret_cast<intptr_t>(va_arg(args, void *)));
            } else {
                double d = va_arg(args, double);
                int64_t bits;
                std::memcpy(&bits, &d, sizeof bits);
                words.push_back(static_cast<intptr_t>(bits));
            }
        }
    }
    return words;
}

bool layerOptionsPreprocess(const intptr_t *options, bool creating, LayerOptions &out,
                            const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    walk(options, fn, true, [&](const OptionSpec &o, const intptr_t *v) {
        if (o.scope == CreateOnly && !creating) return misplaced(o, false, fn), true;
        if (o.scope == OpenOnly && creating) return misplaced(o, true, fn), true;
        switch (o.number) {
            case KIMG_LAYER_OPTION_COMPRESSION_TYPE:
                warn(nullptr, fn, 24,
                     "KIMG_LAYER_OPTION_COMPRESSION_TYPE is obsolete;\nuse "
                     "KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME");
                out.compressionIndex = static_cast<long>(v[0]);
                out.compressionName.clear();
                break;
            case KIMG_LAYER_OPTION_BLOCK_SIZE: {
                long w = static_cast<long>(v[0]), h = static_cast<long>(v[1]);
                if (w <= 0) warn(nullptr, fn, 25, "Non-positive block width %ld:  ignored", w);
                if (h <= 0) warn(nullptr, fn, 26, "Non-positive block height %ld:  ignored", h);
                if (w > 0) out.blockWidth = w;
                if (h > 0) out.blockHeight = h;
                out.hasBlockSize = w > 0 || h > 0;
                break;
            }
            case KIMG_LAYER_OPTION_READONLY:
                out.readOnly = true;
                break;
            case KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT:
                out.errorIfNonexistent = v[0] != 0;
                break;
            case KIMG_LAYER_OPTION_KHFA_NODE_TYPE:
                break;  // obsolete: the format decides how a layer is stored
            case KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME:
                out.compressionName = v[0] ? reinterpret_cast<const char *>(v[0]) : "";
                out.compressionIndex = -1;
                break;
            case KIMG_LAYER_OPTION_DATA_ORDER:
                out.dataOrder = v[0] ? reinterpret_cast<const char *>(v[0]) : "";
                break;
            case KIMG_LAYER_OPTION_FILE_TITLE:
                out.fileTitle = v[0] ? reinterpret_cast<const char *>(v[0]) : "";
                break;
            default:
                break;
        }
        return true;
    });
    return !e.failed();
}

bool layerOptionsApply(Kimg_Layer *layer, const intptr_t *options, OptionPass pass, const char *fn,
                       Kerr_ErrorReport **err) {
    Report e(err);
    bool cacheChanged = false;
    walk(options, fn, pass == OptionPass::Change, [&](const OptionSpec &o, const intptr_t *v) {
        switch (o.scope) {
            case CreateOnly:
                if (pass == OptionPass::Change) misplaced(o, false, fn);
                return true;
            case OpenOnly:
                if (pass != OptionPass::Change) return true;
                if (o.number == KIMG_LAYER_OPTION_READONLY) break;
                misplaced(o, true, fn);
                return true;
            case Obsolete:
                warn(nullptr, fn, 27, "%s is obsolete:  ignored", o.name);
                return true;
            case NotYet:
                warn(nullptr, kInternalFn, 1, "Option %d not yet supported through %s", o.number,
                     kInternalFn);
                return true;
            case NoLonger:
                warn(nullptr, kInternalFn, 2, "Option %d no longer supported through %s", o.number,
                     kInternalFn);
                return true;
            case Any:
                break;
        }
        switch (o.number) {
            case KIMG_LAYER_OPTION_READONLY:
                if (!layer->readOnly) {
                    if (kdms_CacheFlush(layer->cache, KDMS_FLUSH_WRITE, -1, e.out()) != 0) {
                        e.error(fn, 40, "kdms_CacheFlush failed");
                        return false;
                    }
                    layer->readOnly = true;
                    cacheChanged = true;
                }
                break;
            case KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX:
                layer->cachedBlocksMax = static_cast<long>(v[0]) < 0 ? -1 : static_cast<long>(v[0]);
                cacheChanged = true;
                break;
            case KIMG_LAYER_OPTION_CACHE_BYTES: {
                long bytes = static_cast<long>(v[0]);
                layer->cachedBlocksMax = std::max(1L, bytes / std::max(1L, layer->blockBytes));
                cacheChanged = true;
                break;
            }
            case KIMG_LAYER_OPTION_WINDOW:
            case KIMG_LAYER_OPTION_NO_WINDOW: {
                const auto *w = o.number == KIMG_LAYER_OPTION_WINDOW
                                    ? reinterpret_cast<const Kgda_Window *>(v[0])
                                    : nullptr;
                if (!w) {
                    layer->hasWindow = false;
                    break;
                }
                const int32_t *x = w->values;
                if (x[0] < 0 || x[1] < 0 || x[2] < x[0] || x[3] < x[1] || x[2] >= layer->width ||
                    x[3] >= layer->height) {
                    e.error(fn, 41, "Window (%d, %d, %d, %d) outside layer of %ld x %ld", x[0],
                            x[1], x[2], x[3], layer->width, layer->height);
                    return false;
                }
                layer->window = *w;
                layer->hasWindow = true;
                break;
            }
            case KIMG_LAYER_OPTION_RESAMPLE_METHOD:
                layer->resampleMethod = v[0] ? reinterpret_cast<const char *>(v[0]) : "";
                break;
            case KIMG_LAYER_OPTION_GEOMETRIC_TRANS:
                if (!replaceWithCopy(layer->xform, v[0], kxfr_XFormFree, [&](const Kxfr_XForm *x) {
                        return kxfr_XFormCopy(x, e.out());
                    })) {
                    e.error(fn, 52, "kxfr_XFormCopy failed");
                    return false;
                }
                break;
            case KIMG_LAYER_OPTION_POLYTRANS: {
                warn(nullptr, fn, 28,
                     "KIMG_LAYER_OPTION_POLYTRANS is obsolete;\nuse "
                     "KIMG_LAYER_OPTION_GEOMETRIC_TRANS");
                const auto *forward = reinterpret_cast<const Kfga_Polynomial *>(v[0]);
                const auto *inverse = reinterpret_cast<const Kfga_Polynomial *>(v[1]);
                Kxfr_XForm *x = nullptr;
                if (forward && !(x = kxfr_XFormCreateFromPolyPair(forward, inverse, e.out()))) {
                    e.error(fn, 53, "kxfr_XFormCreateFromPolyPair failed");
                    return false;
                }
                kxfr_XFormFree(layer->xform);
                layer->xform = x;
                if (v[2]) layer->resampleMethod = reinterpret_cast<const char *>(v[2]);
                break;
            }
            case KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN:
            case KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_CREATE: {
                // The layer keeps one table, closed with it.
                const char *name = reinterpret_cast<const char *>(v[0]);
                if (layer->table && kdsc_TableClose(layer->table, e.out()) != 0) {
                    layer->table = nullptr;
                    e.error(fn, 50, "kdsc_TableClose failed");
                    return false;
                }
                layer->table =
                    o.number == KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN
                        ? kimg_TableOpen(layer, name, e.out())
                        : kimg_TableCreate(
                              layer, name,
                              static_cast<int32_t>(std::clamp<intptr_t>(v[1], -1, INT32_MAX)),
                              reinterpret_cast<const Kdsc_BinFunction *>(v[2]), e.out());
                if (!layer->table) {
                    e.error(fn, 51,
                            o.number == KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN
                                ? "kimg_TableOpen failed"
                                : "kimg_TableCreate failed");
                    return false;
                }
                break;
            }
            case KIMG_LAYER_OPTION_BIN_FUNCTION:
                if (!replaceWithCopy(layer->binFunction, v[0], kdsc_BinFunctionDelete,
                                     [&](const Kdsc_BinFunction *b) {
                                         return kdsc_BinFunctionCopy(b, e.out());
                                     }))
                    return false;
                break;
            case KIMG_LAYER_OPTION_RESCALE:
                if (!replaceWithCopy(layer->rescale, v[0], kimg_RescaleInfoDelete,
                                     [&](const Kimg_RescaleInfo *r) {
                                         return kimg_RescaleInfoCreate(r->type, r->a, r->b,
                                                                       e.out());
                                     }))
                    return false;
                break;
            case KIMG_LAYER_OPTION_CONVOLUTION:
                if (!replaceWithCopy(layer->convolve, v[0], kimg_ConvolveInfoDelete,
                                     [&](const Kimg_ConvolveInfo *c) {
                                         return kimg_ConvolveInfoCreate(c->width, c->height,
                                                                        c->weights, e.out());
                                     }))
                    return false;
                break;
            case KIMG_LAYER_OPTION_METER:
                layer->hasMeter = v[0] != 0;
                if (v[0]) layer->meter = *reinterpret_cast<const Kimg_Meter *>(v[0]);
                break;
            case KIMG_LAYER_OPTION_EXCLUDE_ZERO:
            case KIMG_LAYER_OPTION_EXCLUDED_VALUES:
            case KIMG_LAYER_OPTION_NO_EXCLUDED_VALUES: {
                std::vector<double> values = layer->excluded;
                if (o.number == KIMG_LAYER_OPTION_EXCLUDE_ZERO) values.push_back(0.0);
                if (o.number == KIMG_LAYER_OPTION_NO_EXCLUDED_VALUES) values.clear();
                if (o.number == KIMG_LAYER_OPTION_EXCLUDED_VALUES) {
                    values.clear();
                    const auto *b = reinterpret_cast<const Kgda_BaseData *>(v[0]);
                    if (b && b->datatype == KGDA_STRING_TYPE_CODE) {
                        e.error(fn, 42, "Excluded values must be numeric");
                        return false;
                    }
                    if (b && b->numelements > 0) {
                        Kgda_BaseData *d =
                            kgda_BaseDataCreate(b->numrows, b->numcolumns, KGDA_TYPE_F64,
                                                b->objecttype, nullptr, e.out());
                        if (!d || !kgda_BaseDataCopy(b, d, e.out())) {
                            kgda_BaseDataDelete(d, nullptr);
                            e.error(fn, 43, "kgda_BaseDataCopy failed");
                            return false;
                        }
                        const auto *p = reinterpret_cast<const double *>(d->windowStart);
                        values.assign(p, p + d->numelements);
                        kgda_BaseDataDelete(d, nullptr);
                    }
                }
                std::sort(values.begin(), values.end());
                values.erase(std::unique(values.begin(), values.end()), values.end());
                constexpr long kMaxExcluded = 4096;
                if (static_cast<long>(values.size()) > kMaxExcluded) {
                    e.error(fn, 44, "More than %ld unique excluded values not currently supported",
                            kMaxExcluded);
                    return false;
                }
                layer->excluded = std::move(values);
                break;
            }
            case KIMG_LAYER_OPTION_NULL_VALUE: {
                const auto *b = reinterpret_cast<const Kgda_BaseData *>(v[0]);
                if (!b || b->numelements < 1 || b->datatype == KGDA_STRING_TYPE_CODE) {
                    e.error(fn, 45, "Invalid null value");
                    return false;
                }
                if (kpxm_ConvertPixels(layer->nullValue->data, layer->pixelType, b->windowStart,
                                       b->datatype, 1, e.out()) != 1) {
                    e.error(fn, 46, "kpxm_ConvertPixels failed");
                    return false;
                }
                layer->nullSet = true;
                break;
            }
            case KIMG_LAYER_OPTION_AOI:
            case KIMG_LAYER_OPTION_NO_AOI:
                if (!kr::sta::layerAoiSet(layer,
                                          o.number == KIMG_LAYER_OPTION_AOI
                                              ? reinterpret_cast<const Kgda_BaseData *>(v[0])
                                              : nullptr,
                                          fn, e))
                    return false;
                break;
            case KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE:
                layer->statsOnClose = false;
                break;
            case KIMG_LAYER_OPTION_SKIP_FACTORS: {
                long x = static_cast<long>(v[0]), y = static_cast<long>(v[1]);
                if (x < 1) {
                    warn(nullptr, fn, 29, "Invalid x skip factor; skip factors ignored");
                } else if (y < 1) {
                    warn(nullptr, fn, 31, "Invalid y skip factor; skip factors ignored");
                } else {
                    layer->skipX = x;
                    layer->skipY = y;
                    layer->skipExplicit = true;
                }
                break;
            }
            case KIMG_LAYER_OPTION_RAW_MODE:
                if (v[0] && !layer->instance->fn.LayerRasterReadMIF) {
                    e.error(fn, 47, "File does not support raw mode");
                    return false;
                }
                layer->rawMode = v[0] != 0;
                break;
            case KIMG_LAYER_OPTION_SUPPORT_FILE_EXTENSION: {
                const char *x = reinterpret_cast<const char *>(v[0]);
                if (!x || !*x) {
                    e.error(fn, 48, "Invalid support file extension");
                    return false;
                }
                layer->supportExtension = x;
                break;
            }
            case KIMG_LAYER_OPTION_UNDO_LEVELS:
                if (!layerUndoLevelsSet(layer, static_cast<long>(v[0]), fn, e.out())) return false;
                break;
            case KIMG_LAYER_OPTION_WRITE_THROUGH:
                layer->writeThrough = v[0] != 0;
                break;
            case KIMG_LAYER_OPTION_RRD_COMPUTE_ON_CLOSE:
                layer->rrdComputeOnClose = v[0] != 0;
                break;
            case KIMG_LAYER_OPTION_RRD_KERNEL: {
                const char *k = reinterpret_cast<const char *>(v[0]);
                // A kernel name, or the title of a resampling method.
                if (!k ||
                    (std::strcmp(k, "2X2") != 0 && std::strcmp(k, "4X4") != 0 &&
                     std::strcmp(k, "NEAREST") != 0 && !kirf_ResampleMethodExists(k, nullptr))) {
                    e.error(fn, 49, "Invalid pyramid kernel %s", k ? k : "(null)");
                    return false;
                }
                layer->rrdKernel = k;
                break;
            }
            case KIMG_LAYER_OPTION_RRD_EXTERNAL:
                layer->rrdExternal = v[0] != 0;
                break;
            case KIMG_LAYER_OPTION_RRD_PIXEL_SIZE:
                layer->rrdPixelX = wordDouble(v[0]);
                layer->rrdPixelY = wordDouble(v[1]);
                break;
            default:
                break;
        }
        return true;
    });
    if (!e.failed() && cacheChanged && pass == OptionPass::Change)
        layerCacheBuild(layer, fn, e.out());
    return !e.failed();
}

}  // namespace kr::img
