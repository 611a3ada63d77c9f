// Shift grids of grid datums: the grid file (44-byte sub-grid headers, then
// the node data of each sub-grid, little-endian), the table of open grids
// shared by name, bilinear shifts, the forward and inverse shift of points,
// and the conversion of NTv2 grid-shift files.
//
// A grid is read whole when it is opened (its size is bounded by the file's
// size, which every header is checked against), so lookups touch memory
// only and an open grid never changes: threads share it freely.
#include <kraster/kfio.h>
#include <kraster/kmsc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "projection/kprj_datum.hpp"

using kr::Report;

namespace {

constexpr size_t kHeaderSize = 44;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180;

struct SubGrid {
    char name[17] = {};
    double minLon = 0, minLat = 0, maxLon = 0, maxLat = 0;
    int32_t columns = 0, rows = 0;
    double lonScale = 0, latScale = 0;  // cells per degree
    std::vector<float> nodes;           // rows x columns x (lon shift, lat shift)
};

}  // namespace

struct Kprj_Grid {
    std::string key;
    std::atomic<int> references{1};
    std::vector<SubGrid> subGrids;
};

namespace {

std::mutex g_openMutex;
std::map<std::string, Kprj_Grid *> &openGrids() {
    static auto *grids = new std::map<std::string, Kprj_Grid *>;
    return *grids;
}

uint32_t u32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t i32(const unsigned char *p) {
    return static_cast<int32_t>(u32(p));
}
float f32(const unsigned char *p) {
    const uint32_t u = u32(p);
    float f;
    memcpy(&f, &u, sizeof f);
    return f;
}

// Reads the sub-grid headers and node data of a grid file held in bytes.
bool gridRead(const std::string &bytes, const char *name, Kprj_Grid *grid, const char *fn,
              Report &e) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t size = bytes.size();
    if (size < kHeaderSize) {
        e.error(fn, 20, "Grid file %s is too short for a sub-grid header", name);
        return false;
    }
    const int32_t first = i32(p + 16);
    if (first < static_cast<int32_t>(kHeaderSize)) {
        e.error(fn, 21, "Grid file %s: invalid data offset %d of the first sub-grid", name, first);
        return false;
    }
    const size_t count = static_cast<size_t>(first) / kHeaderSize;
    if (count * kHeaderSize > size) {
        e.error(fn, 22, "Grid file %s: %zu sub-grid headers do not fit in %zu bytes", name, count,
                size);
        return false;
    }
    grid->subGrids.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *h = p + i * kHeaderSize;
        SubGrid &s = grid->subGrids[i];
        memcpy(s.name, h, 16);
        s.name[16] = '\0';
        const int64_t offset = i32(h + 16);
        s.minLon = f32(h + 20);
        s.minLat = f32(h + 24);
        s.maxLon = f32(h + 28);
        s.maxLat = f32(h + 32);
        s.columns = i32(h + 36);
        s.rows = i32(h + 40);
        if (!(s.minLon < s.maxLon) || !(s.minLat < s.maxLat) || !std::isfinite(s.minLon) ||
            !std::isfinite(s.maxLon) || !std::isfinite(s.minLat) || !std::isfinite(s.maxLat)) {
            e.error(fn, 23, "Grid file %s: sub-grid %zu has an empty or invalid extent", name, i);
            return false;
        }
        if (s.columns < 2 || s.rows < 2) {
            e.error(fn, 24, "Grid file %s: sub-grid %zu has %d columns and %d rows", name, i,
                    s.columns, s.rows);
            return false;
        }
        const uint64_t nodes = static_cast<uint64_t>(s.columns) * static_cast<uint64_t>(s.rows);
        const uint64_t bytesNeeded = nodes * 8;
        if (offset < 1 || static_cast<uint64_t>(offset - 1) < count * kHeaderSize ||
            static_cast<uint64_t>(offset - 1) > size || bytesNeeded > size - (offset - 1)) {
            e.error(fn, 25, "Grid file %s: node data of sub-grid %zu lie outside the file", name,
                    i);
            return false;
        }
        s.lonScale = (s.columns - 1) / (s.maxLon - s.minLon);
        s.latScale = (s.rows - 1) / (s.maxLat - s.minLat);
        s.nodes.resize(static_cast<size_t>(nodes) * 2);
        const unsigned char *d = p + (offset - 1);
        for (size_t k = 0; k < s.nodes.size(); ++k) s.nodes[k] = f32(d + 4 * k);
        for (float v : s.nodes)
            if (!std::isfinite(v)) {
                e.error(fn, 26, "Grid file %s: sub-grid %zu holds a shift that is not finite", name,
                        i);
                return false;
            }
    }
    return true;
}

// Longitude into [-180, 180] and latitude folded back beyond the poles.
void normalizeDegrees(double *lon, double *lat) {
    if (*lat > 90) {
        *lat = 180 - *lat;
        *lon += 180;
    } else if (*lat < -90) {
        *lat = -180 - *lat;
        *lon += 180;
    }
    if (*lon > 180)
        *lon -= 360;
    else if (*lon < -180)
        *lon += 360;
}

bool checkPoints(const Kprj_Grid *grid, const Kprj_Coordinate *in, Kprj_Coordinate *out,
                 int32_t count, const char *fn, Report &e) {
    if (!grid || !in || !out || count < 1) {
        e.error(fn, 1, "Empty argument(s).");
        return false;
    }
    return true;
}

}  // namespace

namespace kr::prj {

Kprj_Grid *gridRetain(Kprj_Grid *grid) {
    if (grid) grid->references.fetch_add(1);
    return grid;
}

}  // namespace kr::prj

extern "C" {

KRASTER_API Kprj_Grid *kprj_DatumGridFileOpen(const char *gridName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumGridFileOpen";
    Report e(err);
    const std::string key = gridName ? gridName : "";
    try {
        std::lock_guard<std::mutex> lock(g_openMutex);
        auto &table = openGrids();
        if (auto it = table.find(key); it != table.end()) return kr::prj::gridRetain(it->second);
        auto *grid = new Kprj_Grid;
        grid->key = key;
        if (!key.empty()) {
            const std::string path = kr::prj::findDataFile(key.c_str());
            if (path.empty()) {
                delete grid;
                e.error(fn, 2, "%s:  File not found", key.c_str());
                return nullptr;
            }
            std::string bytes;
            if (!kr::prj::readFile(path, &bytes, fn, e)) {
                delete grid;
                e.error(fn, 3, "Cannot open the grid file");
                return nullptr;
            }
            if (!gridRead(bytes, key.c_str(), grid, fn, e)) {
                delete grid;
                return nullptr;
            }
        }
        table[key] = grid;
        return grid;
    } catch (const std::bad_alloc &) {
        e.error(fn, 4, "Cannot create space");
        return nullptr;
    }
}

KRASTER_API void kprj_DatumGridFileClose(Kprj_Grid *grid) {
    if (!grid) return;
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (grid->references.fetch_sub(1) != 1) return;
    auto &table = openGrids();
    if (auto it = table.find(grid->key); it != table.end() && it->second == grid) table.erase(it);
    delete grid;
}

KRASTER_API int32_t kprj_GridSubGridCount(const Kprj_Grid *grid) {
    return grid ? static_cast<int32_t>(grid->subGrids.size()) : 0;
}

KRASTER_API void kprj_GetShifts(const Kprj_Grid *grid, double lon, double lat, double *dlon,
                                double *dlat) {
    double x = 0, y = 0;
    if (grid)
        for (const SubGrid &s : grid->subGrids) {
            if (!(lon >= s.minLon && lon <= s.maxLon && lat >= s.minLat && lat <= s.maxLat))
                continue;
            const double fc = (lon - s.minLon) * s.lonScale, fr = (lat - s.minLat) * s.latScale;
            const int32_t c = std::min(static_cast<int32_t>(fc), s.columns - 2);
            const int32_t r = std::min(static_cast<int32_t>(fr), s.rows - 2);
            const double fx = fc - c, fy = fr - r;
            const float *n00 = &s.nodes[(static_cast<size_t>(r) * s.columns + c) * 2];
            const float *n10 = n00 + 2;
            const float *n01 = n00 + static_cast<size_t>(s.columns) * 2;
            const float *n11 = n01 + 2;
            double v[2];
            for (int k = 0; k < 2; ++k)
                v[k] = n00[k] + fx * (n10[k] - n00[k]) + fy * (n01[k] - n00[k]) +
                       fx * fy * (n11[k] - n01[k] - n10[k] + n00[k]);
            x = -v[0];
            y = v[1];
            break;
        }
    if (dlon) *dlon = x;
    if (dlat) *dlat = y;
}

KRASTER_API int kprj_ShiftForward(const Kprj_Grid *grid, const Kprj_Coordinate *in,
                                  Kprj_Coordinate *out, int32_t count, Kerr_ErrorReport **err) {
    Report e(err);
    if (!checkPoints(grid, in, out, count, "kprj_ShiftForward", e)) return -1;
    for (int32_t i = 0; i < count; ++i) {
        double lon = in[i].x / kDegree, lat = in[i].y / kDegree;
        if (lon > 180)
            lon -= 360;
        else if (lon < -180)
            lon += 360;
        double dlon, dlat;
        kprj_GetShifts(grid, lon, lat, &dlon, &dlat);
        lon += dlon / 3600;
        lat += dlat / 3600;
        normalizeDegrees(&lon, &lat);
        out[i].x = lon * kDegree;
        out[i].y = lat * kDegree;
    }
    return 0;
}

KRASTER_API int kprj_ShiftInverse(const Kprj_Grid *grid, const Kprj_Coordinate *in,
                                  Kprj_Coordinate *out, int32_t count, Kerr_ErrorReport **err) {
    Report e(err);
    if (!checkPoints(grid, in, out, count, "kprj_ShiftInverse", e)) return -1;
    for (int32_t i = 0; i < count; ++i) {
        double tlon = in[i].x / kDegree;
        const double tlat = in[i].y / kDegree;
        if (tlon > 180)
            tlon -= 360;
        else if (tlon < -180)
            tlon += 360;
        double lon = tlon, lat = tlat;
        for (int k = 0; k < 10; ++k) {
            double dlon, dlat;
            kprj_GetShifts(grid, lon, lat, &dlon, &dlat);
            const double rlon = lon + dlon / 3600 - tlon, rlat = lat + dlat / 3600 - tlat;
            lon -= rlon;
            lat -= rlat;
            if (std::fabs(rlon) <= 1e-9 && std::fabs(rlat) <= 1e-9) break;
        }
        normalizeDegrees(&lon, &lat);
        out[i].x = lon * kDegree;
        out[i].y = lat * kDegree;
    }
    return 0;
}

}  // extern "C"

// ---- NTv2 conversion -----------------------------------------------------------------

namespace {

struct NtSub {
    std::string name, parent;
    double sLat = 0, nLat = 0, eLon = 0, wLon = 0, latInc = 0, lonInc = 0;
    int32_t count = 0;
    size_t data = 0;  // byte offset of the first node record
    int32_t rows = 0, columns = 0;
    int depth = 0;
};

class NtReader {
  public:
    NtReader(const std::string &b, bool swap) : b_(b), swap_(swap) {}
    std::string key(size_t at) const { return trimmed(at, 8); }
    std::string text(size_t at) const { return trimmed(at + 8, 8); }
    int32_t integer(size_t at) const { return static_cast<int32_t>(word(at + 8, 4)); }
    double real(size_t at) const {
        const uint64_t u = word(at + 8, 8);
        double d;
        memcpy(&d, &u, sizeof d);
        return d;
    }
    float f32(size_t at) const {
        const auto u = static_cast<uint32_t>(word(at, 4));
        float f;
        memcpy(&f, &u, sizeof f);
        return f;
    }

  private:
    std::string trimmed(size_t at, size_t n) const {
        std::string s = b_.substr(at, n);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
        return s;
    }
    uint64_t word(size_t at, int n) const {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            const auto byte = static_cast<unsigned char>(b_[at + (swap_ ? i : n - 1 - i)]);
            v = v << 8 | byte;
        }
        return v;
    }
    const std::string &b_;
    bool swap_;
};

// True when the bytes start like an NTv2 file; *swap tells its byte order
// (the record count is 11 in either order).
bool ntv2Check(const std::string &b, bool *swap) {
    if (b.size() < 11 * 16 || b.compare(0, 8, "NUM_OREC") != 0) return false;
    *swap = b[8] == 0 && b[11] != 0;
    return true;
}

bool ntv2Read(const std::string &b, const NtReader *r, const char *name, std::vector<NtSub> *subs,
              double *unitOut, const char *fn, Report &e) {
    const int32_t orec = r->integer(0);
    const int32_t srec = r->integer(16);
    const int32_t files = r->integer(32);
    if (orec < 11 || orec > 64 || srec < 11 || srec > 64 || files < 1 || files > 100000) {
        e.error(fn, 11, "%s: invalid NTv2 header counts", name);
        return false;
    }
    double unit = 1;  // shifts and extents to arc-seconds
    for (int32_t k = 0; k < orec; ++k)
        if (r->key(16 * k) == "GS_TYPE") {
            const std::string t = r->text(16 * k);
            unit = t == "MINUTES" ? 60 : t == "DEGREES" ? 3600 : 1;
        }
    *unitOut = unit;
    size_t at = static_cast<size_t>(orec) * 16;
    for (int32_t f = 0; f < files; ++f) {
        if (at + static_cast<size_t>(srec) * 16 > b.size()) {
            e.error(fn, 12, "%s: sub-file %d header lies beyond the end of the file", name, f);
            return false;
        }
        NtSub s;
        bool haveCount = false;
        for (int32_t k = 0; k < srec; ++k) {
            const size_t rec = at + 16 * k;
            const std::string key = r->key(rec);
            if (key == "SUB_NAME")
                s.name = r->text(rec);
            else if (key == "PARENT")
                s.parent = r->text(rec);
            else if (key == "S_LAT")
                s.sLat = r->real(rec) * unit;
            else if (key == "N_LAT")
                s.nLat = r->real(rec) * unit;
            else if (key == "E_LONG")
                s.eLon = r->real(rec) * unit;
            else if (key == "W_LONG")
                s.wLon = r->real(rec) * unit;
            else if (key == "LAT_INC")
                s.latInc = r->real(rec) * unit;
            else if (key == "LONG_INC")
                s.lonInc = r->real(rec) * unit;
            else if (key == "GS_COUNT") {
                s.count = r->integer(rec);
                haveCount = true;
            }
        }
        at += static_cast<size_t>(srec) * 16;
        if (!haveCount || !(s.latInc > 0) || !(s.lonInc > 0) || !(s.nLat > s.sLat) ||
            !(s.wLon > s.eLon) || (s.nLat - s.sLat) / s.latInc > 1e7 ||
            (s.wLon - s.eLon) / s.lonInc > 1e7) {
            e.error(fn, 13, "%s: sub-file %d has an invalid extent or count", name, f);
            return false;
        }
        s.rows = static_cast<int32_t>(std::lround((s.nLat - s.sLat) / s.latInc)) + 1;
        s.columns = static_cast<int32_t>(std::lround((s.wLon - s.eLon) / s.lonInc)) + 1;
        if (static_cast<int64_t>(s.rows) * s.columns != s.count ||
            static_cast<uint64_t>(s.count) * 16 > b.size() - at) {
            e.error(fn, 14, "%s: sub-file %d holds %d nodes for %d rows and %d columns", name, f,
                    s.count, s.rows, s.columns);
            return false;
        }
        s.data = at;
        at += static_cast<size_t>(s.count) * 16;
        subs->push_back(std::move(s));
    }
    return true;
}

void put32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i) & 0xff));
}
void putFloat(std::string &out, float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    put32(out, u);
}

}  // namespace

extern "C" {

KRASTER_API int kprj_GridFileConvertNTv2(const char *inFileName, const char *outFileName,
                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_GridFileConvertNTv2";
    Report e(err);
    if (!inFileName || !outFileName) {
        e.error(fn, 1, "Empty argument(s).");
        return -1;
    }
    try {
        std::string b;
        if (!kr::prj::readFile(inFileName, &b, fn, e)) return -1;
        std::vector<NtSub> subs;
        bool swap = false;
        if (!ntv2Check(b, &swap)) {
            e.error(fn, 10, "%s is not an NTv2 grid-shift file", inFileName);
            return -1;
        }
        const NtReader reader(b, swap);
        const NtReader *r = &reader;
        double unit = 1;
        if (!ntv2Read(b, r, inFileName, &subs, &unit, fn, e)) return -1;
        // A sub-grid comes before its parent so that the first sub-grid
        // holding a point is the most detailed one.
        for (NtSub &s : subs) {
            const NtSub *p = &s;
            for (int guard = 0; guard < static_cast<int>(subs.size()); ++guard) {
                auto it = std::find_if(subs.begin(), subs.end(),
                                       [&](const NtSub &q) { return q.name == p->parent; });
                if (p->parent == "NONE" || it == subs.end()) break;
                ++s.depth;
                p = &*it;
            }
        }
        std::stable_sort(subs.begin(), subs.end(),
                         [](const NtSub &x, const NtSub &y) { return x.depth > y.depth; });
        std::string out;
        const size_t headers = subs.size() * kHeaderSize;
        size_t data = headers;
        for (const NtSub &s : subs) {
            if (data + 1 > 0x7fffffff) {
                e.error(fn, 2, "%s is too large for a shift-grid file", inFileName);
                return -1;
            }
            char name[16] = {};
            memcpy(name, s.name.c_str(), std::min<size_t>(s.name.size(), 15));
            out.append(name, 16);
            put32(out, static_cast<uint32_t>(data + 1));
            // NTv2 longitudes are positive west.
            putFloat(out, static_cast<float>(-s.wLon / 3600));
            putFloat(out, static_cast<float>(s.sLat / 3600));
            putFloat(out, static_cast<float>(-s.eLon / 3600));
            putFloat(out, static_cast<float>(s.nLat / 3600));
            put32(out, static_cast<uint32_t>(s.columns));
            put32(out, static_cast<uint32_t>(s.rows));
            data += static_cast<size_t>(s.count) * 8;
        }
        for (const NtSub &s : subs) {
            // NTv2 rows run from east to west; ours from west to east. Both
            // hold the longitude shift positive west.
            for (int32_t row = 0; row < s.rows; ++row)
                for (int32_t col = 0; col < s.columns; ++col) {
                    const size_t rec =
                        s.data +
                        (static_cast<size_t>(row) * s.columns + (s.columns - 1 - col)) * 16;
                    putFloat(out, static_cast<float>(r->f32(rec + 4) * unit));
                    putFloat(out, static_cast<float>(r->f32(rec) * unit));
                }
        }
        Kfio_Fd *fd = kfio_Open(outFileName, "w", e.out());
        if (!fd) {
            e.error(fn, 3, "Cannot create %s", outFileName);
            return -1;
        }
        const size_t written = kfio_WriteSeq(fd, out.data(), out.size(), e.out());
        const int closed = kfio_Close(fd, e.out());
        if (written != out.size() || closed != 0) {
            e.error(fn, 4, "Cannot write %s", outFileName);
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "Cannot create space");
        return -1;
    }
}

}  // extern "C"
