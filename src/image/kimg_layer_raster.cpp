// Raster access of layers: pixel rectangles block by block through the
// cache with pixel conversion, reads and writes through the window,
// read-ahead hints, flushing, transactions, null values and layer stacks.
#include <kraster/kfnp.h>
#include <kraster/kirf.h>
#include <kraster/kmsc.h>
#include <kraster/kpxm.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "image/kimg_layer.hpp"

using kr::Report;
using kr::warn;

namespace kr::img {
namespace {

// A rectangle clipped to the layer: layer columns [c0, c1), rows [r0, r1),
// starting at (rc, rr) of the pixel rectangle.
struct Span {
    long c0, r0, c1, r1, rc, rr;
};

// An area of the layer, columns [x0, x1) and rows [y0, y1).
struct Bounds {
    long x0, y0, x1, y1;
};

Bounds whole(const Kimg_Layer *l) {
    return {0, 0, l->width, l->height};
}

// Clips columns x rows at (column, row) to the bounds; false when empty.
bool clip(const Bounds &b, long column, long row, long columns, long rows, Span &s) {
    s.c0 = std::max(column, b.x0);
    s.r0 = std::max(row, b.y0);
    s.c1 = std::min(column + columns, b.x1);
    s.r1 = std::min(row + rows, b.y1);
    s.rc = s.c0 - column;
    s.rr = s.r0 - row;
    return s.c0 < s.c1 && s.r0 < s.r1;
}

bool rectUsable(const Kgda_BaseData *rect, const char *fn, Report &e) {
    if (rect->datatype < 0 || rect->datatype > KGDA_TYPE_C128) {
        e.error(fn, 60, "Invalid pixelRect datatype %d", rect->datatype);
        return false;
    }
    if (rect->objecttype == KGDA_MATRIX_OBJECT) {
        e.error(fn, 61, "PixelRect must not be a matrix");
        return false;
    }
    if (rect->numelements > 0 && !rect->windowStart) {
        e.error(fn, 62, "PixelRect has no data");
        return false;
    }
    return true;
}

// Calls f(index, blockColumnOrigin, blockRowOrigin, x0, y0, x1, y1) for each
// block the span touches, with the part of the span inside that block.
template <class F>
bool forBlocks(const Kimg_Layer *l, const Span &s, F f) {
    for (long br = s.r0 / l->blockHeight; br <= (s.r1 - 1) / l->blockHeight; ++br) {
        long by = br * l->blockHeight;
        long y0 = std::max(s.r0, by), y1 = std::min(s.r1, by + l->blockHeight);
        for (long bc = s.c0 / l->blockWidth; bc <= (s.c1 - 1) / l->blockWidth; ++bc) {
            long bx = bc * l->blockWidth;
            long x0 = std::max(s.c0, bx), x1 = std::min(s.c1, bx + l->blockWidth);
            if (!f(br * l->blocksAcross + bc, bx, by, x0, y0, x1, y1)) return false;
        }
    }
    return true;
}

// A buffer of at least bytes for a strip of blocks, kept by the layer.
unsigned char *stripScratch(Kimg_Layer *l, long bytes) {
    const size_t words = (static_cast<size_t>(bytes) + 15) / 16;
    if (l->rowScratch.size() < words) l->rowScratch.assign(words, {});
    return reinterpret_cast<unsigned char *>(l->rowScratch.data());
}

unsigned char *scratch(Kimg_Layer *l) {
    size_t words = (static_cast<size_t>(l->blockBytes) + 15) / 16;
    if (l->scratch.size() < words) l->scratch.assign(words, {});
    return reinterpret_cast<unsigned char *>(l->scratch.data());
}

// One block as the format stores it (raw mode), cut or padded to the
// block's size in memory.
unsigned char *rawBlock(Kimg_Layer *l, long index, const char *fn, Report &e) {
    unsigned char *data = nullptr;
    long size = 0;
    Kerr_ErrorReport *pe = nullptr;
    long r = call(*l->instance, l->instance->fn.LayerRasterReadMIF, nullptr, l->handle,
                  index / l->blocksAcross, index % l->blocksAcross, &data, &size, &pe);
    if (r < 0) {
        kmsc_HeapFree(data);
        e.wrap(pe, fn, 63, "LayerRasterReadMIF failed");
        return nullptr;
    }
    kerr_DeleteErrorReport(pe);
    unsigned char *b = scratch(l);
    size_t n = data ? static_cast<size_t>(std::clamp(size, 0L, l->blockBytes)) : 0;
    if (n) std::memcpy(b, data, n);
    std::memset(b + n, 0, static_cast<size_t>(l->blockBytes) - n);
    kmsc_HeapFree(data);
    return b;
}

// The block's data for reading: the cache slot itself when the cache has
// slots, else a copy in the scratch buffer. A block the read covers whole
// and the cache does not hold comes straight from the plug-in into the
// scratch buffer: nothing else will want it soon, and without a stash the
// source holds its current state.
const unsigned char *blockForRead(Kimg_Layer *l, long index, bool whole, const char *fn,
                                  Report &e) {
    if (l->rawMode) return rawBlock(l, index, fn, e);
    if (whole && l->undoLevels == 0 && !kdms_CacheIndexPresent(l->cache, index)) {
        unsigned char *b = scratch(l);
        Kerr_ErrorReport *pe = nullptr;
        if (kr::img::blockReadDirect(l, index, b, &pe) != 0) {
            e.wrap(pe, fn, 65, "LayerRasterRead failed");
            return nullptr;
        }
        kerr_DeleteErrorReport(pe);
        return b;
    }
    void *p = l->slots > 0 ? nullptr : scratch(l);
    if (kdms_CacheRead(l->cache, index, &p, e.out()) != 0) {
        e.error(fn, 64, "kdms_CacheRead failed");
        return nullptr;
    }
    return static_cast<const unsigned char *>(p);
}

// Reads a whole block into memory of the caller when nothing newer is
// held: the cache does not hold it and no stash keeps superseded states.
bool blockReadInto(Kimg_Layer *l, long index, unsigned char *dst, const char *fn, Report &e) {
    if (l->rawMode || l->undoLevels != 0 || kdms_CacheIndexPresent(l->cache, index)) {
        const unsigned char *block = blockForRead(l, index, true, fn, e);
        if (block) std::memcpy(dst, block, static_cast<size_t>(l->blockBytes));
        return block != nullptr;
    }
    Kerr_ErrorReport *pe = nullptr;
    if (kr::img::blockReadDirect(l, index, dst, &pe) != 0) {
        e.wrap(pe, fn, 65, "LayerRasterRead failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    return true;
}

// Whether whole blocks may go from the plug-in straight into a rectangle of
// their own type: it offers LayerRasterReadPart, and nothing newer than
// the source can exist outside the cache (no raw mode, no stash).
bool partReads(const Kimg_Layer *l) {
    return l->instance->fn.LayerRasterReadPart && !l->rawMode && l->undoLevels == 0;
}

// Columns x rows pixels from row y of block (blockRow, blockColumn) on,
// continuing into the blocks to its right, into dst, rows pitch bytes
// apart, straight from the plug-in. No block of them may be held by the
// cache (a held block may be newer than the source).
bool blockReadPart(Kimg_Layer *l, long blockRow, long blockColumn, long y, long columns, long rows,
                   unsigned char *dst, long pitch, const char *fn, Report &e) {
    Kerr_ErrorReport *pe = nullptr;
    if (call(*l->instance, l->instance->fn.LayerRasterReadPart, nullptr, l->handle, blockRow,
             blockColumn, 0L, y, columns, rows, static_cast<void *>(dst), pitch, &pe) < 0) {
        e.wrap(pe, fn, 66, "LayerRasterReadPart failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    return true;
}

// Copies rows of n bytes between pitches. Rows of whole blocks are short
// (128 bytes for 64 u16 pixels): copied inline in 16-byte steps rather
// than by a call per row.
void copyRows(unsigned char *dst, long dstPitch, const unsigned char *src, long srcPitch, long n,
              long rows) {
    if (n == dstPitch && n == srcPitch) {
        std::memcpy(dst, src, static_cast<size_t>(n * rows));
        return;
    }
    for (; rows > 0; --rows, dst += dstPitch, src += srcPitch) {
        long i = 0;
        for (; i + 16 <= n; i += 16) __builtin_memcpy(dst + i, src + i, 16);
        if (i < n) std::memcpy(dst + i, src + i, static_cast<size_t>(n - i));
    }
}

// A read of whole blocks into a rectangle of their own type, block row by
// block row: the blocks of a row side by side first, then each line of
// pixels across them, so that the rectangle is written line after line.
// False with a report on failure.
bool readBlockRows(Kimg_Layer *l, const Span &s, unsigned char *out, long pitch, const char *fn,
                   Report &e) {
    const long lb = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    const long bc0 = s.c0 / l->blockWidth, bc1 = (s.c1 - 1) / l->blockWidth + 1;
    const long stride = (l->blockBytes + 15) / 16 * 16, line = l->blockWidth * lb;
    unsigned char *row = stripScratch(l, stride * (bc1 - bc0));
    for (long br = s.r0 / l->blockHeight; br <= (s.r1 - 1) / l->blockHeight; ++br) {
        for (long bc = bc0; bc < bc1; ++bc)
            if (!blockReadInto(l, br * l->blocksAcross + bc, row + (bc - bc0) * stride, fn, e))
                return false;
        const long by = br * l->blockHeight, lines = std::min(l->blockHeight, s.r1 - by);
        for (long y = 0; y < lines; ++y) {
            unsigned char *dst = out + (by + y - s.r0 + s.rr) * pitch + s.rc * lb;
            for (long bc = bc0; bc < bc1; ++bc) {
                const long n = (std::min(s.c1, (bc + 1) * l->blockWidth) - bc * l->blockWidth) * lb;
                copyRows(dst, 0, row + (bc - bc0) * stride + y * line, 0, n, 1);
                dst += n;
            }
        }
    }
    return true;
}

void noteWrite(Kimg_Layer *l) {
    if (l->undoLevels > 0 && l->transactionOpen)
        l->openWrote = true;
    else
        l->persistentChange = true;
    l->rasterModified = true;
    l->rrdStale = true;
}

bool anyTrue(const std::vector<bool> &v) {
    return std::find(v.begin(), v.end(), true) != v.end();
}

void closeTransaction(Kimg_Layer *l) {
    if (!l->transactionOpen) return;
    l->transactionOpen = false;
    l->undoable.push_back(l->openWrote);
    l->openWrote = false;
    if (static_cast<long>(l->undoable.size()) > l->undoLevels) {
        // The oldest transaction is settled in the source.
        if (l->undoable.front()) l->persistentChange = true;
        l->undoable.erase(l->undoable.begin());
    }
}

void refreshModified(Kimg_Layer *l) {
    l->rasterModified = l->persistentChange || anyTrue(l->undoable) || l->openWrote;
}

}  // namespace

int rectGet(Kimg_Layer *l, long column, long row, long columns, long rows, Kgda_BaseData *rect,
            const Bounds *bounds, const char *fn, Kerr_ErrorReport **err) {
    Report e(err);
    if (!l) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (!rect) {
        e.error(fn, 2, "Null pixelRect");
        return -1;
    }
    if (!rectUsable(rect, fn, e)) return -1;
    columns = std::min<long>(columns, rect->numcolumns);
    rows = std::min<long>(rows, rect->numrows);
    Span s;
    if (columns <= 0 || rows <= 0 ||
        !clip(bounds ? *bounds : whole(l), column, row, columns, rows, s))
        return 0;
    if (l->rawMode && rect->datatype != l->pixelType) {
        e.error(fn, 3, "PixelRect datatype must match layer pixelType for raw mode read");
        return -1;
    }
    const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[l->pixelType][rect->datatype];
    const long lb = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    const long rb = rect->numbytes;
    const long pitch = rect->pitch;
    unsigned char *out = rect->windowStart;
    const bool same = rect->datatype == l->pixelType;
    const bool part = partReads(l);
    // Spans of whole blocks of the rectangle's type go block row by block row.
    // Without part reads of the plug-in, that is the fewest copies.
    auto edge = [](long v, long size, long limit) { return v % size == 0 || v == limit; };
    if (same && !part && edge(s.c0, l->blockWidth, 0) && edge(s.r0, l->blockHeight, 0) &&
        edge(s.c1, l->blockWidth, l->width) && edge(s.r1, l->blockHeight, l->height))
        return readBlockRows(l, s, out, pitch, fn, e) ? 0 : -1;
    auto at = [&](long x, long y) {
        return out + (y - s.r0 + s.rr) * pitch + (x - s.c0 + s.rc) * rb;
    };
    auto one = [&](long index, long bx, long by, long x0, long y0, long x1, long y1) {
        const bool whole = x0 == bx && y0 == by && x1 == std::min(bx + l->blockWidth, l->width) &&
                           y1 == std::min(by + l->blockHeight, l->height);
        unsigned char *dst = at(x0, y0);
        const long n = x1 - x0, srcStep = l->blockWidth * lb;
        // A whole block whose rows lie one after the other in the
        // rectangle goes from the plug-in straight into it.
        if (whole && same && pitch == srcStep && y1 - y0 == l->blockHeight && n == l->blockWidth)
            return blockReadInto(l, index, dst, fn, e);
        const unsigned char *block = blockForRead(l, index, whole, fn, e);
        if (!block) return false;
        const unsigned char *src = block + ((y0 - by) * l->blockWidth + (x0 - bx)) * lb;
        if (same)
            copyRows(dst, pitch, src, srcStep, n * lb, y1 - y0);
        else
            for (long y = y0; y < y1; ++y, src += srcStep, dst += pitch) conv(src, dst, n);
        return true;
    };
    if (!part) return forBlocks(l, s, one) ? 0 : -1;
    // Runs of whole blocks the cache does not hold go from the plug-in
    // straight into the rectangle, line after line across each run; another
    // type goes through a strip of the run in the layer's type.
    for (long br = s.r0 / l->blockHeight; br <= (s.r1 - 1) / l->blockHeight; ++br) {
        const long by = br * l->blockHeight;
        const long y0 = std::max(s.r0, by), y1 = std::min(s.r1, by + l->blockHeight);
        const bool wholeRows = y0 == by && y1 == std::min(by + l->blockHeight, l->height);
        const long bc0 = s.c0 / l->blockWidth, bc1 = (s.c1 - 1) / l->blockWidth + 1;
        long run = -1;  // first block column of the open run
        auto flush = [&](long end) {
            if (run < 0) return true;
            const long x0 = run * l->blockWidth, x1 = std::min(end * l->blockWidth, l->width);
            const long first = run;
            run = -1;
            if (same)
                return blockReadPart(l, br, first, y0 - by, x1 - x0, y1 - y0, at(x0, y0), pitch, fn,
                                     e);
            const long line = (x1 - x0) * lb;
            unsigned char *strip = stripScratch(l, line * (y1 - y0));
            if (!blockReadPart(l, br, first, y0 - by, x1 - x0, y1 - y0, strip, line, fn, e))
                return false;
            unsigned char *dst = at(x0, y0);
            for (long y = y0; y < y1; ++y, strip += line, dst += pitch) conv(strip, dst, x1 - x0);
            return true;
        };
        for (long bc = bc0; bc < bc1; ++bc) {
            const long bx = bc * l->blockWidth, index = br * l->blocksAcross + bc;
            const long x0 = std::max(s.c0, bx), x1 = std::min(s.c1, bx + l->blockWidth);
            if (wholeRows && x0 == bx && x1 == std::min(bx + l->blockWidth, l->width) &&
                !kdms_CacheIndexPresent(l->cache, index)) {
                if (run < 0) run = bc;
                continue;
            }
            if (!flush(bc) || !one(index, bx, by, x0, y0, x1, y1)) return -1;
        }
        if (!flush(bc1)) return -1;
    }
    return 0;
}

int rectSet(Kimg_Layer *l, long column, long row, long columns, long rows,
            const Kgda_BaseData *rect, const Bounds *bounds, const char *fn,
            Kerr_ErrorReport **err) {
    Report e(err);
    if (!l) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (!rect) {
        e.error(fn, 2, "Null pixelRect");
        return -1;
    }
    if (l->rawMode) {
        e.error(fn, 4, "Raw mode not supported yet");
        return -1;
    }
    if (l->readOnly) {
        e.error(fn, 5, "File %s is read-only", l->fileName.c_str());
        return -1;
    }
    if (!rectUsable(rect, fn, e)) return -1;
    columns = std::min<long>(columns, rect->numcolumns);
    rows = std::min<long>(rows, rect->numrows);
    Span s;
    if (columns <= 0 || rows <= 0 ||
        !clip(bounds ? *bounds : whole(l), column, row, columns, rows, s))
        return 0;
    const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[rect->datatype][l->pixelType];
    const long lb = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    const long rb = rect->numbytes;
    const long pitch = rect->pitch;
    const unsigned char *in = rect->windowStart;
    bool ok =
        forBlocks(l, s, [&](long index, long bx, long by, long x0, long y0, long x1, long y1) {
            const long bx1 = std::min(bx + l->blockWidth, l->width);
            const long by1 = std::min(by + l->blockHeight, l->height);
            const bool whole = x0 == bx && y0 == by && x1 == bx1 && y1 == by1;
            void *p = l->slots > 0 ? nullptr : scratch(l);
            int rc = whole ? kdms_CacheFetch(l->cache, index, &p, e.out())
                           : kdms_CacheRead(l->cache, index, &p, e.out());
            if (rc != 0) {
                e.error(fn, 6, whole ? "kdms_CacheFetch failed" : "kdms_CacheRead failed");
                return false;
            }
            auto *block = static_cast<unsigned char *>(p);
            // Pixels of an edge block outside the layer are kept at 0.
            if (whole && (bx1 - bx < l->blockWidth || by1 - by < l->blockHeight))
                std::memset(block, 0, static_cast<size_t>(l->blockBytes));
            unsigned char *dst = block + ((y0 - by) * l->blockWidth + (x0 - bx)) * lb;
            const unsigned char *src = in + (y0 - s.r0 + s.rr) * pitch + (x0 - s.c0 + s.rc) * rb;
            const long n = x1 - x0, dstStep = l->blockWidth * lb;
            if (rect->datatype == l->pixelType)
                copyRows(dst, dstStep, src, pitch, n * lb, y1 - y0);
            else
                for (long y = y0; y < y1; ++y, src += pitch, dst += dstStep) conv(src, dst, n);
            if (kdms_CacheWrite(l->cache, index, block, e.out()) != 0) {
                e.error(fn, 7, "kdms_CacheWrite failed");
                return false;
            }
            noteWrite(l);
            if (l->writeThrough &&
                kdms_CacheFlush(l->cache, KDMS_FLUSH_WRITE, index, e.out()) != 0) {
                e.error(fn, 8, "kdms_CacheFlush failed");
                return false;
            }
            return true;
        });
    return ok ? 0 : -1;
}

bool layerStripWrite(Kimg_Layer *l, long row, long rows, const Kgda_BaseData *strip,
                     std::vector<unsigned char> &run, const char *fn, Report &e) {
    const long first = row / l->blockHeight * l->blocksAcross, count = l->blocksAcross;
    bool direct =
        l->instance->fn.LayerRasterWriteRun && !l->rawMode && !l->readOnly && l->undoLevels == 0 &&
        row % l->blockHeight == 0 && rows == std::min(l->blockHeight, l->height - row) &&
        strip->datatype == l->pixelType && strip->numcolumns == l->width && strip->numrows >= rows;
    for (long i = 0; direct && i < count; ++i)
        direct = !kdms_CacheIndexPresent(l->cache, first + i);
    if (!direct) return rectSet(l, 0, row, l->width, rows, strip, nullptr, fn, e.out()) == 0;
    const long lb = kmsc_AddressOf_kgda_NumBytesPerPixel()[l->pixelType];
    const long line = l->blockWidth * lb, stride = l->blockBytes;
    run.resize(static_cast<size_t>(stride * count));
    // Pixels outside the layer are 0, as the cache would have them.
    const long right = l->width - (count - 1) * l->blockWidth;
    if (rows < l->blockHeight)
        std::memset(run.data(), 0, run.size());
    else if (right < l->blockWidth)
        std::memset(run.data() + (count - 1) * stride, 0, static_cast<size_t>(stride));
    for (long y = 0; y < rows; ++y) {
        const unsigned char *src = strip->windowStart + y * strip->pitch;
        unsigned char *dst = run.data() + y * line;
        for (long b = 0; b + 1 < count; ++b, src += line, dst += stride)
            copyRows(dst, 0, src, 0, line, 1);
        copyRows(dst, 0, src, 0, right * lb, 1);
    }
    Kerr_ErrorReport *pe = nullptr;
    if (call(*l->instance, l->instance->fn.LayerRasterWriteRun, nullptr, l->handle,
             row / l->blockHeight, 0L, count, static_cast<const void *>(run.data()), &pe) < 0) {
        e.wrap(pe, fn, 67, "LayerRasterWriteRun failed");
        return false;
    }
    kerr_DeleteErrorReport(pe);
    noteWrite(l);
    return true;
}

// The window as bounds (the whole layer without one).
Bounds windowOf(const Kimg_Layer *l) {
    if (!l->hasWindow) return whole(l);
    const int32_t *v = l->window.values;
    return {v[0], v[1], v[2] + 1L, v[3] + 1L};
}

}  // namespace kr::img

using namespace kr::img;

KRASTER_API int kimg_LayerRasterPixelRectGet(Kimg_Layer *layer, long column, long row, long columns,
                                             long rows, Kgda_BaseData *pixelRect,
                                             Kerr_ErrorReport **err) {
    return rectGet(layer, column, row, columns, rows, pixelRect, nullptr,
                   "kimg_LayerRasterPixelRectGet", err);
}

KRASTER_API int kimg_LayerRasterPixelRectSet(Kimg_Layer *layer, long column, long row, long columns,
                                             long rows, const Kgda_BaseData *pixelRect,
                                             Kerr_ErrorReport **err) {
    return rectSet(layer, column, row, columns, rows, pixelRect, nullptr,
                   "kimg_LayerRasterPixelRectSet", err);
}

namespace {

// The source of a read through the layer's transform: pixels of the window.
struct ChainSource {
    Kimg_Layer *layer;
    Bounds bounds;
    const char *fn;
};

int chainSourceGet(void *client, long column, long row, long columns, long rows,
                   Kgda_BaseDataStack *rects, Kerr_ErrorReport **err) {
    const auto &s = *static_cast<const ChainSource *>(client);
    return rectGet(s.layer, s.bounds.x0 + column, s.bounds.y0 + row, columns, rows,
                   rects->layers[0], &s.bounds, s.fn, err);
}

// Fills columns x rows output pixels from (column, row) on through the
// layer's transform: every one gets the resampled value at its image in
// the window, or the null value where there is none.
bool chainRead(Kimg_Layer *l, const Bounds &b, long column, long row, long columns, long rows,
               Kgda_BaseData *rect, const char *fn, Report &e) {
    if (!rect) {
        e.error(fn, 2, "Null pixelRect");
        return false;
    }
    if (!rectUsable(rect, fn, e)) return false;
    columns = std::min<long>(columns, rect->numcolumns);
    rows = std::min<long>(rows, rect->numrows);
    if (columns <= 0 || rows <= 0) return true;
    ChainSource source{l, b, fn};
    Kirf_MethodSetup setup{};
    setup.srcPixelType = l->pixelType;
    setup.dstPixelType = -1;
    setup.hasNull = l->hasStoredNull || l->nullSet;
    kimg_LayerRasterNullValueGetS(l, &setup.nullValue, nullptr);
    setup.srcColumns = b.x1 - b.x0;
    setup.srcRows = b.y1 - b.y0;
    const char *method = l->resampleMethod.empty() ? "MIRAVEN Nearest Neighbor Resampling"
                                                   : l->resampleMethod.c_str();
    struct Held {
        Kirf_ResampleData *data = nullptr;
        Kgda_BaseData *temporary = nullptr;
        ~Held() {
            kirf_ResampleDataDestroy(data, nullptr);
            kgda_BaseDataDelete(temporary, nullptr);
        }
    } held;
    held.data =
        kirf_ResampleDataCreateXForm(chainSourceGet, &source, method, l->xform, 1, &setup, e.out());
    if (!held.data) {
        e.error(fn, 70, "kirf_ResampleDataCreateXForm failed");
        return false;
    }
    // The method writes its own type; another type of rectangle is
    // converted from a temporary one.
    const int32_t type = kirf_ResampleDataDstPixelType(held.data);
    Kgda_BaseData *target = rect;
    if (type != rect->datatype) {
        held.temporary = kimg_PixelRectCreate(columns, rows, type, e.out());
        if (!held.temporary) {
            e.error(fn, 71, "kimg_PixelRectCreate failed");
            return false;
        }
        target = held.temporary;
    }
    Kgda_BaseData *layers[1] = {target};
    Kgda_BaseDataStack stack{1, 1, layers, 0};
    const double area[4] = {static_cast<double>(column), static_cast<double>(row),
                            static_cast<double>(columns), static_cast<double>(rows)};
    if (kirf_ResampleBlockInterpolate(held.data, area, &stack, e.out()) != 0) {
        e.error(fn, 72, "kirf_ResampleBlockInterpolate failed");
        return false;
    }
    if (target != rect) {
        const Kpxm_ConvertFunc conv = kmsc_AddressOf_kpxm_Convert()[type][rect->datatype];
        for (long y = 0; y < rows; ++y)
            conv(target->windowStart + y * target->pitch, rect->windowStart + y * rect->pitch,
                 columns);
    }
    return true;
}

// Checks of kimg_LayerRead/Write.
bool windowArgs(const Kimg_Layer *l, long width, long height, bool writing, const char *fn,
                Report &e) {
    if (!l) {
        e.error(fn, 1, "Null layer");
        return false;
    }
    if (l->rawMode) {
        e.error(fn, 2,
                writing ? "kimg_LayerWrite cannot be used in raw mode"
                        : "kimg_LayerRead cannot be used in raw mode");
        return false;
    }
    if (width < 1 || height < 1) {
        e.error(fn, 3, "Args w,h = (%ld,%ld)", width, height);
        return false;
    }
    return true;
}

}  // namespace

KRASTER_API int kimg_LayerRead(Kimg_Layer *layer, long column, long row, long width, long height,
                               Kgda_BaseData *pixelRect, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRead";
    Report e(err);
    if (!windowArgs(layer, width, height, false, fn, e)) return -1;
    Bounds b = windowOf(layer);
    // Window pixels straight, or through the transform.
    auto get = [&](long c, long r, long columns, long rows, Kgda_BaseData *rect, Report &re) {
        return layer->xform
                   ? chainRead(layer, b, c, r, columns, rows, rect, fn, re)
                   : rectGet(layer, b.x0 + c, b.y0 + r, columns, rows, rect, &b, fn, re.out()) == 0;
    };
    if (!get(column, row, width, height, pixelRect, e)) return -1;
    if (!pixelRect || (!layer->rescale && !layer->convolve)) return 0;
    AreaReader read = [&](long c, long r, long columns, long rows, double *out, Report &re) {
        Kgda_BaseData area{};
        area.derivedFlag = 1;
        return kgda_BaseDataReCreate(&area, static_cast<int32_t>(rows),
                                     static_cast<int32_t>(columns), KGDA_TYPE_F64,
                                     KGDA_RASTER_OBJECT, out, re.out()) &&
               get(c, r, columns, rows, &area, re);
    };
    return layerReadFilter(layer, column, row, width, height, b.x1 - b.x0, b.y1 - b.y0, pixelRect,
                           read, fn, e)
               ? 0
               : -1;
}

KRASTER_API int kimg_LayerWrite(Kimg_Layer *layer, long column, long row, long width, long height,
                                const Kgda_BaseData *pixelRect, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerWrite";
    Report e(err);
    if (!windowArgs(layer, width, height, true, fn, e)) return -1;
    if (layer->xform) {
        e.error(fn, 4, "kimg_LayerWrite cannot be used with a geometric transform");
        return -1;
    }
    Bounds b = windowOf(layer);
    return rectSet(layer, b.x0 + column, b.y0 + row, width, height, pixelRect, &b, fn, e.out());
}

namespace {

int hint(Kimg_Layer *l, long column, long row, long columns, long rows, bool cancel, const char *fn,
         Kerr_ErrorReport **err) {
    Report e(err);
    if (!l) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    Span s;
    if (columns <= 0 || rows <= 0 || !clip(whole(l), column, row, columns, rows, s)) return 0;
    const RFEntries &f = l->instance->fn;
    auto rect = cancel ? f.LayerRasterRectangleReadCancel : f.LayerRasterRectangleReadInitiate;
    auto block = cancel ? f.LayerRasterReadCancel : f.LayerRasterReadInitiate;
    Kerr_ErrorReport *pe = nullptr;
    if (rect) {
        if (call(*l->instance, rect, nullptr, l->handle, s.r0, s.c0, s.r1 - s.r0, s.c1 - s.c0,
                 &pe) < 0) {
            e.wrap(pe, fn, 2,
                   cancel ? "LayerRasterRectangleReadCancel failed"
                          : "LayerRasterRectangleReadInitiate failed");
            return -1;
        }
        kerr_DeleteErrorReport(pe);
        return 0;
    }
    if (!block) return 0;
    bool ok = forBlocks(l, s, [&](long index, long, long, long, long, long, long) {
        // Blocks already held need no hint.
        if (!cancel && kdms_CacheIndexPresent(l->cache, index)) return true;
        if (call(*l->instance, block, nullptr, l->handle, index / l->blocksAcross,
                 index % l->blocksAcross, &pe) < 0) {
            e.wrap(pe, fn, 3,
                   cancel ? "LayerRasterReadCancel failed" : "LayerRasterReadInitiate failed");
            return false;
        }
        kerr_DeleteErrorReport(pe);
        pe = nullptr;
        return true;
    });
    return ok ? 0 : -1;
}

}  // namespace

KRASTER_API int kimg_LayerReadInitiate(Kimg_Layer *layer, long column, long row, long columns,
                                       long rows, Kerr_ErrorReport **err) {
    return hint(layer, column, row, columns, rows, false, "kimg_LayerReadInitiate", err);
}

KRASTER_API int kimg_LayerReadCancel(Kimg_Layer *layer, long column, long row, long columns,
                                     long rows, Kerr_ErrorReport **err) {
    return hint(layer, column, row, columns, rows, true, "kimg_LayerReadCancel", err);
}

KRASTER_API int kimg_LayerRasterFlush(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterFlush";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (kdms_CacheFlush(layer->cache, KDMS_FLUSH_WRITE, -1, e.out()) != 0) {
        e.error(fn, 2, "kdms_CacheFlush failed");
        return -1;
    }
    return 0;
}

KRASTER_API int kimg_LayerGetTimeStamp(Kimg_Layer *layer, int64_t *modTime,
                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerGetTimeStamp";
    Report e(err);
    if (!layer || !modTime) {
        e.error(fn, 1, "Args");
        return -1;
    }
    *modTime = 0;
    if (!layer->instance->fn.LayerRasterModTimeGet) return 0;
    Kerr_ErrorReport *pe = nullptr;
    if (call(*layer->instance, layer->instance->fn.LayerRasterModTimeGet, nullptr, layer->handle,
             modTime, &pe) < 0) {
        e.wrap(pe, fn, 2, "LayerRasterModTimeGet failed");
        return -1;
    }
    kerr_DeleteErrorReport(pe);
    return 0;
}

// ---- Transactions --------------------------------------------------------------

KRASTER_API int kimg_LayerRasterTransactionStart(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterTransactionStart";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (kdms_CacheTransactionStart(layer->cache, e.out()) != 0) {
        e.error(fn, 2, "kdms_CacheTransactionStart failed");
        return -1;
    }
    if (layer->undoLevels > 0) {
        closeTransaction(layer);
        layer->redoable.clear();
        layer->transactionOpen = true;
    }
    return 0;
}

KRASTER_API int kimg_LayerRasterTransactionEnd(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterTransactionEnd";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (kdms_CacheTransactionEnd(layer->cache, e.out()) != 0) {
        e.error(fn, 2, "kdms_CacheTransactionEnd failed");
        return -1;
    }
    closeTransaction(layer);
    return 0;
}

KRASTER_API long kimg_LayerRasterTransactionUndo(Kimg_Layer *layer, long levels,
                                                 Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterTransactionUndo";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    closeTransaction(layer);
    long r = kdms_CacheTransactionUndo(layer->cache, levels, e.out());
    if (r != 0) {
        e.error(fn, 2, "kdms_CacheTransactionUndo failed");
        return r;
    }
    for (long i = 0; i < levels && !layer->undoable.empty(); ++i) {
        layer->redoable.push_back(layer->undoable.back());
        layer->undoable.pop_back();
    }
    for (long i = 0; i < -levels && !layer->redoable.empty(); ++i) {
        layer->undoable.push_back(layer->redoable.back());
        layer->redoable.pop_back();
    }
    refreshModified(layer);
    if (levels != 0) layer->rrdStale = true;
    return 0;
}

KRASTER_API int kimg_LayerRasterTransactionCommitAll(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterTransactionCommitAll";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return -1;
    }
    if (layer->readOnly) {
        e.error(fn, 2, "File %s is read-only", layer->fileName.c_str());
        return -1;
    }
    if (layer->undoLevels == 0) return 0;
    if (kdms_CacheTransactionCommitAll(layer->cache, e.out()) != 0) {
        e.error(fn, 3, "kdms_CacheTransactionCommitAll failed");
        return -1;
    }
    closeTransaction(layer);
    if (anyTrue(layer->undoable)) layer->persistentChange = true;
    layer->undoable.clear();
    layer->redoable.clear();
    refreshModified(layer);
    return 0;
}

// ---- Null value -------------------------------------------------------------------

KRASTER_API Kgda_BaseData *kimg_LayerRasterNullValueGet(Kimg_Layer *layer, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterNullValueGet";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return nullptr;
    }
    Kgda_BaseData *v = kgda_BaseDataCopy(layer->nullValue, nullptr, e.out());
    if (!v) e.error(fn, 2, "kgda_BaseDataCopy failed");
    return v;
}

KRASTER_API int kimg_LayerRasterNullValueGetS(Kimg_Layer *layer, double *value,
                                              Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterNullValueGetS";
    Report e(err);
    if (!layer || !value) {
        e.error(fn, 1, layer ? "Null value pointer" : "Null layer");
        return -1;
    }
    kmsc_AddressOf_kpxm_Convert()[layer->pixelType][KGDA_TYPE_F64](layer->nullValue->windowStart,
                                                                   value, 1);
    return 0;
}

namespace {

bool nullValueUsable(const Kimg_Layer *l, const Kgda_BaseData *v, const char *fn, Report &e) {
    if (!l) {
        e.error(fn, 1, "Null layer");
        return false;
    }
    if (!v || v->numelements < 1 || !v->windowStart) {
        e.error(fn, 2, "Null value BaseData missing");
        return false;
    }
    if (v->datatype != l->pixelType) {
        e.error(fn, 3, "Datatype mismatch");
        return false;
    }
    return true;
}

}  // namespace

KRASTER_API int kimg_LayerRasterNullValueSet(Kimg_Layer *layer, const Kgda_BaseData *value,
                                             Kerr_ErrorReport **err) {
    Report e(err);
    if (!nullValueUsable(layer, value, "kimg_LayerRasterNullValueSet", e)) return -1;
    std::memcpy(layer->nullValue->windowStart, value->windowStart,
                static_cast<size_t>(value->numbytes));
    layer->nullSet = true;
    return 0;
}

KRASTER_API Kgda_BaseData *kimg_LayerRasterNullValueRead(Kimg_Layer *layer,
                                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterNullValueRead";
    Report e(err);
    if (!layer) {
        e.error(fn, 1, "Null layer");
        return nullptr;
    }
    auto read = layer->instance->fn.LayerRasterNullValueRead;
    if (!read) return nullptr;
    Kgda_BaseData *v =
        kgda_BaseDataCreate(1, 1, layer->pixelType, KGDA_RASTER_OBJECT, nullptr, e.out());
    if (!v) {
        e.error(fn, 2, "kgda_BaseDataCreate failed");
        return nullptr;
    }
    int status = 0;
    Kerr_ErrorReport *pe = nullptr;
    if (call(*layer->instance, read, &status, layer->handle, v, &pe) < 0) {
        kgda_BaseDataDelete(v, nullptr);
        if (status == KIMG_RF_STATUS_NO_SUCH_FILE) {
            kerr_DeleteErrorReport(pe);
            return nullptr;
        }
        e.wrap(pe, fn, 3, "LayerRasterNullValueRead failed");
        return nullptr;
    }
    kerr_DeleteErrorReport(pe);
    if (v->datatype != layer->pixelType || v->numelements != 1) {
        kgda_BaseDataDelete(v, nullptr);
        e.error(fn, 4, "Datatype mismatch");
        return nullptr;
    }
    std::memcpy(layer->nullValue->windowStart, v->windowStart, static_cast<size_t>(v->numbytes));
    layer->hasStoredNull = true;
    return v;
}

KRASTER_API int kimg_LayerRasterNullValueWrite(Kimg_Layer *layer, const Kgda_BaseData *value,
                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_LayerRasterNullValueWrite";
    Report e(err);
    if (!nullValueUsable(layer, value, fn, e)) return -1;
    if (layer->readOnly) {
        e.error(fn, 4, "File %s is read-only", layer->fileName.c_str());
        return -1;
    }
    auto write = layer->instance->fn.LayerRasterNullValueWrite;
    if (!write) {
        e.error(fn, 5, "File format does not store null values");
        return -1;
    }
    if (kdms_CacheFlush(layer->cache, KDMS_FLUSH_WRITE, -1, e.out()) != 0) {
        e.error(fn, 6, "kdms_CacheFlush failed");
        return -1;
    }
    Kerr_ErrorReport *pe = nullptr;
    if (call(*layer->instance, write, nullptr, layer->handle, value, &pe) < 0) {
        e.wrap(pe, fn, 7, "LayerRasterNullValueWrite failed");
        return -1;
    }
    kerr_DeleteErrorReport(pe);
    std::memcpy(layer->nullValue->windowStart, value->windowStart,
                static_cast<size_t>(value->numbytes));
    layer->hasStoredNull = true;
    return 0;
}

// ---- Pixel rectangles and windows -----------------------------------------------

KRASTER_API Kgda_BaseData *kimg_PixelRectCreate(long width, long height, int32_t pixelType,
                                                Kerr_ErrorReport **err) {
    constexpr const char *fn = "kimg_PixelRectCreate";
    Report e(err);
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
        e.error(fn, 1, "Args w,h = (%ld,%ld)", width, height);
        return nullptr;
    }
    if (pixelType < 0 || pixelType > KGDA_TYPE_C128) {
        e.error(fn, 2, "Invalid pixel type");
        return nullptr;
    }
    Kgda_BaseData *b =
        kgda_BaseDataCreate(static_cast<int32_t>(height), static_cast<int32_t>(width), pixelType,
                            KGDA_RASTER_OBJECT, nullptr, e.out());
    if (!b) e.error(fn, 3, "kgda_BaseDataCreate failed");
    return b;
}

KRASTER_API Kgda_BaseData *kimg_PixelRectCopy(const Kgda_BaseData *source,
                                              Kgda_BaseData *destination, Kerr_ErrorReport **err) {
    Report e(err);
    Kgda_BaseData *b = kgda_BaseDataCopy(source, destination, e.out());
    if (!b) e.error("kimg_PixelRectCopy", 1, "kgda_BaseDataCopy failed");
    return b;
}

KRASTER_API void kimg_PixelRectDelete(Kgda_BaseData *pixelRect, Kerr_ErrorReport **err) {
    kgda_BaseDataDelete(pixelRect, err);
}

KRASTER_API Kgda_Window *kimg_WindowCreate(long firstColumn, long firstRow, long lastColumn,
                                           long lastRow, Kerr_ErrorReport **err) {
    Report e(err);
    auto fits = [](long v) { return v >= INT32_MIN && v <= INT32_MAX; };
    if (!fits(firstColumn) || !fits(firstRow) || !fits(lastColumn) || !fits(lastRow)) {
        e.error("kimg_WindowCreate", 1, "Args");
        return nullptr;
    }
    return kgda_WindowCreate(static_cast<int32_t>(firstColumn), static_cast<int32_t>(firstRow),
                             static_cast<int32_t>(lastColumn), static_cast<int32_t>(lastRow),
                             e.out());
}

KRASTER_API Kgda_Window *kimg_WindowCopy(const Kgda_Window *source, Kgda_Window *destination,
                                         Kerr_ErrorReport **err) {
    return kgda_WindowCopy(source, destination, err);
}

KRASTER_API void kimg_WindowDelete(Kgda_Window *window, Kerr_ErrorReport **err) {
    kgda_WindowDelete(window, err);
}

// ---- Stacks ---------------------------------------------------------------------

namespace {

// The full names of a layer-name list; a file given alone names all its
// layers when `wholeFiles`, else it is refused.
bool stackNames(const char *layerNames, bool wholeFiles, std::vector<std::string> &names,
                const char *fn, Report &e) {
    if (!layerNames) {
        e.error(fn, 1, "Null layer name list");
        return false;
    }
    Kfnp_FileNodeList *list = kfnp_FileNodeListParse(layerNames, e.out());
    if (!list) {
        e.error(fn, 2, "FileNodeListParse failed");
        return false;
    }
    bool ok = true;
    for (int32_t i = 0; ok && i < list->itemCount; ++i) {
        const Kfnp_FileNodeListItem &it = list->items[i];
        std::vector<std::string> nodes(it.nodePaths, it.nodePaths + it.nodePathCount);
        if (nodes.empty() && !wholeFiles) {
            e.error(fn, 8, "%s:  no layer named", it.fileName);
            ok = false;
            break;
        }
        if (nodes.empty()) {
            int status = 0;
            AFile *f = afileOpen(it.fileName, it.title, KIMG_RF_MODE_READ, &status, e.out());
            if (!f) {
                e.error(fn, 3, "AFileIdentifyAndOpen failed");
                ok = false;
                break;
            }
            long count = 0;
            char **got = nullptr;
            Kerr_ErrorReport *pe = nullptr;
            long r = call(*f->instance, f->instance->fn.FileLayerNamesGet, nullptr,
                          afileHandle(f, KIMG_RF_MODE_READ), &count, &got, &pe);
            for (long k = 0; k < count && got; ++k) {
                if (r >= 0 && got[k]) nodes.emplace_back(got[k]);
                kmsc_HeapFree(got[k]);
            }
            kmsc_HeapFree(got);
            afileQueue(f, KIMG_RF_MODE_READ, nullptr);
            if (r < 0) {
                e.wrap(pe, fn, 4, "FileLayerNamesGet failed");
                ok = false;
                break;
            }
            kerr_DeleteErrorReport(pe);
        }
        for (const std::string &node : nodes) {
            char *full = kfnp_FileNodeCreate(it.fileName, it.title, node.c_str(), e.out());
            if (!full) {
                ok = false;
                break;
            }
            names.emplace_back(full);
            kmsc_HeapFree(full);
        }
    }
    kfnp_FreeNodeList(list);
    if (ok && names.empty()) {
        e.error(fn, 5, "%s:  no layers", layerNames);
        ok = false;
    }
    return ok;
}

// A stack of the layers of a name list, each made by `get` (open or
// create) with the option words of the variadic list. A failed layer undoes
// the ones before it (`undo`: the stack and the toolkit).
template <class Get, class Undo>
Kimg_LayerStack *stackOf(const char *layerNames, bool wholeFiles, va_list args, const char *verb,
                         const char *fn, Report &e, Get get, Undo undo) {
    std::vector<intptr_t> words;
    try {
        words = layerOptionWords(args);
    } catch (const std::bad_alloc &) {
        e.error(fn, 90, "No memory");
        return nullptr;
    }
    std::vector<std::string> names;
    if (!stackNames(layerNames, wholeFiles, names, fn, e)) return nullptr;
    Kimg_LayerStack *stack =
        kimg_LayerStackStructureCreate(static_cast<long>(names.size()), e.out());
    if (!stack) {
        e.error(fn, 6, "No memory");
        return nullptr;
    }
    stack->count = 0;
    for (const std::string &n : names) {
        Kimg_Layer *l = get(n.c_str(), words.data());
        if (!l) {
            e.error(fn, 7, "%s failed for %s", verb, n.c_str());
            undo(stack);
            return nullptr;
        }
        stack->layers[stack->count++] = l;
    }
    return stack;
}

}  // namespace

KRASTER_API Kimg_LayerStack *kimg_LayerStackOpen(const char *layerNames,
                                                 Kint_InitToolkitData *toolkit,
                                                 Kerr_ErrorReport **err, ...) {
    Report e(err);
    va_list args;
    va_start(args, err);
    Kimg_LayerStack *stack = stackOf(
        layerNames, true, args, "kimg_LayerOpen", "kimg_LayerStackOpen", e,
        [&](const char *n, const intptr_t *words) {
            return kimg_LayerOpenVAPtr(n, toolkit, e.out(), words);
        },
        [](Kimg_LayerStack *s) { kimg_LayerStackClose(s, nullptr); });
    va_end(args);
    return stack;
}

KRASTER_API Kimg_LayerStack *kimg_LayerStackCreate(const char *layerNames, int32_t layerType,
                                                   int32_t pixelType, long width, long height,
                                                   Kint_InitToolkitData *toolkit,
                                                   Kerr_ErrorReport **err, ...) {
    Report e(err);
    va_list args;
    va_start(args, err);
    Kimg_LayerStack *stack = stackOf(
        layerNames, false, args, "kimg_LayerCreate", "kimg_LayerStackCreate", e,
        [&](const char *n, const intptr_t *words) {
            return kimg_LayerCreateVAPtr(n, layerType, pixelType, width, height, toolkit, e.out(),
                                         words);
        },
        [&](Kimg_LayerStack *s) {
            // Leave none of the stack behind.
            for (long i = 0; i < s->count; ++i) {
                std::string made = s->layers[i]->name;
                kimg_LayerClose(s->layers[i], nullptr);
                kimg_LayerRemove(made.c_str(), toolkit, nullptr);
            }
            kimg_LayerStackStructureDelete(s);
        });
    va_end(args);
    return stack;
}

KRASTER_API int kimg_LayerStackClose(Kimg_LayerStack *stack, Kerr_ErrorReport **err) {
    Report e(err);
    if (!stack) return 0;
    for (long i = 0; i < stack->count; ++i) {
        Kerr_ErrorReport *le = nullptr;
        if (kimg_LayerClose(stack->layers[i], &le) != 0)
            e.wrap(le, "kimg_LayerStackClose", 1, "kimg_LayerClose failed");
    }
    kmsc_HeapFree(stack->layers);
    kmsc_HeapFree(stack);
    return e.failed() ? -1 : 0;
}

KRASTER_API int kimg_LayerStackChangeOptions(Kimg_LayerStack *stack, Kerr_ErrorReport **err, ...) {
    constexpr const char *fn = "kimg_LayerStackChangeOptions";
    Report e(err);
    va_list args;
    va_start(args, err);
    std::vector<intptr_t> words;
    try {
        words = layerOptionWords(args);
    } catch (const std::bad_alloc &) {
        va_end(args);
        e.error(fn, 90, "No memory");
        return -1;
    }
    va_end(args);
    if (!stack) {
        e.error(fn, 1, "Null stack");
        return -1;
    }
    for (long i = 0; i < stack->count; ++i)
        if (kimg_LayerChangeOptionsVAPtr(stack->layers[i], e.out(), words.data()) != 0) {
            e.error(fn, 2, "kimg_LayerChangeOptions failed for layer %ld", i);
            return -1;
        }
    return 0;
}

namespace {

// Applies op to each layer with its rectangle of the stack.
template <class R, class Op>
int eachLayer(Kimg_LayerStack *stack, R *rects, const char *fn, Kerr_ErrorReport **err, Op op) {
    Report e(err);
    if (!stack || !rects) {
        e.error(fn, 1, stack ? "Null pixelRect stack" : "Null stack");
        return -1;
    }
    if (rects->numberOfLayers != stack->count) {
        e.error(fn, 2, "Stack of %d rectangles for %ld layers", rects->numberOfLayers,
                stack->count);
        return -1;
    }
    for (long i = 0; i < stack->count; ++i)
        if (op(stack->layers[i], rects->layers[i], e.out()) != 0) {
            e.error(fn, 3, "Layer %ld failed", i);
            return -1;
        }
    return 0;
}

}  // namespace

KRASTER_API int kimg_LayerStackRasterPixelRectStackGet(Kimg_LayerStack *stack, long column,
                                                       long row, long columns, long rows,
                                                       Kgda_BaseDataStack *rects,
                                                       Kerr_ErrorReport **err) {
    return eachLayer(stack, rects, "kimg_LayerStackRasterPixelRectStackGet", err,
                     [&](Kimg_Layer *l, Kgda_BaseData *r, Kerr_ErrorReport **e) {
                         return kimg_LayerRasterPixelRectGet(l, column, row, columns, rows, r, e);
                     });
}

KRASTER_API int kimg_LayerStackRead(Kimg_LayerStack *stack, long column, long row, long width,
                                    long height, Kgda_BaseDataStack *rects,
                                    Kerr_ErrorReport **err) {
    return eachLayer(stack, rects, "kimg_LayerStackRead", err,
                     [&](Kimg_Layer *l, Kgda_BaseData *r, Kerr_ErrorReport **e) {
                         return kimg_LayerRead(l, column, row, width, height, r, e);
                     });
}

KRASTER_API int kimg_LayerStackWrite(Kimg_LayerStack *stack, long column, long row, long width,
                                     long height, const Kgda_BaseDataStack *rects,
                                     Kerr_ErrorReport **err) {
    return eachLayer(stack, rects, "kimg_LayerStackWrite", err,
                     [&](Kimg_Layer *l, const Kgda_BaseData *r, Kerr_ErrorReport **e) {
                         return kimg_LayerWrite(l, column, row, width, height, r, e);
                     });
}
