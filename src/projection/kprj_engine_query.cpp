// The projection query table "mapprojections.dat": which parameters each
// projection asks for. Parsed with the library's grammar-driven parser,
// listed in the syntax it reads, looked up by name and number, and walked by
// the interactive queries.
//
// Grammar (tokens: STRING, INTEGER, FLOAT, keywords, and { } < > : -; "#"
// starts a comment that runs to the end of the line):
//   table      := projection table | (nothing)
//   projection := STRING "{" kind entries "}"
//   kind       := Internal INTEGER | External STRING
//   entries    := entry entries | (nothing)
//   entry      := STRING "<" type
//   type       := spheroid ">" | utmzone ">" | spzone ">" | INTEGER ":" indexed
//   indexed    := number ">" | integer ">" | nadcode ">" | angle ":" (dd | radians) ">"
//               | distance ":" (feet | meters) ">" | condition ">" "{" branches "}"
//   branches   := value ":" STRING ":" "{" entries "}" branches | (nothing)
//   value      := INTEGER | FLOAT | "-" value
#include <kraster/kfio.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <strings.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "projection/kprj_engine.hpp"
#include "projection/kprj_internal.hpp"
#include "services/klex.hpp"

using kr::Report;
using kr::prj::QueryEntry;
using kr::prj::QueryKind;

struct Kprj_QueryProjection {
    std::string name;
    int32_t type = KPRJ_INTERNAL;
    int32_t number = 0;
    std::string module;
    std::vector<QueryEntry> params;     // the earth model's entries
    std::vector<QueryEntry> proParams;  // the projection's own entries
    std::vector<QueryEntry> all;        // both, in listing order
};

struct Kprj_QueryTable {
    std::vector<Kprj_QueryProjection> projections;
};

namespace {

using namespace kr::lex;

enum Keyword {
    kInternal = kFirstKeyword,
    kExternal,
    kSpheroidKw,
    kUtmzoneKw,
    kSpzoneKw,
    kNumberKw,
    kIntegerKw,
    kNadcodeKw,
    kAngleKw,
    kDdKw,
    kRadiansKw,
    kDistanceKw,
    kFeetKw,
    kMetersKw,
    kConditionKw,
};

enum Nonterminal {
    kTable = kFirstNonterminal,
    kProjection,
    kKind,
    kEntries,
    kEntry,
    kType,
    kIndexed,
    kAngleUnit,
    kDistanceUnit,
    kBranches,
    kValue,
};

enum Action {
    kBegin = kFirstAction,
    kEnd_,
    kSetInternal,
    kSetExternal,
    kAddSpheroid,
    kAddUtmzone,
    kAddSpzone,
    kAddNumber,
    kAddInteger,
    kAddNadcode,
    kAddAngle,
    kAddDistance,
    kBeginCondition,
    kEndCondition,
    kBeginBranch,
    kEndBranch,
    kNegate,
};

Grammar queryGrammar() {
    Grammar g;
    g.keywords = {"Internal", "External", "spheroid", "utmzone", "spzone",
                  "number",   "integer",  "nadcode",  "angle",   "dd",
                  "radians",  "distance", "feet",     "meters",  "condition"};
    g.characters = "{}<>:-";
    g.nonterminals = {"table",   "projection", "kind",          "entries",  "entry", "type",
                      "indexed", "angle unit", "distance unit", "branches", "value"};
    g.start = kTable;
    const int open = charToken('{'), close = charToken('}'), lt = charToken('<'),
              gt = charToken('>'), colon = charToken(':'), minus = charToken('-');
    g.productions = {
        {kTable, {kProjection, kTable}},
        {kTable, {}},
        {kProjection, {kString, open, kBegin, kKind, kEntries, close, kEnd_}},
        {kKind, {kInternal, kInteger, kSetInternal}},
        {kKind, {kExternal, kString, kSetExternal}},
        {kEntries, {kEntry, kEntries}},
        {kEntries, {}},
        {kEntry, {kString, lt, kType}},
        {kType, {kSpheroidKw, gt, kAddSpheroid}},
        {kType, {kUtmzoneKw, gt, kAddUtmzone}},
        {kType, {kSpzoneKw, gt, kAddSpzone}},
        {kType, {kInteger, colon, kIndexed}},
        {kIndexed, {kNumberKw, gt, kAddNumber}},
        {kIndexed, {kIntegerKw, gt, kAddInteger}},
        {kIndexed, {kNadcodeKw, gt, kAddNadcode}},
        {kIndexed, {kAngleKw, colon, kAngleUnit, gt, kAddAngle}},
        {kIndexed, {kDistanceKw, colon, kDistanceUnit, gt, kAddDistance}},
        {kIndexed, {kConditionKw, gt, kBeginCondition, open, kBranches, close, kEndCondition}},
        {kAngleUnit, {kDdKw}},
        {kAngleUnit, {kRadiansKw}},
        {kDistanceUnit, {kFeetKw}},
        {kDistanceUnit, {kMetersKw}},
        {kBranches,
         {kValue, colon, kString, colon, open, kBeginBranch, kEntries, close, kEndBranch,
          kBranches}},
        {kBranches, {}},
        {kValue, {kInteger}},
        {kValue, {kFloat}},
        {kValue, {minus, kValue, kNegate}},
    };
    return g;
}

const Parser *queryParser(std::string *why) {
    static Parser parser;
    static bool ok = false;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] { ok = parser.build(queryGrammar(), &failure); });
    *why = failure;
    return ok ? &parser : nullptr;
}

constexpr const char *kParseFn = "kprj_QueryTableParse";

// Builds the table while the parser reads the text.
class TableBuilder : public Actions {
  public:
    Kprj_QueryTable table;

    bool act(int action, std::vector<Value> &values, int line, Report &e) override {
        switch (action) {
            case kBegin:
                table.projections.emplace_back();
                table.projections.back().name = pop(values).text;
                lists_.assign(1, &table.projections.back().all);
                return true;
            case kEnd_:
                return finish(table.projections.back(), line, e);
            case kSetInternal: {
                Kprj_QueryProjection &p = table.projections.back();
                const double n = pop(values).number;
                pop(values);
                if (n > 1e6) return fail(e, line, "projection number too large");
                p.type = KPRJ_INTERNAL;
                p.number = static_cast<int32_t>(n);
                return true;
            }
            case kSetExternal: {
                Kprj_QueryProjection &p = table.projections.back();
                p.module = pop(values).text;
                pop(values);
                p.type = KPRJ_EXTERNAL;
                p.number = -1;
                return true;
            }
            case kAddSpheroid:
            case kAddUtmzone:
            case kAddSpzone: {
                pop(values);
                QueryEntry q;
                q.kind = action == kAddSpheroid  ? QueryKind::Spheroid
                         : action == kAddUtmzone ? QueryKind::UtmZone
                                                 : QueryKind::SpZone;
                q.prompt = pop(values).text;
                lists_.back()->push_back(std::move(q));
                return true;
            }
            case kAddNumber:
            case kAddInteger:
            case kAddNadcode:
            case kAddAngle:
            case kAddDistance: {
                QueryEntry q;
                if (action == kAddAngle || action == kAddDistance) q.unit = pop(values).text;
                pop(values);
                q.kind = action == kAddNumber    ? QueryKind::Number
                         : action == kAddInteger ? QueryKind::Integer
                         : action == kAddNadcode ? QueryKind::NadCode
                         : action == kAddAngle   ? QueryKind::Angle
                                                 : QueryKind::Distance;
                return indexed(std::move(q), values, line, e);
            }
            case kBeginCondition: {
                pop(values);
                QueryEntry q;
                q.kind = QueryKind::Condition;
                if (!indexed(std::move(q), values, line, e)) return false;
                conditions_.push_back(&lists_.back()->back());
                return true;
            }
            case kEndCondition:
                conditions_.pop_back();
                return true;
            case kBeginBranch: {
                QueryEntry::Branch b;
                b.label = pop(values).text;
                b.value = pop(values).number;
                conditions_.back()->branches.push_back(std::move(b));
                lists_.push_back(&conditions_.back()->branches.back().entries);
                return true;
            }
            case kEndBranch:
                lists_.pop_back();
                return true;
            case kNegate:
                values.back().number = -values.back().number;
                return true;
            default:
                return fail(e, line, "unknown action");
        }
    }

  private:
    static Value pop(std::vector<Value> &values) {
        Value v = std::move(values.back());
        values.pop_back();
        return v;
    }
    static bool fail(Report &e, int line, const char *why) {
        e.error(kParseFn, 10, "line %d: %s", line, why);
        return false;
    }
    bool indexed(QueryEntry q, std::vector<Value> &values, int line, Report &e) {
        const double index = pop(values).number;
        q.prompt = pop(values).text;
        if (index < 0 || index > 14) return fail(e, line, "parameter index outside 0 to 14");
        q.index = static_cast<int>(index);
        lists_.back()->push_back(std::move(q));
        return true;
    }
    static bool earthEntry(const QueryEntry &q) {
        return q.kind == QueryKind::Spheroid || q.kind == QueryKind::SpheroidByName;
    }
    bool finish(Kprj_QueryProjection &p, int line, Report &e) {
        for (const Kprj_QueryProjection &other : table.projections)
            if (&other != &p && !strcasecmp(other.name.c_str(), p.name.c_str()))
                return fail(e, line, "projection named twice");
        for (const QueryEntry &q : p.all) (earthEntry(q) ? p.params : p.proParams).push_back(q);
        p.all = p.params;
        p.all.insert(p.all.end(), p.proParams.begin(), p.proParams.end());
        return true;
    }
    std::vector<std::vector<QueryEntry> *> lists_;
    std::vector<QueryEntry *> conditions_;
};

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

void printEntries(const std::vector<QueryEntry> &list, std::string &out) {
    char buffer[64];
    for (const QueryEntry &q : list) {
        out += "\t" + quoted(q.prompt) + " <";
        switch (q.kind) {
            case QueryKind::Spheroid:
            case QueryKind::SpheroidByName:
                out += "spheroid>\n";
                continue;
            case QueryKind::UtmZone:
                out += "utmzone>\n";
                continue;
            case QueryKind::SpZone:
                out += "spzone>\n";
                continue;
            default:
                break;
        }
        snprintf(buffer, sizeof buffer, "%ld:", static_cast<long>(q.index));
        out += buffer;
        switch (q.kind) {
            case QueryKind::Number:
                out += "number>\n";
                break;
            case QueryKind::Integer:
                out += "integer>\n";
                break;
            case QueryKind::NadCode:
                out += "nadcode>\n";
                break;
            case QueryKind::Angle:
                out += "angle:" + std::string(q.unit == "radians" ? "radians" : "dd") + ">\n";
                break;
            case QueryKind::Distance:
                out += "distance:" + std::string(q.unit == "feet" ? "feet" : "meters") + ">\n";
                break;
            default:
                out += "condition> {\n";
                for (const auto &b : q.branches) {
                    snprintf(buffer, sizeof buffer, "\t\t%lg:", b.value);
                    out += buffer + quoted(b.label) + ":{\n";
                    printEntries(b.entries, out);
                    out += "\t\t}\n";
                }
                out += "\t}\n";
                break;
        }
    }
}

void printProjection(const Kprj_QueryProjection &p, std::string &out) {
    out += quoted(p.name) + " {\n";
    if (p.type == KPRJ_EXTERNAL)
        out += "\tExternal " + quoted(p.module) + "\n";
    else
        out += "\tInternal " + std::to_string(p.number) + "\n";
    printEntries(p.params, out);
    printEntries(p.proParams, out);
    out += "}\n";
}

// The package table, read once.
std::mutex g_tableMutex;
Kprj_QueryTable *g_table = nullptr;

const Kprj_QueryTable *packageTable(const char *fn, Report &e) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (g_table) return g_table;
    const std::string path = kr::prj::projectionFilePath("mapprojections.dat");
    if (path.empty()) {
        e.error(fn, 20, "mapprojections.dat not found along ORVEL_PROJECTIONS_PATH nor in %s",
                kint_DataDirectory());
        return nullptr;
    }
    g_table = kprj_QueryTableParse(nullptr, path.c_str(), e.out());
    if (!g_table) e.error(fn, 21, "Error returned from kprj_QueryTableParse");
    return g_table;
}

bool readLine(FILE *in, std::string &line) {
    char buffer[512];
    if (!in || !fgets(buffer, sizeof buffer, in)) return false;
    line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    line = start == std::string::npos ? "" : line.substr(start);
    return true;
}

bool readNumber(FILE *in, FILE *out, const char *prompt, double *value) {
    fputs(prompt, out);
    fflush(out);
    std::string line;
    if (!readLine(in, line) || line.empty()) return false;
    char *end = nullptr;
    *value = strtod(line.c_str(), &end);
    return end && *end == '\0' && std::isfinite(*value);
}

// Walks a query list, asking for each entry's value.
bool askEntries(Kint_InitToolkitData *toolkit, const std::vector<QueryEntry> &list,
                Kprj_ProParameters *p, FILE *in, FILE *out, const char *fn, Report &e) {
    for (const QueryEntry &q : list) {
        if (q.kind == QueryKind::Spheroid || q.kind == QueryKind::SpheroidByName) {
            fprintf(out, "%s\n", q.prompt.c_str());
            if (kprj_SpheroidSelect(toolkit, p->proSpheroid, in, out, e.out()) < 0) {
                e.error(fn, 30, "Error returned from kprj_SpheroidSelect");
                return false;
            }
            continue;
        }
        fprintf(out, "%s\n", q.prompt.c_str());
        double v = 0;
        const char *prompt =
            q.kind == QueryKind::NadCode ? "NAD 27 or 83 or 86? " : "Enter value: ";
        if (!readNumber(in, out, prompt, &v)) {
            e.error(fn, 31, "Invalid value for \"%s\"", q.prompt.c_str());
            return false;
        }
        if (q.kind == QueryKind::UtmZone || q.kind == QueryKind::SpZone) {
            p->proZone = static_cast<int32_t>(v);
            continue;
        }
        if (q.kind == QueryKind::NadCode) {
            if (v != 27 && v != 83 && v != 86) {
                e.error(fn, 32, "Invalid NAD code %g", v);
                return false;
            }
            v = v == 27 ? 1 : (v == 83 ? 2 : 3);
        } else if (q.kind == QueryKind::Angle && q.unit != "radians") {
            v *= kr::prj::kD2R;
        } else if (q.kind == QueryKind::Distance && q.unit == "feet") {
            if (kcvt_UnitsConvertByName(&v, "feet", &v, "meters", 1, e.out()) < 0) {
                e.error(fn, 33, "Error returned from kcvt_UnitsConvertByName");
                return false;
            }
        }
        if (q.index >= p->proParams.count) {
            e.error(fn, 34, "Parameter index %d beyond the parameter array", q.index);
            return false;
        }
        p->proParams.data[q.index] = v;
        if (q.kind == QueryKind::Condition)
            for (const auto &b : q.branches)
                if (std::fabs(b.value - v) <= 0.001 &&
                    !askEntries(toolkit, b.entries, p, in, out, fn, e))
                    return false;
    }
    return true;
}

// The entry of a query list (branches included) that fills an index.
const QueryEntry *entryFor(const std::vector<QueryEntry> &list, int index) {
    for (const QueryEntry &q : list) {
        if (q.index == index) return &q;
        for (const auto &b : q.branches)
            if (const QueryEntry *found = entryFor(b.entries, index)) return found;
    }
    return nullptr;
}

bool toolkitReady(Kint_InitToolkitData *toolkit, const char *fn, Report &e) {
    if (toolkit) return true;
    e.error(fn, 1, "Toolkit has not been initialized");
    return false;
}

}  // namespace

namespace kr::prj {

const std::vector<QueryEntry> *queryList(const char *name) {
    Report quiet(nullptr);
    const Kprj_QueryTable *t = packageTable("kprj_QueryByName", quiet);
    if (!t || !name) return nullptr;
    for (const Kprj_QueryProjection &p : t->projections)
        if (!strcasecmp(p.name.c_str(), name)) return &p.all;
    return nullptr;
}

}  // namespace kr::prj

extern "C" {

KRASTER_API int kprj_InitProjectionData(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_InitProjectionData";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return -1;
    // Each table is read once; later calls find it in the package data.
    if (!packageTable(fn, e)) {
        e.error(fn, 2, "Error returned from kprj_QueryTableParse");
        return -1;
    }
    if (!kprj_SpheroidTableRead(toolkit, e.out())) {
        e.error(fn, 3, "Error returned from kprj_SpheroidTableParse");
        return -1;
    }
    if (!kprj_SPTableRead(toolkit, e.out())) {
        e.error(fn, 4, "Error returned from kprj_SPTableParse");
        return -1;
    }
    if (!kprj_InitDictionaryCreate(e.out())) {
        e.error(fn, 5, "Error returned from kprj_InitDictionaryCreate");
        return -1;
    }
    // Unit names the units file lacks are asked of the projection engine.
    kcvt_UnitSetExternalLookup(kr::prj::engineUnitLookup);
    return 0;
}

KRASTER_API int kprj_Init(Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err) {
    Report e(err);
    if (kprj_InitProjectionData(toolkit, e.out()) < 0) {
        e.error("kprj_Init", 1);
        return -1;
    }
    return 0;
}

KRASTER_API Kprj_QueryTable *kprj_QueryTableParse(const char *text, const char *fileName,
                                                  Kerr_ErrorReport **err) {
    Report e(err);
    std::string why;
    const Parser *parser = queryParser(&why);
    if (!parser) {
        e.error(kParseFn, 1, "Query table grammar: %s", why.c_str());
        return nullptr;
    }
    try {
        std::string content;
        if (!text) {
            if (!fileName) {
                e.error(kParseFn, 2, "Invalid input parameters");
                return nullptr;
            }
            Kfio_Fd *fd = kfio_Open(fileName, "r", e.out());
            if (!fd) {
                e.error(kParseFn, 3, "Cannot open %s", fileName);
                return nullptr;
            }
            char buffer[8192];
            size_t n;
            while ((n = kfio_ReadSeq(fd, buffer, sizeof buffer, nullptr)) > 0) {
                content.append(buffer, n);
                if (content.size() > (64u << 20)) break;
            }
            kfio_Close(fd, nullptr);
            if (content.size() > (64u << 20)) {
                e.error(kParseFn, 4, "%s is too large", fileName);
                return nullptr;
            }
            text = content.c_str();
        }
        TableBuilder builder;
        if (!parser->parse(text, fileName ? fileName : "query table", builder, e)) {
            e.error(kParseFn, 5, "Error returned from klex_Parse");
            return nullptr;
        }
        auto *table = new Kprj_QueryTable(std::move(builder.table));
        return table;
    } catch (const std::bad_alloc &) {
        e.error(kParseFn, 6, "can't allocate space");
        return nullptr;
    }
}

KRASTER_API void kprj_QueryTableFree(Kprj_QueryTable *table) {
    delete table;
}

KRASTER_API const Kprj_QueryTable *kprj_QueryTableGet(Kint_InitToolkitData *toolkit,
                                                      Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QueryTableGet";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return nullptr;
    return packageTable(fn, e);
}

KRASTER_API int kprj_QueryListPrint(const Kprj_QueryTable *table, FILE *stream,
                                    Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QueryListPrint";
    Report e(err);
    if (!table && !(table = packageTable(fn, e))) return -1;
    std::string out;
    for (const Kprj_QueryProjection &p : table->projections) printProjection(p, out);
    FILE *f = stream ? stream : stdout;
    if (fwrite(out.data(), 1, out.size(), f) != out.size()) {
        e.error(fn, 2, "Error writing the query list");
        return -1;
    }
    return 0;
}

KRASTER_API int kprj_QueryEntryListPrint(const Kprj_QueryProjection *projection, FILE *stream,
                                         Kerr_ErrorReport **err) {
    Report e(err);
    if (!projection) {
        e.error("kprj_QueryEntryListPrint", 1, "Invalid input parameters");
        return -1;
    }
    std::string out;
    printEntries(projection->params, out);
    printEntries(projection->proParams, out);
    FILE *f = stream ? stream : stdout;
    if (fwrite(out.data(), 1, out.size(), f) != out.size()) {
        e.error("kprj_QueryEntryListPrint", 2, "Error writing the query list");
        return -1;
    }
    return 0;
}

KRASTER_API int32_t kprj_QueryTableCount(const Kprj_QueryTable *table) {
    return table ? static_cast<int32_t>(table->projections.size()) : 0;
}

KRASTER_API const Kprj_QueryProjection *kprj_QueryTableItem(const Kprj_QueryTable *table,
                                                            int32_t index) {
    if (!table || index < 0 || static_cast<size_t>(index) >= table->projections.size())
        return nullptr;
    return &table->projections[static_cast<size_t>(index)];
}

KRASTER_API const char *kprj_QueryProjectionName(const Kprj_QueryProjection *p) {
    return p ? p->name.c_str() : nullptr;
}
KRASTER_API int32_t kprj_QueryProjectionType(const Kprj_QueryProjection *p) {
    return p ? p->type : -1;
}
KRASTER_API int32_t kprj_QueryProjectionNumber(const Kprj_QueryProjection *p) {
    return p ? p->number : -1;
}
KRASTER_API const char *kprj_QueryProjectionModule(const Kprj_QueryProjection *p) {
    return p && p->type == KPRJ_EXTERNAL ? p->module.c_str() : nullptr;
}

KRASTER_API const Kprj_QueryProjection *kprj_QueryByName(Kint_InitToolkitData *toolkit,
                                                         const char *name, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QueryByName";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return nullptr;
    const Kprj_QueryTable *t = packageTable(fn, e);
    if (!t) return nullptr;
    for (const Kprj_QueryProjection &p : t->projections)
        if (name && !strcasecmp(p.name.c_str(), name)) return &p;
    e.error(fn, 2, "Invalid Projection Name");
    return nullptr;
}

KRASTER_API const Kprj_QueryProjection *kprj_QueryByNumber(Kint_InitToolkitData *toolkit,
                                                           int32_t number, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QueryByNumber";
    Report e(err);
    if (!toolkitReady(toolkit, fn, e)) return nullptr;
    const Kprj_QueryTable *t = packageTable(fn, e);
    if (!t) return nullptr;
    for (const Kprj_QueryProjection &p : t->projections)
        if (p.type == KPRJ_INTERNAL && p.number == number) return &p;
    e.error(fn, 2, "Invalid projection number");
    return nullptr;
}

KRASTER_API const char *kprj_ProjName(Kint_InitToolkitData *toolkit, int32_t number,
                                      Kerr_ErrorReport **err) {
    Report e(err);
    const Kprj_QueryProjection *p = kprj_QueryByNumber(toolkit, number, e.out());
    if (!p) e.error("kprj_ProjName", 1);
    return p ? p->name.c_str() : nullptr;
}

KRASTER_API int32_t kprj_Proj7xNumber(Kint_InitToolkitData *toolkit, const char *name,
                                      Kerr_ErrorReport **err) {
    Report e(err);
    const Kprj_QueryProjection *p = kprj_QueryByName(toolkit, name, e.out());
    if (!p) {
        e.error("kprj_Proj7xNumber", 1);
        return -1;
    }
    if (p->type != KPRJ_INTERNAL) {
        e.error("kprj_Proj7xNumber", 2, "%s is an external projection", p->name.c_str());
        return -1;
    }
    return p->number;
}

KRASTER_API char **kprj_ProjectionNamesGet(Kint_InitToolkitData *toolkit, int32_t *count,
                                           Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProjectionNamesGet";
    Report e(err);
    if (!count) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    *count = 0;
    if (!toolkitReady(toolkit, fn, e)) return nullptr;
    const Kprj_QueryTable *t = packageTable(fn, e);
    if (!t) return nullptr;
    const size_t n = t->projections.size();
    auto **names = static_cast<char **>(kmsc_HeapMalloc((n ? n : 1) * sizeof(char *)));
    if (!names) {
        e.error(fn, 2, "Error allocating names");
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) {
        const std::string &s = t->projections[i].name;
        names[i] = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
        if (!names[i]) {
            for (size_t j = 0; j < i; ++j) kmsc_HeapFree(names[j]);
            kmsc_HeapFree(names);
            e.error(fn, 2, "Error allocating names");
            return nullptr;
        }
        memcpy(names[i], s.c_str(), s.size() + 1);
    }
    *count = static_cast<int32_t>(n);
    return names;
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersCreateByName(Kint_InitToolkitData *toolkit,
                                                               const char *name,
                                                               Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersCreateByName";
    Report e(err);
    const Kprj_QueryProjection *q = kprj_QueryByName(toolkit, name, e.out());
    if (!q) {
        if (toolkit) {
            e.clear();
            e.error(fn, 1, "Invalid Projection Name");
        } else {
            e.error(fn, 1);
        }
        return nullptr;
    }
    Kprj_ProParameters *p = kprj_ProParametersCreate(e.out());
    bool ok = p != nullptr;
    if (ok) {
        p->proType = q->type;
        p->proNumber = q->type == KPRJ_INTERNAL ? q->number : 0;
        ok = kprj_CharStrCreate(q->name.c_str(), &p->proName, e.out()) == 0 &&
             (q->type != KPRJ_EXTERNAL ||
              kprj_CharStrCreate(q->module.c_str(), &p->proExeName, e.out()) == 0) &&
             kprj_DblArrayCreate(15, &p->proParams, e.out()) == 0 &&
             kprj_SpheroidByName(toolkit, "Clarke 1866", p->proSpheroid, e.out()) == 0;
    }
    if (!ok) {
        kprj_ProParametersFree(p);
        e.error(fn, 2, "Error allocating ProParameters");
        return nullptr;
    }
    return p;
}

KRASTER_API int kprj_QueryParameterSet(const Kprj_QueryProjection *projection,
                                       Kprj_ProParameters *p, int32_t index, double value,
                                       Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QueryParameterSet";
    Report e(err);
    if (!projection || !p) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    if (index < 0 || index >= p->proParams.count || !p->proParams.data) {
        e.error(fn, 2, "Parameter index %ld beyond the parameter array", static_cast<long>(index));
        return -1;
    }
    const QueryEntry *q = entryFor(projection->all, index);
    if (q && q->kind == QueryKind::Angle && q->unit != "radians") value *= kr::prj::kD2R;
    if (q && q->kind == QueryKind::Distance && q->unit == "feet" &&
        kcvt_UnitsConvertByName(&value, "feet", &value, "meters", 1, e.out()) < 0) {
        e.error(fn, 3, "Error returned from kcvt_UnitsConvertByName");
        return -1;
    }
    p->proParams.data[index] = value;
    return 0;
}

KRASTER_API const Kprj_QueryProjection *kprj_QuerySelect(Kint_InitToolkitData *toolkit, FILE *in,
                                                         FILE *out, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_QuerySelect";
    Report e(err);
    if (!in) {
        e.error(fn, 1, "Invalid input parameters");
        return nullptr;
    }
    FILE *o = out ? out : stdout;
    fputs("Enter name of projection: ", o);
    fflush(o);
    std::string line;
    if (!readLine(in, line)) {
        e.error(fn, 2, "No projection name given");
        return nullptr;
    }
    const Kprj_QueryProjection *q = kprj_QueryByName(toolkit, line.c_str(), e.out());
    if (!q) e.error(fn, 3);
    return q;
}

KRASTER_API int kprj_SpheroidSelect(Kint_InitToolkitData *toolkit, Kprj_Spheroid *spheroid,
                                    FILE *in, FILE *out, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_SpheroidSelect";
    Report e(err);
    if (!spheroid || !in) {
        e.error(fn, 1, "Invalid input parameters");
        return -1;
    }
    FILE *o = out ? out : stdout;
    std::string sphere, datum;
    fputs("Enter name of spheroid: ", o);
    fflush(o);
    if (!readLine(in, sphere)) {
        e.error(fn, 2, "No spheroid name given");
        return -1;
    }
    if (kprj_SpheroidByName(toolkit, sphere.c_str(), spheroid, e.out()) < 0) {
        e.error(fn, 3, "Error returned from kprj_SpheroidByName");
        return -1;
    }
    fputs("Enter name of datum: ", o);
    fflush(o);
    if (!readLine(in, datum)) datum.clear();
    if (kprj_DatumByName(toolkit, sphere.c_str(), datum.c_str(), spheroid->datum, e.out()) < 0) {
        e.error(fn, 4, "Error returned from kprj_DatumByName");
        return -1;
    }
    return 0;
}

KRASTER_API Kprj_ProParameters *kprj_ProParametersQuery(Kint_InitToolkitData *toolkit, FILE *in,
                                                        FILE *out, Kerr_ErrorReport **err) {
    constexpr const char *fn = "kprj_ProParametersQuery";
    Report e(err);
    FILE *o = out ? out : stdout;
    const Kprj_QueryProjection *q = kprj_QuerySelect(toolkit, in, o, e.out());
    if (!q) {
        e.error(fn, 1, "Error returned from kprj_QuerySelect");
        return nullptr;
    }
    Kprj_ProParameters *p = kprj_ProParametersCreateByName(toolkit, q->name.c_str(), e.out());
    if (!p) {
        e.error(fn, 2, "Error returned from kprj_ProParametersCreateByName");
        return nullptr;
    }
    if (!askEntries(toolkit, q->params, p, in, o, fn, e)) {
        e.error(fn, 3, "Error returned from kprj_QueryEntries for paramsQuerylist");
        kprj_ProParametersFree(p);
        return nullptr;
    }
    if (!askEntries(toolkit, q->proParams, p, in, o, fn, e)) {
        e.error(fn, 4, "Error returned from kprj_QueryEntries for proParamsQuerylist");
        kprj_ProParametersFree(p);
        return nullptr;
    }
    return p;
}

}  // extern "C"
