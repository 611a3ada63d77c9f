// The spheroid table ("spheroid.tab") and the State Plane table
// ("sptable.tab"): their grammars, parsers, the package copies read once,
// and the lookups by spheroid name, number and axes, datum name and State
// Plane zone.
//
// Spheroid table grammar (tokens STRING, INTEGER, FLOAT, the keywords
// PARAMETRIC, GRID, REGRESSION, and "{", "}", "-", "+"; "#" comments):
//   table    := spheroid table | (nothing)
//   spheroid := STRING integer number number "{" datums "}"
//   datums   := datum datums | (nothing)
//   datum    := STRING PARAMETRIC number number number [number number number
//   number]
//             | STRING GRID STRING | STRING REGRESSION
// State Plane table grammar:
//   table    := zone table | (nothing)
//   zone     := STRING integer integer integer integer "{" numbers "}"
// (name, projection kind, NAD code, zone number, alternate zone number,
// then the parameters).
#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>
#include <kraster/kstr.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "projection/kprj_datum.hpp"
#include "projection/kprj_internal.hpp"
#include "services/klex.hpp"

namespace {

using namespace kr::lex;
using kr::Report;

constexpr double kArcSecond = 4.848136811095359935899141e-6;  // radians

char *heapString(const std::string &s) {
    char *p = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    if (!p) throw std::bad_alloc();
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

template <class T>
T *heapRecord() {
    T *p = kr::prj::allocate<T>();
    if (!p) throw std::bad_alloc();
    return p;
}

// ---- Grammars
// ------------------------------------------------------------------------

enum Keyword { kParametric = kFirstKeyword, kGrid, kRegression };

enum Nonterminal {
    kTable = kFirstNonterminal,
    kSpheroid,
    kDatums,
    kDatum,
    kDatumBody,
    kRotations,
    kNumber,
    kUnsigned,
    kZone,
    kNumbers,
};

enum Action {
    kMakeSpheroid = kFirstAction,
    kMakeParametric,
    kMakeGrid,
    kMakeRegression,
    kNegate,
    kMark,
    kMakeZone
};

void numberProductions(Grammar &g) {
    const int minus = charToken('-'), plus = charToken('+');
    g.productions.push_back({kNumber, {kUnsigned}});
    g.productions.push_back({kNumber, {minus, kUnsigned, kNegate}});
    g.productions.push_back({kNumber, {plus, kUnsigned}});
    g.productions.push_back({kUnsigned, {kInteger}});
    g.productions.push_back({kUnsigned, {kFloat}});
}

Grammar spheroidGrammar() {
    Grammar g;
    g.keywords = {"PARAMETRIC", "GRID", "REGRESSION"};
    g.characters = "{}-+";
    g.nonterminals = {"table",     "spheroid", "datums",          "datum", "datum body",
                      "rotations", "number",   "unsigned number", "zone",  "numbers"};
    g.start = kTable;
    const int open = charToken('{'), close = charToken('}');
    g.productions = {
        {kTable, {kSpheroid, kTable}},
        {kTable, {}},
        {kSpheroid, {kString, kNumber, kNumber, kNumber, kMakeSpheroid, open, kDatums, close}},
        {kDatums, {kDatum, kDatums}},
        {kDatums, {}},
        {kDatum, {kString, kDatumBody}},
        {kDatumBody, {kParametric, kMark, kNumber, kNumber, kNumber, kRotations, kMakeParametric}},
        {kDatumBody, {kGrid, kString, kMakeGrid}},
        {kDatumBody, {kRegression, kMakeRegression}},
        {kRotations, {kNumber, kNumber, kNumber, kNumber}},
        {kRotations, {}},
    };
    numberProductions(g);
    return g;
}

Grammar spGrammar() {
    Grammar g;
    g.characters = "{}-+";
    g.nonterminals = {"table",     "spheroid", "datums",          "datum", "datum body",
                      "rotations", "number",   "unsigned number", "zone",  "numbers"};
    g.start = kTable;
    const int open = charToken('{'), close = charToken('}');
    g.productions = {
        {kTable, {kZone, kTable}},
        {kTable, {}},
        {kZone,
         {kString, kNumber, kNumber, kNumber, kNumber, open, kMark, kNumbers, close, kMakeZone}},
        {kNumbers, {kNumber, kNumbers}},
        {kNumbers, {}},
    };
    numberProductions(g);
    return g;
}

const Parser *parser(bool spheroid, std::string *why) {
    struct Built {
        Parser parser;
        bool ok = false;
        std::string failure;
    };
    static Built built[2];
    static std::once_flag once[2];
    Built &b = built[spheroid ? 0 : 1];
    std::call_once(once[spheroid ? 0 : 1], [&b, spheroid] {
        b.ok = b.parser.build(spheroid ? spheroidGrammar() : spGrammar(), &b.failure);
    });
    *why = b.failure;
    return b.ok ? &b.parser : nullptr;
}

// Pops a number pushed by the number rule; false when the stack holds none.
bool popNumber(std::vector<Value> &v, double *x) {
    if (v.empty() || (v.back().token != kInteger && v.back().token != kFloat)) return false;
    *x = v.back().number;
    v.pop_back();
    return true;
}

bool isWhole(double x) {
    return std::isfinite(x) && x == std::floor(x) && std::fabs(x) < 2147483647.0;
}

// What both table builders share: the list being built (freed unless
// released), signed numbers and the mark that opens a list of numbers.
template <class Entry, void (*Free)(Entry *)>
class ListBuilder : public Actions {
  public:
    ListBuilder(const char *source, const char *fn) : source_(source), fn_(fn) {}
    ~ListBuilder() override { Free(head_); }
    Entry *release() {
        Entry *h = head_;
        head_ = tail_ = nullptr;
        return h;
    }

  protected:
    // Handles the shared actions; false when `action` is not one of them.
    bool common(int action, std::vector<Value> &v, int line, Report &e, bool *ok) {
        if (action == kNegate) {
            *ok = !v.empty() || underflow(e);
            if (*ok) v.back().number = -v.back().number;
            return true;
        }
        if (action == kMark) {
            v.push_back(Value{-1, line, {}, 0});
            *ok = true;
            return true;
        }
        return false;
    }
    bool underflow(Report &e) {
        e.error(fn_, 20, "Parser value stack underflow");
        return false;
    }
    Entry *append() {
        auto *x = heapRecord<Entry>();
        (tail_ ? tail_->next : head_) = x;
        tail_ = x;
        return x;
    }
    const char *source_;
    const char *fn_;
    Entry *head_ = nullptr;
    Entry *tail_ = nullptr;
};

// Builds the spheroid list while the parser reads the table.
class SpheroidBuilder : public ListBuilder<Kprj_SpheroidEntry, kprj_SpheroidTableFree> {
  public:
    explicit SpheroidBuilder(const char *source) : ListBuilder(source, "kprj_SpheroidTableParse") {}

    bool act(int action, std::vector<Value> &v, int line, Report &e) override {
        const char *const fn = fn_;
        bool ok = false;
        if (common(action, v, line, e, &ok)) return ok;
        switch (action) {
            case kMakeSpheroid: {
                double number = 0, a = 0, b = 0;
                if (!popNumber(v, &b) || !popNumber(v, &a) || !popNumber(v, &number) || v.empty())
                    return underflow(e);
                const std::string name = v.back().text;
                v.pop_back();
                if (!isWhole(number) || number < 0) {
                    e.error(fn, 10,
                            "%s line %d: spheroid number %g is not a whole number of 0 or more",
                            source_, line, number);
                    return false;
                }
                if (!(b > 0) || b > a) {
                    e.error(fn, 11, "%s line %d: invalid axes %g and %g of spheroid \"%s\"",
                            source_, line, a, b, name.c_str());
                    return false;
                }
                if (name.empty() || !names_.insert(name).second ||
                    !numbers_.insert(static_cast<int32_t>(number)).second) {
                    e.error(fn, 12, "%s line %d: spheroid \"%s\" or number %d defined twice",
                            source_, line, name.c_str(), static_cast<int>(number));
                    return false;
                }
                Kprj_SpheroidEntry *s = append();
                s->name = heapString(name);
                s->number = static_cast<int32_t>(number);
                s->a = a;
                s->b = b;
                datums_.clear();
                return true;
            }
            case kMakeParametric: {
                double p[7] = {0, 0, 0, 0, 0, 0, 0};
                int n = 0;
                while (!v.empty() && v.back().token != -1) {
                    if (n == 7 || !popNumber(v, &p[6 - n])) return underflow(e);
                    ++n;
                }
                if (v.size() < 3 || (n != 3 && n != 7)) return underflow(e);
                v.pop_back();  // the mark
                v.pop_back();  // PARAMETRIC
                // Shift the values read into place: n values end at index 6.
                double q[7] = {0, 0, 0, 0, 0, 0, 0};
                for (int i = 0; i < n; ++i) q[i] = p[7 - n + i];
                for (int i = 3; i < 6; ++i) q[i] *= kArcSecond;
                q[6] *= 1e-6;
                Kprj_DatumEntry *d = datum(v, KPRJ_DATUM_PARAMETRIC, line, e);
                if (!d) return false;
                memcpy(d->params, q, sizeof q);
                return true;
            }
            case kMakeGrid: {
                if (v.size() < 3) return underflow(e);
                const std::string grid = v.back().text;
                v.pop_back();
                v.pop_back();  // GRID
                Kprj_DatumEntry *d = datum(v, KPRJ_DATUM_GRID, line, e);
                if (!d) return false;
                d->gridName = heapString(grid);
                return true;
            }
            case kMakeRegression:
                if (v.size() < 2) return underflow(e);
                v.pop_back();  // REGRESSION
                return datum(v, KPRJ_DATUM_REGRESSION, line, e) != nullptr;
            default:
                return underflow(e);
        }
    }

  private:
    // Appends a datum named by the string on top of the stack to the
    // current spheroid.
    Kprj_DatumEntry *datum(std::vector<Value> &v, int32_t type, int line, Report &e) {
        const std::string name = v.back().text;
        v.pop_back();
        if (name.empty() || !datums_.insert(name).second || !tail_) {
            e.error(fn_, 14,
                    "%s line %d: datum \"%s\" is empty or defined twice for spheroid "
                    "\"%s\"",
                    source_, line, name.c_str(), tail_ ? tail_->name : "");
            return nullptr;
        }
        auto *d = heapRecord<Kprj_DatumEntry>();
        Kprj_DatumEntry **at = &tail_->datums;
        while (*at) at = &(*at)->next;
        *at = d;
        d->name = heapString(name);
        d->type = type;
        return d;
    }

    std::set<std::string> names_;
    std::set<int32_t> numbers_;
    std::set<std::string> datums_;
};

// Builds the State Plane list while the parser reads the table.
class SPBuilder : public ListBuilder<Kprj_SPEntry, kprj_SPTableFree> {
  public:
    explicit SPBuilder(const char *source) : ListBuilder(source, "kprj_SPTableParse") {}

    bool act(int action, std::vector<Value> &v, int line, Report &e) override {
        const char *const fn = fn_;
        bool ok = false;
        if (common(action, v, line, e, &ok)) return ok;
        if (action != kMakeZone) return underflow(e);
        std::vector<double> params;
        while (!v.empty() && v.back().token != -1) {
            double x = 0;
            if (!popNumber(v, &x)) return underflow(e);
            params.insert(params.begin(), x);
        }
        if (v.empty()) return underflow(e);
        v.pop_back();  // the mark
        double head[4];
        for (int i = 3; i >= 0; --i)
            if (!popNumber(v, &head[i])) return underflow(e);
        if (v.empty()) return underflow(e);
        const std::string name = v.back().text;
        v.pop_back();
        for (double x : head)
            if (!isWhole(x)) {
                e.error(fn, 10, "%s line %d: %g is not a whole number", source_, line, x);
                return false;
            }
        const auto kind = static_cast<int32_t>(head[0]), nad = static_cast<int32_t>(head[1]),
                   zone = static_cast<int32_t>(head[2]), alternate = static_cast<int32_t>(head[3]);
        if (kind < KPRJ_SP_TRANSVERSE_MERCATOR || kind > KPRJ_SP_OBLIQUE_MERCATOR) {
            e.error(fn, 11, "%s line %d: invalid projection kind %d", source_, line, kind);
            return false;
        }
        if (nad != KPRJ_NAD27 && nad != KPRJ_NAD83) {
            e.error(fn, 12, "%s line %d: invalid NAD code %d", source_, line, nad);
            return false;
        }
        if (zone <= 0 || alternate < 0) {
            e.error(fn, 13, "%s line %d: invalid zone number %d or alternate %d", source_, line,
                    zone, alternate);
            return false;
        }
        if (params.size() < 9 || params.size() > 64) {
            e.error(fn, 14, "%s line %d: zone %d has %zu parameters; 9 to 64 are needed", source_,
                    line, zone, params.size());
            return false;
        }
        if (!(params[0] > 0) || !(params[1] >= 0)) {
            e.error(fn, 15, "%s line %d: invalid spheroid values of zone %d", source_, line, zone);
            return false;
        }
        if (!zones_.insert({zone, nad}).second ||
            (alternate > 0 && !alternates_.insert({alternate, nad}).second)) {
            e.error(fn, 16, "%s line %d: zone %d of NAD code %d defined twice", source_, line, zone,
                    nad);
            return false;
        }
        Kprj_SPEntry *z = append();
        z->name = heapString(name);
        z->projectionKind = kind;
        z->nadCode = nad;
        z->zoneNumber = zone;
        z->alternateZoneNumber = alternate;
        if (kprj_DblArrayCreate(static_cast<int32_t>(params.size()), &z->params, e.out()) < 0)
            throw std::bad_alloc();
        memcpy(z->params.data, params.data(), params.size() * sizeof(double));
        return true;
    }

  private:
    std::set<std::pair<int32_t, int32_t>> zones_, alternates_;
};

template <class Builder, class Entry>
Entry *parseText(bool spheroid, const char *text, size_t size, const char *source, const char *fn,
                 Report &e) {
    if (!text && size > 0) {
        e.error(fn, 1, "Invalid table text");
        return nullptr;
    }
    std::string why;
    const Parser *p = parser(spheroid, &why);
    if (!p) {
        e.error(fn, 2, "Table grammar: %s", why.c_str());
        return nullptr;
    }
    try {
        Builder builder(source);
        if (!p->parse(std::string_view(text ? text : "", size), source, builder, e)) {
            e.error(fn, 3, "Error returned from klex_Parse");
            return nullptr;
        }
        return builder.release();
    } catch (const std::bad_alloc &) {
        e.clear();
        e.error(fn, 4, "can't allocate space");
        return nullptr;
    }
}

template <class Builder, class Entry>
Entry *parseFile(bool spheroid, const char *fileName, const char *defaultName, const char *fn,
                 Report &e) {
    const std::string path = kr::prj::findDataFile(fileName ? fileName : defaultName);
    if (path.empty()) {
        e.error(fn, 5, "%s:  File not found", fileName ? fileName : defaultName);
        return nullptr;
    }
    std::string text;
    if (!kr::prj::readFile(path, &text, fn, e)) return nullptr;
    return parseText<Builder, Entry>(spheroid, text.data(), text.size(), path.c_str(), fn, e);
}

// The package tables, read once (a failed read is tried again next time).
std::mutex g_tablesMutex;
Kprj_SpheroidEntry *g_spheroids = nullptr;
bool g_spheroidsRead = false;
Kprj_SPEntry *g_zones = nullptr;
bool g_zonesRead = false;

bool toolkitReady(Kint_InitToolkitData *toolkit, const char *fn, Report &e) {
    if (!toolkit && !kint_GetInit()) {
        e.error(fn, 100, "Toolkit has not been initialized");
        return false;
    }
    return true;
}

const Kprj_SpheroidEntry *spheroids(const char *fn, Report &e) {
    std::lock_guard<std::mutex> lock(g_tablesMutex);
    if (!g_spheroidsRead) {
        Report r(e.out());
        Kprj_SpheroidEntry *t = parseFile<SpheroidBuilder, Kprj_SpheroidEntry>(
            true, nullptr, "spheroid.tab", "kprj_SpheroidTableParse", r);
        if (r.failed()) {
            e.error(fn, 101, "Error returned from kprj_SpheroidTableParse");
            return nullptr;
        }
        g_spheroids = t;
        g_spheroidsRead = true;
    }
    if (!g_spheroids) e.error(fn, 102, "The spheroid table is empty");
    return g_spheroids;
}

const Kprj_SPEntry *zones(const char *fn, Report &e) {
    std::lock_guard<std::mutex> lock(g_tablesMutex);
    if (!g_zonesRead) {
        Report r(e.out());
        Kprj_SPEntry *t = parseFile<SPBuilder, Kprj_SPEntry>(false, nullptr, "sptable.tab",
                                                             "kprj_SPTableParse", r);
        if (r.failed()) {
            e.error(fn, 101, "Error returned from kprj_SPTableParse");
            return nullptr;
        }
        g_zones = t;
        g_zonesRead = true;
    }
    if (!g_zones) e.error(fn, 102, "The State Plane table is empty");
    return g_zones;
}

const Kprj_SpheroidEntry *entryByName(const char *name, const char *fn, int code, Report &e) {
    const Kprj_SpheroidEntry *t = spheroids(fn, e);
    if (!t) return nullptr;
    for (; name && t; t = t->next)
        if (strcmp(t->name, name) == 0) return t;
    e.error(fn, code, "Invalid spheroid name");
    return nullptr;
}

const Kprj_SpheroidEntry *entryByNumber(int32_t number, const char *fn, Report &e) {
    const Kprj_SpheroidEntry *t = spheroids(fn, e);
    if (!t) return nullptr;
    for (; t; t = t->next)
        if (t->number == number) return t;
    e.error(fn, 3, "Spheroid number not found in Spheroid table");
    return nullptr;
}

bool fillFromAxes(double a, double b, Kprj_Spheroid *s) {
    if (!(a >= 6300000 && a <= 6420000 && b >= 6300000 && b <= 6420000)) return false;
    s->a = a;
    s->b = b;
    s->eSquared = (a * a - b * b) / (a * a);
    s->radius = kr::prj::equalAreaRadius(a, s->eSquared);
    return true;
}

bool fillFromEntry(const Kprj_SpheroidEntry *t, Kprj_Spheroid *s, const char *fn, Report &e) {
    if (!fillFromAxes(t->a, t->b, s)) {
        e.raise(fn, 4, 1,
                "Cannot compute spheroid from semi-major axis %g and semi-minor "
                "axis %g because "
                "these values are out of normal range for earth axes.",
                t->a, t->b);
        return false;
    }
    if (kprj_CharStrCreate(t->name, &s->sphereName, e.out()) < 0) {
        e.error(fn, 5, "Error allocating Spheroid");
        return false;
    }
    return true;
}

char *copyName(const char *name, const char *fn, Report &e) {
    char *p = static_cast<char *>(kmsc_HeapMalloc(strlen(name) + 1));
    if (!p) {
        e.error(fn, 9, "can't allocate space");
        return nullptr;
    }
    memcpy(p, name, strlen(name) + 1);
    return p;
}

bool isFile(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace kr::prj {

std::string findDataFile(const char *name) {
    if (!name || !*name) return {};
    if (strchr(name, '/')) return isFile(name) ? name : std::string();
    Kfio_SearchList *list = kfio_CreateSLFromEnv(nullptr, "ORVEL_PROJECTIONS_PATH", "", nullptr);
    std::string path;
    for (const Kfio_SearchList *s = list; s && path.empty(); s = s->next)
        if (s->directory && *s->directory && isFile(std::string(s->directory) + "/" + name))
            path = std::string(s->directory) + "/" + name;
    kfio_FreeSL(list);
    if (path.empty() && isFile(std::string(kint_DataDirectory()) + "/" + name))
        path = std::string(kint_DataDirectory()) + "/" + name;
    return path;
}

bool readFile(const std::string &path, std::string *text, const char *fn, Report &e) {
    Kfio_Fd *fd = kfio_Open(path.c_str(), "r", e.out());
    if (!fd) {
        e.error(fn, 6, "Cannot open %s", path.c_str());
        return false;
    }
    char buf[65536];
    while (true) {
        const size_t n = kfio_ReadSeq(fd, buf, sizeof buf, nullptr);
        text->append(buf, n);
        if (text->size() > kMaxDataFileSize) {
            kfio_Close(fd, nullptr);
            e.error(fn, 7, "%s is larger than %zu bytes", path.c_str(), kMaxDataFileSize);
            return false;
        }
        if (n < sizeof buf) break;
    }
    kfio_Close(fd, nullptr);
    return true;
}

double equalAreaRadius(double a, double es) {
    if (es <= 0) return a;
    const double e = std::sqrt(es);
    return a * std::sqrt((1 - es) / 2 * (1 / (1 - es) - 1 / (2 * e) * std::log((1 - e) / (1 + e))));
}

const Kprj_DatumEntry *datumEntry(const char *spheroidName, const char *datumName, const char *fn,
                                  Report &e) {
    const Kprj_SpheroidEntry *s = entryByName(spheroidName, fn, 2, e);
    if (!s) return nullptr;
    for (const Kprj_DatumEntry *d = s->datums; d; d = d->next)
        if (strcmp(d->name, datumName) == 0) return d;
    e.error(fn, 3, "Datum \"%s\" not found for spheroid \"%s\"", datumName, spheroidName);
    return nullptr;
}

bool spheroidByName(const char *name, Kprj_Spheroid *spheroid, const char *fn, Report &e) {
    const Kprj_SpheroidEntry *t = entryByName(name, fn, 102, e);
    return t && fillFromEntry(t, spheroid, fn, e);
}

bool datumByName(const char *spheroidName, const char *datumName, Kprj_Datum *datum, const char *fn,
                 Report &e) {
    if (!datumReset(datum)) {
        e.error(fn, 103, "Error returned from kprj_DatumByName");
        return false;
    }
    if (!spheroidName || !*spheroidName || !datumName || !*datumName ||
        kstr_Eqic(datumName, "Undefined"))
        return true;
    const Kprj_DatumEntry *d = datumEntry(spheroidName, datumName, fn, e);
    if (!d) return false;
    if (kprj_CharStrCreate(d->name, &datum->datumname, e.out()) < 0) {
        e.error(fn, 104, "Error allocating charStr->data");
        return false;
    }
    datum->type = d->type;
    if (d->type == KPRJ_DATUM_PARAMETRIC) {
        if (kprj_DblArrayCreate(7, &datum->params, e.out()) < 0) {
            e.error(fn, 104, "Error allocating charStr->data");
            return false;
        }
        memcpy(datum->params.data, d->params, sizeof d->params);
    } else if (d->type == KPRJ_DATUM_GRID) {
        if (kprj_CharStrCreate(d->gridName, &datum->gridname, e.out()) < 0) {
            e.error(fn, 104, "Error allocating charStr->data");
            return false;
        }
        datum->grid = kprj_DatumGridFileOpen(d->gridName, e.out());
        if (!datum->grid) {
            e.error(fn, 105, "Error returned from datafileOpen");
            datumReset(datum);
            return false;
        }
    }
    return true;
}

}  // namespace kr::prj

using namespace kr::prj;

extern "C" {

KRASTER_API Kprj_SpheroidEntry *kprj_SpheroidTableTextParse(const char *text, size_t size,
                                                            const char *sourceName,
                                                            Kerr_ErrorReport **err) {
    Report e(err);
    return parseText<SpheroidBuilder, Kprj_SpheroidEntry>(
        true, text, size, sourceName ? sourceName : "spheroid table", "kprj_SpheroidTableParse", e);
}

KRASTER_API Kprj_SpheroidEntry *kprj_SpheroidTableParse(const char *fileName,
                                                        Kerr_ErrorReport **err) {
    Report e(err);
    return parseFile<SpheroidBuilder, Kprj_SpheroidEntry>(true, fileName, "spheroid.tab",
                                                          "kprj_SpheroidTableParse", e);
}

KRASTER_API void kprj_SpheroidTableFree(Kprj_SpheroidEntry *table) {
    while (table) {
        Kprj_SpheroidEntry *next = table->next;
        for (Kprj_DatumEntry *d = table->datums; d;) {
            Kprj_DatumEntry *n = d->next;
            kmsc_HeapFree(d->name);
            kmsc_HeapFree(d->gridName);
            kmsc_HeapFree(d);
            d = n;
        }
        kmsc_HeapFree(table->name);
        kmsc_HeapFree(table);
        table = next;
    }
}

KRASTER_API Kprj_SPEntry *kprj_SPTableTextParse(const char *text, size_t size,
                                                const char *sourceName, Kerr_ErrorReport **err) {
    Report e(err);
    return parseText<SPBuilder, Kprj_SPEntry>(
        false, text, size, sourceName ? sourceName : "State Plane table", "kprj_SPTableParse", e);
}

KRASTER_API Kprj_SPEntry *kprj_SPTableParse(const char *fileName, Kerr_ErrorReport **err) {
    Report e(err);
    return parseFile<SPBuilder, Kprj_SPEntry>(false, fileName, "sptable.tab", "kprj_SPTableParse",
                                              e);
}

KRASTER_API void kprj_SPTableFree(Kprj_SPEntry *table) {
    while (table) {
        Kprj_SPEntry *next = table->next;
        kmsc_HeapFree(table->name);
        kprj_DblArrayFree(&table->params);
        kmsc_HeapFree(table);
        table = next;
    }
}

KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidTableRead(Kint_InitToolkitData *toolkit,
                                                             Kerr_ErrorReport **err) {
    Report e(err);
    if (!toolkitReady(toolkit, "kprj_SpheroidTableRead", e)) return nullptr;
    return spheroids("kprj_SpheroidTableRead", e);
}

KRASTER_API const Kprj_SPEntry *kprj_SPTableRead(Kint_InitToolkitData *toolkit,
                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!toolkitReady(toolkit, "kprj_SPTableRead", e)) return nullptr;
    return zones("kprj_SPTableRead", e);
}

KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidEntryByNumber(Kint_InitToolkitData *toolkit,
                                                                 int32_t number,
                                                                 Kerr_ErrorReport **err) {
    Report e(err);
    if (!toolkitReady(toolkit, "kprj_SpheroidEntryByNumber", e)) return nullptr;
    return entryByNumber(number, "kprj_SpheroidEntryByNumber", e);
}

KRASTER_API const Kprj_SpheroidEntry *kprj_SpheroidEntryByName(Kint_InitToolkitData *toolkit,
                                                               const char *name,
                                                               Kerr_ErrorReport **err) {
    Report e(err);
    if (!toolkitReady(toolkit, "kprj_SpheroidEntryByName", e)) return nullptr;
    return entryByName(name, "kprj_SpheroidEntryByName", 3, e);
}

KRASTER_API int kprj_SpheroidByName(Kint_InitToolkitData *toolkit, const char *name,
                                    Kprj_Spheroid *spheroid, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidByName";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return -1;
    if (!spheroid) {
        e.error(fn, 2, "Invalid input Kprj_Spheroid");
        return -1;
    }
    return spheroidByName(name, spheroid, fn, e) ? 0 : -1;
}

KRASTER_API int kprj_SpheroidByNum(Kint_InitToolkitData *toolkit, int32_t number,
                                   Kprj_Spheroid *spheroid, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidByNum";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return -1;
    if (!spheroid) {
        e.error(fn, 2, "Invalid input Kprj_Spheroid");
        return -1;
    }
    const Kprj_SpheroidEntry *t = entryByNumber(number, fn, e);
    return t && fillFromEntry(t, spheroid, fn, e) ? 0 : -1;
}

KRASTER_API int32_t kprj_SpheroidNumberByName(Kint_InitToolkitData *toolkit, const char *name,
                                              Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidNumberByName";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return -1;
    const Kprj_SpheroidEntry *t = entryByName(name, fn, 2, e);
    return t ? t->number : -1;
}

KRASTER_API int kprj_SpheroidByAxes(double a, double b, Kprj_Spheroid *spheroid,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidByAxes";
    Report e(err);
    if (!spheroid) {
        e.error(fn, 2, "Invalid input Kprj_Spheroid");
        return -1;
    }
    if (!fillFromAxes(a, b, spheroid)) {
        e.raise(fn, 1, 1,
                "Cannot compute spheroid from semi-major axis %g and semi-minor "
                "axis %g because "
                "these values are out of normal range for earth axes.",
                a, b);
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_SpheroidByParms(const Kprj_DblArrayPtr *proParams, Kprj_Spheroid *spheroid,
                                     Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidByParms";
    Report e(err);
    if (!proParams || proParams->count < 2 || !proParams->data) {
        e.error(fn, 1, "Insufficient projection parameters");
        return -1;
    }
    const double a = proParams->data[0], v = proParams->data[1];
    // The second value is the semi-minor axis, the eccentricity squared or
    // 0 for a sphere.
    const double b = v > 1 ? v : v > 0 && v < 1 ? a * std::sqrt(1 - v) : a;
    if (kprj_SpheroidByAxes(a, b, spheroid, e.out()) < 0) {
        e.error(fn, 2, "Error returned from kprj_SpheroidByAxes");
        return -1;
    }
    return 0;
}

KRASTER_API char *kprj_GetSpheroidNameByAxesWithTolerance(double a, double b, double tolerance,
                                                          Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_GetSpheroidNameByAxesWithTolerance";
    Report e(err);
    const Kprj_SpheroidEntry *t = spheroids(fn, e);
    for (; t; t = t->next)
        if (std::fabs(t->a - a) < tolerance && std::fabs(t->b - b) < tolerance)
            return copyName(t->name, fn, e);
    if (!e.failed()) e.error(fn, 1, "Spheroid name not found in Spheroid table");
    return nullptr;
}

KRASTER_API char *kprj_GetSpheroidNameByAxes(double a, double b, Kerr_ErrorReport **err) {
    Report e(err);
    char *name = kprj_GetSpheroidNameByAxesWithTolerance(a, b, 1e-5, e.out());
    if (!name) e.error("kprj_GetSpheroidNameByAxes", 1);
    return name;
}

KRASTER_API char *kprj_GetSpheroidNameByDatumName(const char *datumName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_GetSpheroidNameByDatumName";
    Report e(err);
    if (!datumName || !*datumName) {
        e.error(fn, 1, "The input datum name is not valid");
        return nullptr;
    }
    const Kprj_SpheroidEntry *t = spheroids(fn, e);
    for (; t; t = t->next)
        for (const Kprj_DatumEntry *d = t->datums; d; d = d->next)
            if (strcmp(d->name, datumName) == 0) return copyName(t->name, fn, e);
    if (!e.failed()) e.error(fn, 2, "Spheroid name not found based on the given datum name");
    return nullptr;
}

KRASTER_API int kprj_DatumByName(Kint_InitToolkitData *toolkit, const char *spheroidName,
                                 const char *datumName, Kprj_Datum *datum, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_DatumByName";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return -1;
    if (!datum) {
        e.error(fn, 2, "Invalid input Kprj_Datum");
        return -1;
    }
    return datumByName(spheroidName, datumName, datum, fn, e) ? 0 : -1;
}

KRASTER_API int kprj_ProParametersDatumSet(Kint_InitToolkitData *toolkit, Kprj_ProParameters *p,
                                           const char *datumName, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersDatumSet";
    Report e(err);
    if (!p || !p->proSpheroid) {
        e.error(fn, 1, "Invalid input ProProjection structure");
        return -1;
    }
    Kprj_Spheroid *s = p->proSpheroid;
    if (!s->datum && !(s->datum = allocate<Kprj_Datum>())) {
        e.error(fn, 2, "Error allocating charStr->data");
        return -1;
    }
    const char *sphere = s->sphereName.count > 0 && s->sphereName.data ? s->sphereName.data : "";
    if (kprj_DatumByName(toolkit, sphere, datumName, s->datum, e.out()) < 0) {
        e.error(fn, 3, "Error returned from kprj_DatumByName");
        return -1;
    }
    return 0;
}

KRASTER_API const Kprj_SPEntry *kprj_SPEntryByZoneNumber(Kint_InitToolkitData *toolkit,
                                                         int32_t zone, int32_t nadCode,
                                                         Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SPEntryByZoneNumber";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return nullptr;
    const Kprj_SPEntry *t = zones(fn, e);
    if (!t) return nullptr;
    for (; t; t = t->next) {
        if (t->nadCode != nadCode) continue;
        if (zone >= 0 ? t->zoneNumber == zone
                      : t->alternateZoneNumber > 0 && t->alternateZoneNumber == -zone)
            return t;
    }
    e.error(fn, 1, "Zone number not found in State Plane table");
    return nullptr;
}

}  // extern "C"
