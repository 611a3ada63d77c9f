// The compiled half of the kraster Python package: images opened by path,
// raster reads and writes straight between numpy buffers and the layers'
// block caches, statistics and histograms, descriptor-table columns,
// pyramid levels, copies and the list of raster formats. The pure-Python
// half (kraster/__init__.py) shapes arguments and results.
//
// Every library failure leaves the interpreter as one kraster.KRasterError
// carrying the whole report chain. Library calls run without the GIL; a
// layer handle serves one thread at a time, so each layer has its own
// mutex, taken only after the GIL is released.
#include <kraster/kraster.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

using ReportList = std::vector<std::tuple<std::string, int, std::string>>;

// A failed call, carried out of a region that runs without the GIL.
struct Failure {
    ReportList reports;
};

// Owns the report chain of a call; raise() turns it into a Failure. A call
// that fails without a report gets one naming the wrapper.
class Reports {
  public:
    Reports() = default;
    Reports(const Reports &) = delete;
    Reports &operator=(const Reports &) = delete;
    ~Reports() { kerr_DeleteErrorReport(err_); }
    Kerr_ErrorReport **out() { return &err_; }
    [[noreturn]] void raise(const char *function, const std::string &what) const {
        Failure f;
        for (const Kerr_ErrorReport *r = err_; r; r = r->next)
            f.reports.emplace_back(r->function ? r->function : "", r->code,
                                   r->message ? r->message : "");
        if (f.reports.empty()) f.reports.emplace_back(function, 0, what);
        throw f;
    }

  private:
    Kerr_ErrorReport *err_ = nullptr;
};

// Library text may hold bytes that are not UTF-8 (file names).
py::str text(const std::string &s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

Kint_InitToolkitData *toolkit() {
    static Kint_InitToolkitData *tk = [] {
        Reports r;
        Kint_InitToolkitData *t = kint_InitToolkit(r.out());
        if (!t) r.raise("kint_InitToolkit", "the library could not start");
        return t;
    }();
    return tk;
}

// Heap array of heap strings, as the name lists of the library come.
std::vector<std::string> takeStrings(long count, char **names) {
    std::vector<std::string> out;
    for (long i = 0; i < count; ++i) {
        out.emplace_back(names[i] ? names[i] : "");
        kmsc_HeapFree(names[i]);
    }
    kmsc_HeapFree(names);
    return out;
}

int32_t bytesPerPixel(int32_t type) {
    if (type < 0 || type > KGDA_TYPE_C128) throw py::value_error("not a pixel type code");
    return kmsc_AddressOf_kgda_NumBytesPerPixel()[type];
}

// Rows of a pixel rectangle per call: BaseData sizes are 32-bit.
constexpr int64_t kBandBytes = int64_t(1) << 30;

// Moves rows x columns pixels of type between the C-contiguous buffer and the
// layer at (column, row), in bands of rows, each buffer band lent to the
// library as a pixel rectangle.
void transfer(Kimg_Layer *h, long column, long row, int64_t rows, int64_t columns, char *buffer,
              int32_t type, bool write) {
    const int64_t line = columns * bytesPerPixel(type);
    const int64_t band = std::max<int64_t>(1, kBandBytes / std::max<int64_t>(line, 1));
    for (int64_t r = 0; r < rows; r += band) {
        const int64_t n = std::min(band, rows - r);
        Reports rep;
        Kgda_BaseData *rect =
            kgda_BaseDataCreate(static_cast<int32_t>(n), static_cast<int32_t>(columns), type,
                                KGDA_RASTER_OBJECT, buffer + r * line, rep.out());
        if (!rect) rep.raise("kgda_BaseDataCreate", "cannot lend the array to the library");
        const int rc =
            write ? kimg_LayerRasterPixelRectSet(h, column, row + r, columns, n, rect, rep.out())
                  : kimg_LayerRasterPixelRectGet(h, column, row + r, columns, n, rect, rep.out());
        kgda_BaseDataDelete(rect, nullptr);
        if (rc != 0)
            rep.raise(write ? "kimg_LayerRasterPixelRectSet" : "kimg_LayerRasterPixelRectGet",
                      "the raster transfer failed");
    }
}

py::dict statisticsDict(const Ksta_Statistics &s) {
    py::dict d;
    d["minimum"] = s.minimum;
    d["maximum"] = s.maximum;
    d["mean"] = s.mean;
    d["median"] = s.median;
    d["mode"] = s.mode;
    d["stddev"] = s.stddev;
    return d;
}

// Counts and the lower and upper value of every bin, with the bin
// function's title.
py::tuple histogramTuple(const Ksta_Histogram *h) {
    const py::ssize_t n = h->binCount > 0 ? h->binCount : 0;
    py::array_t<double> counts(n), lower(n), upper(n);
    double *c = counts.mutable_data(), *lo = lower.mutable_data(), *up = upper.mutable_data();
    std::copy(h->counts, h->counts + n, c);
    Reports rep;
    for (py::ssize_t i = 0; i < n; ++i)
        if (kdsc_BinFunctionApplyInverse(h->binFunction, static_cast<int32_t>(i), lo + i, up + i,
                                         rep.out()) != 0)
            rep.raise("kdsc_BinFunctionApplyInverse", "the bin limits are unknown");
    const char *title = kdsc_BinFunctionTitle(h->binFunction);
    return py::make_tuple(counts, lower, upper, title ? title : "");
}

struct HistogramDeleter {
    void operator()(Ksta_Histogram *h) const { ksta_HistogramDelete(h); }
};
using HistogramPtr = std::unique_ptr<Ksta_Histogram, HistogramDeleter>;

// An open image: its layer names, and a handle per layer opened on first
// use. quiet handles neither recompute statistics nor pyramids when they
// close after a write (many short writers of one layer).
class Image {
  public:
    Image(const std::string &path, bool update, bool quiet) : path_(path), update_(update) {
        toolkit();
        std::vector<std::string> names;
        {
            py::gil_scoped_release nogil;
            Reports rep;
            long count = 0;
            char **list = nullptr;
            if (kimg_FileNameGetOriginalLayerNames(path.c_str(), &count, &list, rep.out()) != 0)
                rep.raise("kimg_FileNameGetOriginalLayerNames",
                          "cannot list the layers of " + path);
            names = takeStrings(count, list);
        }
        if (names.empty()) Reports().raise("kraster.open", path + " has no layers");
        for (std::string &n : names) {
            layers_.push_back(std::make_unique<Layer>());
            layers_.back()->name = std::move(n);
        }
        if (quiet)
            options_ = {KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, KIMG_LAYER_OPTION_RRD_COMPUTE_ON_CLOSE,
                        0};
        if (!update) options_.push_back(KIMG_LAYER_OPTION_READONLY);
        options_.push_back(0);
    }
    ~Image() {
        try {
            close();
        } catch (...) {
            // Closing failed: the handles are freed all the same.
        }
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto &l : layers_) out.push_back(l->name);
        return out;
    }

    // name, width, height, layer type, pixel type, block width and height,
    // compression name, read-only flag, format title.
    py::tuple info(size_t i) {
        Kimg_LayerInfo li{};
        std::string compression, title;
        {
            py::gil_scoped_release nogil;
            Layer &l = at(i);
            std::lock_guard<std::mutex> lock(l.m);
            Kimg_Layer *h = handle(l);
            Reports rep;
            if (kimg_LayerInfoGet(h, &li, rep.out()) != 0)
                rep.raise("kimg_LayerInfoGet", "cannot describe " + l.name);
            const char *c = kimg_LayerCompressionTypeQuery(h);
            const char *t = kimg_LayerGetTitle(h);
            compression = c ? c : "";
            title = t ? t : "";
        }
        return py::make_tuple(text(layers_[i]->name), li.width, li.height, li.layerType,
                              li.pixelType, li.blockWidth, li.blockHeight, text(compression),
                              bool(li.readOnly), text(title));
    }

    // Reads into out (C-contiguous, 2-D, elements of type) from (column, row).
    void read(size_t i, long column, long row, py::array out, int32_t type) {
        checkBuffer(out, type, true);
        char *base = static_cast<char *>(out.mutable_data());
        const int64_t rows = out.shape(0), columns = out.shape(1);
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        transfer(handle(l), column, row, rows, columns, base, type, false);
    }

    void write(size_t i, long column, long row, py::array in, int32_t type) {
        checkBuffer(in, type, false);
        // The library only reads a rectangle that is written.
        char *base = const_cast<char *>(static_cast<const char *>(in.data()));
        const int64_t rows = in.shape(0), columns = in.shape(1);
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        transfer(handle(l), column, row, rows, columns, base, type, true);
    }

    // Statistics and histogram of a layer (stored when writable): the
    // statistics, the pixel count and the histogram tuple or None.
    py::tuple computeStatistics(size_t i, std::optional<std::pair<long, long>> skip,
                                const std::vector<double> &exclude) {
        Ksta_AllStats *all = nullptr;
        {
            py::gil_scoped_release nogil;
            Layer &l = at(i);
            std::lock_guard<std::mutex> lock(l.m);
            Kimg_Layer *h = handle(l);
            Reports rep;
            std::vector<double> values(exclude);
            Kgda_BaseData *table = nullptr;
            std::vector<intptr_t> o;
            if (skip)
                o.insert(o.end(), {KIMG_LAYER_OPTION_SKIP_FACTORS, skip->first, skip->second});
            if (values.empty()) {
                o.push_back(KIMG_LAYER_OPTION_NO_EXCLUDED_VALUES);
            } else {
                table = kgda_BaseDataCreate(1, static_cast<int32_t>(values.size()), KGDA_TYPE_F64,
                                            KGDA_TABLE_OBJECT, values.data(), rep.out());
                if (!table) rep.raise("kgda_BaseDataCreate", "cannot hold the excluded values");
                o.insert(o.end(),
                         {KIMG_LAYER_OPTION_EXCLUDED_VALUES, reinterpret_cast<intptr_t>(table)});
            }
            o.push_back(0);
            const int rc = kimg_LayerChangeOptionsVAPtr(h, rep.out(), o.data());
            kgda_BaseDataDelete(table, nullptr);
            if (rc != 0) rep.raise("kimg_LayerChangeOptions", "bad statistics options");
            all = ksta_AllStatsCreate(nullptr, 0, rep.out());
            if (!all) rep.raise("ksta_AllStatsCreate", "out of memory");
            if (kimg_LayerComputeStatistics(h, all, rep.out()) != 0) {
                ksta_AllStatsDelete(all);
                rep.raise("kimg_LayerComputeStatistics", "the statistics failed");
            }
        }
        std::unique_ptr<Ksta_AllStats, void (*)(Ksta_AllStats *)> owner(all, ksta_AllStatsDelete);
        py::object hist = all->histogram ? py::object(histogramTuple(all->histogram)) : py::none();
        return py::make_tuple(statisticsDict(all->statistics), all->pixelCount, hist);
    }

    py::dict statistics(size_t i) {
        Ksta_Statistics s{};
        {
            py::gil_scoped_release nogil;
            Layer &l = at(i);
            std::lock_guard<std::mutex> lock(l.m);
            Reports rep;
            Ksta_Statistics *p = kimg_StatisticsRead(handle(l), rep.out());
            if (!p) rep.raise("kimg_StatisticsRead", "no statistics");
            s = *p;
            ksta_StatisticsDelete(p);
        }
        return statisticsDict(s);
    }

    py::tuple histogram(size_t i) {
        HistogramPtr h;
        {
            py::gil_scoped_release nogil;
            Layer &l = at(i);
            std::lock_guard<std::mutex> lock(l.m);
            Reports rep;
            h.reset(kimg_HistogramRead(handle(l), rep.out()));
            if (!h) rep.raise("kimg_HistogramRead", "no histogram");
        }
        return histogramTuple(h.get());
    }

    std::vector<std::string> columns(size_t i, const std::optional<std::string> &table) {
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        Table t(handle(l), table, 0);
        Reports rep;
        Kstr_StringList *list = kdsc_TableListColumns(t.table, rep.out());
        if (!list) rep.raise("kdsc_TableListColumns", "cannot list the columns");
        std::vector<std::string> out(list->strings, list->strings + list->count);
        kstr_StringListFree(list);
        return out;
    }

    // A column as an array (integer, real, complex) or a list of strings.
    py::object readColumn(size_t i, const std::optional<std::string> &table,
                          const std::string &name) {
        Kgda_BaseData *data = nullptr;
        {
            py::gil_scoped_release nogil;
            Layer &l = at(i);
            std::lock_guard<std::mutex> lock(l.m);
            Table t(handle(l), table, 0);
            Reports rep;
            int32_t rows = 0;
            if (kdsc_TableRowCountGet(t.table, &rows, rep.out()) != 0)
                rep.raise("kdsc_TableRowCountGet", "cannot count the rows");
            Kdsc_Column *c = kdsc_ColumnOpen(t.table, name.c_str(), rep.out());
            if (!c) rep.raise("kdsc_ColumnOpen", "no column " + name);
            data = rows > 0 ? kdsc_ColumnRead(c, 0, rows, nullptr, rep.out()) : nullptr;
            kdsc_ColumnClose(c, nullptr);
            if (rows > 0 && !data) rep.raise("kdsc_ColumnRead", "cannot read column " + name);
        }
        std::unique_ptr<Kgda_BaseData, void (*)(Kgda_BaseData *)> owner(
            data, [](Kgda_BaseData *b) { kgda_BaseDataDelete(b, nullptr); });
        if (!data) return py::array_t<double>(0);
        const py::ssize_t n = data->numelements;
        if (data->datatype == KGDA_STRING_TYPE_CODE) {
            py::list out;
            for (py::ssize_t k = 0; k < n; ++k) {
                const char *s = *reinterpret_cast<char **>(data->windowStart + k * data->numbytes);
                out.append(s ? py::object(text(s)) : py::object(py::none()));
            }
            return out;
        }
        auto copy = [&](auto sample) {
            using T = decltype(sample);
            py::array_t<T> out(n);
            std::copy_n(reinterpret_cast<const T *>(data->windowStart), n, out.mutable_data());
            return py::object(out);
        };
        switch (data->datatype) {
            case KGDA_TYPE_S32:
                return copy(int32_t{});
            case KGDA_TYPE_F64:
                return copy(double{});
            case KGDA_TYPE_C128:
                return copy(std::complex<double>{});
            default:
                Reports().raise("kraster.read_column", "column of an unknown element type");
        }
    }

    // Writes values (s32, f64 or c128 elements, or strings) as the column,
    // making the table (of that many rows) and the column when missing.
    void writeColumn(size_t i, const std::optional<std::string> &table, const std::string &name,
                     py::object values) {
        std::vector<std::string> strings;
        std::vector<const char *> pointers;
        py::array array;
        int32_t type = KGDA_STRING_TYPE_CODE;
        const bool numeric = py::isinstance<py::array>(values);
        if (numeric) {
            array = values.cast<py::array>();
            const char kind = array.dtype().kind();
            type = kind == 'c' ? KGDA_TYPE_C128 : kind == 'f' ? KGDA_TYPE_F64 : KGDA_TYPE_S32;
            const size_t expect = type == KGDA_TYPE_C128 ? 16 : type == KGDA_TYPE_F64 ? 8 : 4;
            if (array.ndim() != 1 || array.itemsize() != py::ssize_t(expect) ||
                !(array.flags() & py::array::c_style))
                throw py::value_error(
                    "a column is a contiguous 1-D array of int32, float64 or complex128");
        } else {
            for (py::handle v : values) strings.push_back(v.cast<std::string>());
            for (const std::string &s : strings) pointers.push_back(s.c_str());
        }
        const int32_t rows =
            static_cast<int32_t>(numeric ? array.shape(0) : py::ssize_t(strings.size()));
        void *buffer =
            numeric ? const_cast<void *>(array.data()) : static_cast<void *>(pointers.data());
        size_t width = 1;
        for (const std::string &s : strings) width = std::max(width, s.size() + 1);
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        Table t(handle(l), table, rows);
        Reports rep;
        int32_t have = 0;
        if (kdsc_TableRowCountGet(t.table, &have, rep.out()) != 0)
            rep.raise("kdsc_TableRowCountGet", "cannot count the rows");
        if (have < rows && kdsc_TableRowCountSet(t.table, rows, rep.out()) != 0)
            rep.raise("kdsc_TableRowCountSet", "cannot grow the table");
        Kdsc_Column *c = kdsc_ColumnOpenIfPresent(t.table, name.c_str(), rep.out());
        if (!c && !*rep.out()) {
            const int32_t columnType = kmsc_AddressOf_Kdsc_BdToColConvertTbl()[type];
            c = kdsc_ColumnCreate(t.table, name.c_str(), columnType, static_cast<int32_t>(width),
                                  rep.out());
        }
        if (!c) rep.raise("kdsc_ColumnCreate", "cannot make column " + name);
        Kgda_BaseData *data =
            rows > 0 ? kgda_BaseDataCreate(rows, 1, type, KGDA_TABLE_OBJECT, buffer, rep.out())
                     : nullptr;
        const int rc = !data ? (rows > 0 ? -1 : 0) : kdsc_ColumnWrite(c, 0, rows, data, rep.out());
        kgda_BaseDataDelete(data, nullptr);
        if (kdsc_ColumnClose(c, rep.out()) != 0 || rc != 0)
            rep.raise("kdsc_ColumnWrite", "cannot write column " + name);
    }

    void buildPyramids(size_t i, const std::optional<std::string> &kernel) {
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        Kimg_Layer *h = handle(l);
        Reports rep;
        if (kernel) {
            const intptr_t o[] = {KIMG_LAYER_OPTION_RRD_KERNEL,
                                  reinterpret_cast<intptr_t>(kernel->c_str()), 0};
            if (kimg_LayerChangeOptionsVAPtr(h, rep.out(), o) != 0)
                rep.raise("kimg_LayerChangeOptions", "bad pyramid kernel");
        }
        if (kimg_LayerRRDCompute(h, rep.out()) != 0)
            rep.raise("kimg_LayerRRDCompute", "the pyramid levels failed");
    }

    // (full name, magnification) of every stored pyramid level.
    std::vector<std::pair<std::string, long>> pyramidLevels(size_t i) {
        py::gil_scoped_release nogil;
        Layer &l = at(i);
        std::lock_guard<std::mutex> lock(l.m);
        Kimg_Layer *h = handle(l);
        Reports rep;
        long count = 0, magCount = 0, *mags = nullptr;
        char **names = nullptr;
        if (kimg_SSLayerGetNames(h, &count, &names, rep.out()) != 0)
            rep.raise("kimg_SSLayerGetNames", "cannot list the pyramid levels");
        const std::vector<std::string> list = takeStrings(count, names);
        if (kimg_SSLayerGetMags(h, &magCount, &mags, rep.out()) != 0)
            rep.raise("kimg_SSLayerGetMags", "cannot list the pyramid levels");
        std::vector<std::pair<std::string, long>> out;
        for (long k = 0; k < count && k < magCount; ++k) out.emplace_back(list[k], mags[k]);
        kmsc_HeapFree(mags);
        return out;
    }

    void flush() {
        py::gil_scoped_release nogil;
        for (auto &l : layers_) {
            std::lock_guard<std::mutex> lock(l->m);
            Reports rep;
            if (l->handle && kimg_LayerRasterFlush(l->handle, rep.out()) != 0)
                rep.raise("kimg_LayerRasterFlush", "cannot write " + l->name);
        }
    }

    // Closes every handle (each is freed even when its close fails), then the
    // file itself, so that other processes see what was written. The first
    // failure is raised after all are closed.
    void close() {
        py::gil_scoped_release nogil;
        std::optional<Failure> first;
        auto keep = [&](const Reports &rep, const char *fn, const std::string &what) {
            try {
                rep.raise(fn, what);
            } catch (Failure &f) {
                if (!first) first = std::move(f);
            }
        };
        bool opened = false;
        for (auto &l : layers_) {
            std::lock_guard<std::mutex> lock(l->m);
            if (!l->handle) continue;
            opened = true;
            Reports rep;
            if (kimg_LayerClose(l->handle, rep.out()) != 0)
                keep(rep, "kimg_LayerClose", "cannot close " + l->name);
            l->handle = nullptr;
        }
        if (opened && update_) {
            Reports rep;
            if (kimg_FileNameDequeue(path_.c_str(), rep.out()) != 0)
                keep(rep, "kimg_FileNameDequeue", "cannot close " + path_);
        }
        if (first) throw *first;
    }

  private:
    struct Layer {
        std::string name;
        Kimg_Layer *handle = nullptr;
        std::mutex m;
    };

    // A layer's descriptor table for the length of a call (made with rows
    // rows when missing and rows is positive).
    struct Table {
        Kdsc_Table *table = nullptr;
        Table(Kimg_Layer *h, const std::optional<std::string> &name, int32_t rows) {
            Reports rep;
            const char *n = name ? name->c_str() : nullptr;
            Kstr_StringList *have = kimg_LayerListTables(h, rep.out());
            const bool exists = have && kstr_StringListFind(have, n ? n : "Descriptor_Table") >= 0;
            kstr_StringListFree(have);
            table = exists || rows <= 0 ? kimg_TableOpen(h, n, rep.out())
                                        : kimg_TableCreate(h, n, rows, nullptr, rep.out());
            if (!table) rep.raise("kimg_TableOpen", "no descriptor table");
        }
        ~Table() { kdsc_TableClose(table, nullptr); }
    };

    Layer &at(size_t i) {
        if (i >= layers_.size()) {
            // Raised by the caller's wrapper with the GIL held.
            Reports().raise("kraster", "layer index out of range");
        }
        return *layers_[i];
    }

    // The layer's handle, opened on first use (the layer's mutex held).
    Kimg_Layer *handle(Layer &l) {
        if (l.handle) return l.handle;
        Reports rep;
        Kimg_Layer *h = kimg_LayerOpenVAPtr(l.name.c_str(), toolkit(), rep.out(), options_.data());
        if (!h) rep.raise("kimg_LayerOpen", "cannot open " + l.name);
        if (update_ && kimg_LayerReadOnlyQuery(h)) {
            kimg_LayerClose(h, nullptr);
            Reports().raise("kraster.open", l.name + " cannot be opened for update");
        }
        l.handle = h;
        return h;
    }

    static void checkBuffer(const py::array &a, int32_t type, bool writable) {
        if (a.ndim() != 2 || !(a.flags() & py::array::c_style) ||
            a.itemsize() != bytesPerPixel(type) || (writable && !a.writeable()))
            throw py::value_error("the array must be 2-D, C-contiguous and of the pixel type");
    }

    std::string path_;
    bool update_;
    std::vector<intptr_t> options_;
    std::vector<std::unique_ptr<Layer>> layers_;
};

// Creates a layer of a new or existing file and closes it again.
void createLayer(const std::string &name, long width, long height, int32_t type, int32_t layerType,
                 std::optional<std::pair<long, long>> block,
                 const std::optional<std::string> &compression,
                 const std::optional<std::string> &title) {
    Kint_InitToolkitData *tk = toolkit();
    py::gil_scoped_release nogil;
    std::vector<intptr_t> o;
    if (block) o.insert(o.end(), {KIMG_LAYER_OPTION_BLOCK_SIZE, block->first, block->second});
    if (compression)
        o.insert(o.end(), {KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME,
                           reinterpret_cast<intptr_t>(compression->c_str())});
    if (title)
        o.insert(o.end(),
                 {KIMG_LAYER_OPTION_FILE_TITLE, reinterpret_cast<intptr_t>(title->c_str())});
    o.insert(o.end(), {KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE, 0});
    Reports rep;
    Kimg_Layer *l = kimg_LayerCreateVAPtr(name.c_str(), layerType, type, width, height, tk,
                                          rep.out(), o.data());
    if (!l) rep.raise("kimg_LayerCreate", "cannot create " + name);
    if (kimg_LayerClose(l, rep.out()) != 0) rep.raise("kimg_LayerClose", "cannot close " + name);
}

// Closes what the close queue holds of a file; with destroy, removes the
// file with its support files (what a failed creation leaves).
void release(const std::string &path, bool destroy) {
    py::gil_scoped_release nogil;
    Reports rep;
    if (kimg_FileNameDequeue(path.c_str(), rep.out()) != 0)
        rep.raise("kimg_FileNameDequeue", "cannot close " + path);
    if (destroy && kimg_FileDestroy(path.c_str(), rep.out()) != 0)
        rep.raise("kimg_FileDestroy", "cannot remove " + path);
}

void copy(const std::string &source, const std::string &destination,
          const std::optional<std::string> &title, const std::optional<std::string> &compression) {
    toolkit();
    py::gil_scoped_release nogil;
    Reports rep;
    const int rc = kimg_FileCopy(source.c_str(), destination.c_str(), rep.out(),
                                 KIMG_FILE_COPY_OPTION_COMPRESSION_TYPE_NAME,
                                 compression ? compression->c_str() : nullptr,
                                 KIMG_FILE_COPY_OPTION_TITLE, title ? title->c_str() : nullptr, 0);
    kimg_FileNameDequeue(source.c_str(), nullptr);
    kimg_FileNameDequeue(destination.c_str(), nullptr);
    if (rc != 0) rep.raise("kimg_FileCopy", "cannot copy " + source);
}

std::string identify(const std::string &path) {
    toolkit();
    py::gil_scoped_release nogil;
    Reports rep;
    char *title = kimg_FileTitleIdentify(path.c_str(), rep.out());
    if (!title) rep.raise("kimg_FileTitleIdentify", "no raster format recognises " + path);
    std::string out(title);
    kmsc_HeapFree(title);
    return out;
}

py::list formats() {
    toolkit();
    long count = 0;
    Kimg_RFDescription *d = nullptr;
    {
        py::gil_scoped_release nogil;
        Reports rep;
        if (kimg_RasterFormatsDescribe(&count, &d, rep.out()) != 0)
            rep.raise("kimg_RasterFormatsDescribe", "cannot describe the formats");
    }
    std::unique_ptr<Kimg_RFDescription, std::function<void(Kimg_RFDescription *)>> owner(
        d, [count](Kimg_RFDescription *p) { kimg_RasterFormatsDescriptionFree(count, p); });
    auto strings = [](long n, char **s) {
        py::list out;
        for (long k = 0; k < n; ++k) out.append(text(s[k] ? s[k] : ""));
        return out;
    };
    py::list out;
    for (long i = 0; i < count; ++i) {
        const Kimg_RFDescription &f = d[i];
        if (f.rejected) continue;
        py::dict e;
        e["name"] = text(f.instanceName ? f.instanceName : "");
        e["titles"] = strings(f.titleCount, f.titles);
        e["templates"] = strings(f.titleCount, f.templates);
        py::list creatable;
        for (long k = 0; k < f.titleCount; ++k) creatable.append(bool(f.creatable[k]));
        e["creatable"] = creatable;
        e["pixel_types"] = strings(f.pixelTypeCount, f.pixelTypes);
        e["compressions"] = strings(f.compressionCount, f.compressions);
        e["layer_types"] = strings(f.layerTypeCount, f.layerTypes);
        e["thread_safe"] = bool(f.threadSafe);
        out.append(e);
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_kraster, m) {
    m.doc() = "Compiled core of the kraster package; use the kraster module.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure &f) {
            py::object cls = py::module_::import("kraster._errors").attr("KRasterError");
            py::list reports;
            for (const auto &[fn, code, message] : f.reports)
                reports.append(py::make_tuple(text(fn), code, text(message)));
            PyErr_SetObject(cls.ptr(), cls(reports).ptr());
        }
    });
    toolkit();

    py::class_<Image>(m, "Image")
        .def(py::init<const std::string &, bool, bool>(), py::arg("path"), py::arg("update"),
             py::arg("quiet") = false)
        .def_property_readonly("names", &Image::names)
        .def("info", &Image::info)
        .def("read", &Image::read)
        .def("write", &Image::write)
        .def("compute_statistics", &Image::computeStatistics)
        .def("statistics", &Image::statistics)
        .def("histogram", &Image::histogram)
        .def("columns", &Image::columns)
        .def("read_column", &Image::readColumn)
        .def("write_column", &Image::writeColumn)
        .def("build_pyramids", &Image::buildPyramids)
        .def("pyramid_levels", &Image::pyramidLevels)
        .def("flush", &Image::flush)
        .def("close", &Image::close);
    m.def("create_layer", &createLayer);
    m.def("release", &release);
    m.def("copy", &copy);
    m.def("identify", &identify);
    m.def("formats", &formats);
    m.def("version", [] { return std::string(kint_Version()); });
}
