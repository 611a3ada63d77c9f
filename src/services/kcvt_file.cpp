// The units file: its grammar, the actions that evaluate the factor and
// offset expressions and build the units, and the search for "units.dat".
//
// Grammar (tokens: NAME, STRING, INTEGER, FLOAT, the keywords ANGLE,
// DISTANCE, VOLUME, AREA, TIME and PI, and + - * / { } ; ( ); "#" starts a
// comment that runs to the end of the line):
//   units      := section units | (nothing)
//   section    := kind "{" definitions "}"
//   kind       := ANGLE | DISTANCE | VOLUME | AREA | TIME
//   definitions:= definition definitions | (nothing)
//   definition := unitname "(" expression ";" expression ")"
//   unitname   := STRING | NAME
//   expression := term { ("+" | "-") term }
//   term       := factor { ("*" | "/") factor }
//   factor     := INTEGER | FLOAT | PI | "(" expression ")" | "-" factor | "+" factor
// The two expressions of a definition are the factor and the offset that
// take a value in the unit to the standard unit of its kind.
#include <kraster/kcvt.h>
#include <kraster/kfio.h>
#include <kraster/kint.h>
#include <kraster/kmsc.h>

#include <sys/stat.h>

#include <mutex>
#include <new>
#include <set>
#include <string>

#include "services/kcvt_internal.hpp"
#include "services/klex.hpp"

namespace {

using namespace kr::lex;

// Keywords: the five kinds in the order of their type codes, then PI.
constexpr int kPiKeyword = kFirstKeyword + 5;

enum Nonterminal {
    kUnits = kFirstNonterminal,
    kSection,
    kKind,
    kDefinitions,
    kDefinition,
    kUnitName,
    kExpression,
    kExpressionRest,
    kTerm,
    kTermRest,
    kFactor,
};

enum Action {
    kSetKind = kFirstAction,
    kMakeUnit,
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kNegate,
    kPi
};

Grammar unitsGrammar() {
    Grammar g;
    g.keywords = {"ANGLE", "DISTANCE", "VOLUME", "AREA", "TIME", "PI"};
    g.characters = "+-*/{};()";
    g.nonterminals = {"units",      "section",   "kind",       "definitions",
                      "definition", "unitname",  "expression", "expression rest",
                      "term",       "term rest", "factor"};
    g.start = kUnits;
    const int c = charToken('{'), close = charToken('}'), open = charToken('('),
              shut = charToken(')'), semi = charToken(';'), plus = charToken('+'),
              minus = charToken('-'), times = charToken('*'), slash = charToken('/');
    g.productions = {
        {kUnits, {kSection, kUnits}},
        {kUnits, {}},
        {kSection, {kKind, c, kDefinitions, close}},
        {kDefinitions, {kDefinition, kDefinitions}},
        {kDefinitions, {}},
        {kDefinition, {kUnitName, open, kExpression, semi, kExpression, shut, kMakeUnit}},
        {kUnitName, {kString}},
        {kUnitName, {kName}},
        {kExpression, {kTerm, kExpressionRest}},
        {kExpressionRest, {plus, kTerm, kAdd, kExpressionRest}},
        {kExpressionRest, {minus, kTerm, kSubtract, kExpressionRest}},
        {kExpressionRest, {}},
        {kTerm, {kFactor, kTermRest}},
        {kTermRest, {times, kFactor, kMultiply, kTermRest}},
        {kTermRest, {slash, kFactor, kDivide, kTermRest}},
        {kTermRest, {}},
        {kFactor, {kInteger}},
        {kFactor, {kFloat}},
        {kFactor, {kPiKeyword, kPi}},
        {kFactor, {open, kExpression, shut}},
        {kFactor, {minus, kFactor, kNegate}},
        {kFactor, {plus, kFactor}},
    };
    for (int k = 0; k < 5; ++k) g.productions.push_back({kKind, {kFirstKeyword + k, kSetKind}});
    return g;
}

const Parser *unitsParser(std::string *why) {
    static Parser parser;
    static bool ok = false;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] { ok = parser.build(unitsGrammar(), &failure); });
    *why = failure;
    return ok ? &parser : nullptr;
}

// Builds the unit list while the parser reads the file.
class UnitBuilder : public Actions {
  public:
    ~UnitBuilder() override { kcvt_UnitListFree(head_); }
    Kcvt_Unit *release() {
        Kcvt_Unit *h = head_;
        head_ = tail_ = nullptr;
        return h;
    }

    bool act(int action, std::vector<Value> &v, int, kr::Report &e) override {
        static const char *const fn = "kcvt_UnitsFileParse";
        const size_t need = action == kMakeUnit                                          ? 3
                            : (action == kSetKind || action == kNegate || action == kPi) ? 1
                                                                                         : 2;
        if (v.size() < need) {
            e.error(fn, 20, "Parser value stack underflow");
            return false;
        }
        Value &top = v.back();
        switch (action) {
            case kSetKind:
                type_ = top.token - kFirstKeyword;
                v.pop_back();
                return true;
            case kPi:
                top.number = 3.141592653589793;
                return true;
            case kNegate:
                top.number = -top.number;
                return true;
            case kMakeUnit:
                return makeUnit(v, e);
            default:
                break;
        }
        const double b = top.number;
        v.pop_back();
        double &a = v.back().number;
        if (action == kAdd)
            a += b;
        else if (action == kSubtract)
            a -= b;
        else if (action == kMultiply)
            a *= b;
        else if (b == 0) {
            e.error(fn, 21, "Division by zero");
            return false;
        } else {
            a /= b;
        }
        return true;
    }

  private:
    bool makeUnit(std::vector<Value> &v, kr::Report &e) {
        const double offset = v.back().number;
        v.pop_back();
        const double factor = v.back().number;
        v.pop_back();
        const std::string name = v.back().text;
        v.pop_back();
        if (names_.count(name)) {
            kr::cvt::duplicateError(e);
            return false;
        }
        Kcvt_Unit *u = kcvt_UnitNew(type_, name.c_str(), factor, offset, e.out());
        if (!u) return false;
        try {
            names_.insert(name);
        } catch (...) {
            kcvt_UnitFree(u);
            throw;
        }
        (tail_ ? tail_->next : head_) = u;
        tail_ = u;
        return true;
    }

    Kcvt_Unit *head_ = nullptr;
    Kcvt_Unit *tail_ = nullptr;
    std::set<std::string> names_;
    int32_t type_ = KCVT_UNIT_UNDETERMINED;
};

// Largest units file read.
constexpr size_t kMaxFileSize = 16u << 20;

bool readAll(Kfio_Fd *fd, std::string *text, const char *name, const char *fn, kr::Report &e) {
    char buf[8192];
    while (true) {
        const size_t n = kfio_ReadSeq(fd, buf, sizeof buf, nullptr);
        text->append(buf, n);
        if (text->size() > kMaxFileSize) {
            e.error(fn, 4, "%s is larger than %zu bytes", name, kMaxFileSize);
            return false;
        }
        if (n < sizeof buf) return true;
    }
}

bool isFile(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

extern "C" {

KRASTER_API Kcvt_Unit *kcvt_UnitsTextParse(const char *text, size_t size, const char *name,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsTextParse";
    kr::Report e(err);
    if (!text && size > 0) {
        e.error(fn, 1, "Invalid units text");
        return nullptr;
    }
    std::string why;
    const Parser *parser = unitsParser(&why);
    if (!parser) {
        e.error(fn, 2, "Units grammar: %s", why.c_str());
        return nullptr;
    }
    try {
        UnitBuilder builder;
        if (!parser->parse(std::string_view(text ? text : "", size), name ? name : "units.dat",
                           builder, e)) {
            e.error(fn, 3, "Error returned from klex_Parse");
            return nullptr;
        }
        return builder.release();
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "can't allocate space");
        return nullptr;
    }
}

KRASTER_API Kcvt_Unit *kcvt_UnitsFileParse(Kfio_Fd *stream, const char *fileName,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kcvt_UnitsFileParse";
    kr::Report e(err);
    std::string path = fileName ? fileName : "";
    try {
        if (!stream && !fileName) {
            Kfio_SearchList *list = kfio_CreateSLFromEnv(nullptr, "ORVEL_ETC_PATH", "", e.out());
            if (e.failed()) {
                e.error(fn, 6, "Error returned from kfio_CreateSLFromEnv");
                return nullptr;
            }
            for (const Kfio_SearchList *s = list; s && path.empty(); s = s->next)
                if (s->directory && isFile(std::string(s->directory) + "/units.dat"))
                    path = std::string(s->directory) + "/units.dat";
            kfio_FreeSL(list);
            if (path.empty() && isFile(std::string(kint_DataDirectory()) + "/units.dat"))
                path = std::string(kint_DataDirectory()) + "/units.dat";
            if (path.empty()) {
                e.error(fn, 7, "units.dat not found along ORVEL_ETC_PATH nor in %s",
                        kint_DataDirectory());
                return nullptr;
            }
        }
        std::string text;
        if (stream) {
            if (!readAll(stream, &text, fileName ? fileName : "units file", fn, e)) return nullptr;
        } else {
            Kfio_Fd *fd = kfio_Open(path.c_str(), "r", e.out());
            if (!fd) {
                e.error(fn, 8, "Cannot open %s", path.c_str());
                return nullptr;
            }
            const bool ok = readAll(fd, &text, path.c_str(), fn, e);
            kfio_Close(fd, nullptr);
            if (!ok) return nullptr;
        }
        Kcvt_Unit *units = kcvt_UnitsTextParse(text.data(), text.size(),
                                               path.empty() ? "units file" : path.c_str(), e.out());
        if (e.failed()) {
            kcvt_UnitListFree(units);
            return nullptr;
        }
        return units;
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "can't allocate space");
        return nullptr;
    }
}

}  // extern "C"
