// Parsers of the preference definition files ("*.pdf") and of the user
// preference file ("v8preference"), and the writer of the user file.
//
// Both files share one lexer:
//   - blanks and line ends separate tokens; comments run from "#" or "//" to
//     the end of the line, or from "/*" to "*/";
//   - WORD    letter or "_", then letters, digits, "_" and "-";
//   - NUMBER  [+-] digits [. digits] [e [+-] digits] (at least one digit; a
//             letter may not follow; the value must be finite);
//   - STRING  in definition files "..." on one line with the escapes \\ \"
//             \n \t; in user files "..." may span lines, \\ and \" are
//             escapes, and the string ends at the first '"' followed by
//             optional blanks and ';' (a '"' anywhere else belongs to it);
//   - the punctuation  { } ; : , .
// Keywords are WORDs compared ignoring case.
//
// Definition file:
//   file       = { category } .
//   category   = "category" WORD "{" { preference } "}" [ ";" ] .
//   preference = type WORD ( ";" | "{" { clause } "}" [ ";" ] ) .
//   type       = "string" | "number" | "boolean" | "enum" | "color" .
//   clause     = "default" value [ "arch" STRING { "," STRING } ] ";"
//              | "maxlength" NUMBER ";"        (strings: an integer >= 0)
//              | "expand" ";"                  (strings: expand the default)
//              | "minimum" NUMBER ";"          (numbers)
//              | "maximum" NUMBER ";"          (numbers)
//              | "boolean" STRING STRING ";"   (booleans: true word, false word)
//              | "enum" STRING { "," STRING } ";"   (enumerations: allowed names)
//   value      = STRING | "expand" STRING | NUMBER | NUMBER "," NUMBER "," NUMBER .
// A clause that does not fit the type is ignored with a warning, as is a
// default of the wrong kind (a STRING serves strings, booleans and
// enumerations; "expand" STRING only strings; NUMBER numbers; three integers
// colours). A default with an "arch" list applies when the environment
// variable ARCH equals one of the names (ignoring case); the first such
// default wins over any default without a list, of which the last counts.
// Without a default: "" for strings, 0 (moved into the bounds) for numbers,
// false for booleans, the first name for enumerations, 0,0,0 for colours.
// The declaration is refused (the whole file fails) when the enumeration has
// no names, the default is not one of the names, a boolean default is not a
// truth word, a number default lies outside the bounds, the minimum exceeds
// the maximum, or a string default exceeds the maximum length. A preference
// declared twice keeps its first declaration.
//
// User file:
//   file  = { entry } .
//   entry = WORD "." WORD ":" value ";" .
//   value = STRING | NUMBER | NUMBER "," NUMBER "," NUMBER | WORD .
// STRING and WORD values travel as strings, NUMBER as a number and three
// integers as a colour; each is stored through the declaration's validation.
#include <kraster/kmsc.h>
#include <kraster/kpmg.h>
#include <kraster/kstr.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "preferences/prefs_internal.hpp"

namespace kr::prefs {
namespace {

enum class Kind { End, Word, Number, String, Punct };

struct Token {
    Kind kind = Kind::End;
    std::string text;  // word, string contents or number text; punctuation character
    double number = 0;
    bool integral = false;
    int line = 1;
};

std::string describe(const Token &t) {
    switch (t.kind) {
        case Kind::End:
            return "the end of the file";
        case Kind::String:
            return "a string";
        case Kind::Number:
            return "the number " + t.text;
        default:
            return "'" + t.text + "'";
    }
}

class Lexer {
  public:
    Lexer(const char *text, size_t length, bool userStrings)
        : p_(text), end_(text + length), userStrings_(userStrings) {}

    // Reads the next token; false with a message on a lexical error.
    bool next(Token &t, std::string &error) {
        t = Token{};
        errorLine_ = line_;
        if (!skipSpace(error)) return false;
        t.line = errorLine_ = line_;
        const int c = at(0);
        if (c < 0) return true;
        if (c == '"') return string(t, error);
        if (isalpha(c) || c == '_') {
            const char *start = p_;
            while (isalnum(at(0)) || at(0) == '_' || at(0) == '-') ++p_;
            t.kind = Kind::Word;
            t.text.assign(start, p_);
            return true;
        }
        if (isdigit(c) || ((c == '+' || c == '-' || c == '.') && startsNumber()))
            return number(t, error);
        if (c == '{' || c == '}' || c == ';' || c == ':' || c == ',' || c == '.') {
            ++p_;
            t.kind = Kind::Punct;
            t.text.assign(1, static_cast<char>(c));
            return true;
        }
        char buf[48];
        if (isprint(c))
            snprintf(buf, sizeof buf, "unexpected character '%c'", c);
        else
            snprintf(buf, sizeof buf, "unexpected byte 0x%02X", static_cast<unsigned>(c));
        error = buf;
        return false;
    }
    // Line of the last lexical error: where the bad token (or comment) began.
    int errorLine() const { return errorLine_; }

  private:
    int at(size_t k) const { return p_ + k < end_ ? static_cast<unsigned char>(p_[k]) : -1; }

    bool startsNumber() const {
        size_t k = (at(0) == '+' || at(0) == '-') ? 1 : 0;
        if (isdigit(at(k))) return true;
        return at(k) == '.' && isdigit(at(k + 1));
    }

    bool skipSpace(std::string &error) {
        for (;;) {
            const int c = at(0);
            if (c == '\n') {
                ++line_;
                ++p_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++p_;
            } else if (c == '#' || (c == '/' && at(1) == '/')) {
                while (at(0) >= 0 && at(0) != '\n') ++p_;
            } else if (c == '/' && at(1) == '*') {
                errorLine_ = line_;
                p_ += 2;
                while (!(at(0) == '*' && at(1) == '/')) {
                    if (at(0) < 0) {
                        error = "unterminated comment";
                        return false;
                    }
                    if (at(0) == '\n') ++line_;
                    ++p_;
                }
                p_ += 2;
            } else {
                return true;
            }
        }
    }

    bool number(Token &t, std::string &error) {
        const char *start = p_;
        bool integral = true;
        if (at(0) == '+' || at(0) == '-') ++p_;
        while (isdigit(at(0))) ++p_;
        if (at(0) == '.') {
            integral = false;
            ++p_;
            while (isdigit(at(0))) ++p_;
        }
        if ((at(0) == 'e' || at(0) == 'E') &&
            (isdigit(at(1)) || ((at(1) == '+' || at(1) == '-') && isdigit(at(2))))) {
            integral = false;
            p_ += 2;
            while (isdigit(at(0))) ++p_;
        }
        t.text.assign(start, p_);
        if (isalpha(at(0)) || at(0) == '_') {
            error = "malformed number " + t.text + std::string(1, static_cast<char>(at(0)));
            return false;
        }
        t.kind = Kind::Number;
        t.number = strtod(t.text.c_str(), nullptr);
        t.integral = integral;
        if (!std::isfinite(t.number)) {
            error = "number out of range " + t.text;
            return false;
        }
        return true;
    }

    bool string(Token &t, std::string &error) {
        ++p_;
        t.kind = Kind::String;
        for (;;) {
            const int c = at(0);
            if (c < 0 || (c == '\n' && !userStrings_)) {
                error = "unterminated string";
                return false;
            }
            if (c == '\\') {
                const int d = at(1);
                if (d == '\\' || d == '"') {
                    t.text += static_cast<char>(d);
                    p_ += 2;
                    continue;
                }
                if (!userStrings_ && (d == 'n' || d == 't')) {
                    t.text += d == 'n' ? '\n' : '\t';
                    p_ += 2;
                    continue;
                }
                t.text += '\\';
                ++p_;
                continue;
            }
            if (c == '"') {
                if (!userStrings_) {
                    ++p_;
                    return true;
                }
                size_t k = 1;
                while (at(k) == ' ' || at(k) == '\t') ++k;
                if (at(k) == ';') {
                    ++p_;
                    return true;
                }
            }
            if (c == '\n') ++line_;
            t.text += static_cast<char>(c);
            ++p_;
        }
    }

    const char *p_;
    const char *end_;
    bool userStrings_;
    int line_ = 1;
    int errorLine_ = 1;
};

// Shared token handling for both grammars: errors become "source: line N: text".
class ParserBase {
  public:
    ParserBase(const char *text, size_t length, bool userStrings, const char *source)
        : lex_(text, length, userStrings), source_(source ? source : "(text)") {}

  protected:
    bool advance() {
        std::string error;
        if (!lex_.next(tok_, error)) return fail(lex_.errorLine(), error);
        return true;
    }
    bool fail(int line, const std::string &message) {
        if (error_.empty()) error_ = source_ + ": line " + std::to_string(line) + ": " + message;
        return false;
    }
    bool isPunct(char c) const { return tok_.kind == Kind::Punct && tok_.text[0] == c; }
    bool isWord(const char *w) const {
        return tok_.kind == Kind::Word && kstr_Eqic(tok_.text.c_str(), w);
    }
    bool expectPunct(char c, const char *after) {
        if (!isPunct(c))
            return fail(tok_.line,
                        std::string("expected '") + c + "' " + after + ", found " + describe(tok_));
        return advance();
    }
    // Takes a token of the given kind into `out`.
    bool take(Kind kind, const char *what, Token &out) {
        if (tok_.kind != kind)
            return fail(tok_.line, std::string("expected ") + what + ", found " + describe(tok_));
        out = tok_;
        return advance();
    }
    // Location note to hang beneath a warning.
    Kerr_ErrorReport *where(const char *fn, int line) const {
        return kerr_CreateErrorReport(fn, 0, 0, nullptr, "%s: line %d", source_.c_str(), line);
    }

    Lexer lex_;
    Token tok_;
    std::string source_;
    std::string error_;
};

// ---- Definition files -----------------------------------------------------

const char *const kParseFn = "kpmg_ParseText";

struct Literal {
    enum Form { None, String, Expanded, Number, Color } form = None;
    std::string text;
    double number = 0;
    Kpmg_Color color{};
    int line = 0;
};

struct Owned {  // a preference under construction, freed unless released
    Kpmg_Preference *p = nullptr;
    ~Owned() { kpmg_PreferenceFree(p); }
    Kpmg_Preference *release() {
        Kpmg_Preference *r = p;
        p = nullptr;
        return r;
    }
};

class DefinitionParser : public ParserBase {
  public:
    DefinitionParser(const char *text, size_t length, const char *source)
        : ParserBase(text, length, false, source) {}
    ~DefinitionParser() { kpmg_FreeCategoryList(parsed_); }

    // Parses the whole text into a private list.
    bool parse() {
        if (!advance()) return false;
        while (tok_.kind != Kind::End) {
            if (!isWord("category"))
                return fail(tok_.line, "expected 'category', found " + describe(tok_));
            if (!advance()) return false;
            Token name;
            if (!take(Kind::Word, "a category name", name) ||
                !expectPunct('{', "after the category name"))
                return false;
            while (!isPunct('}'))
                if (!preference(name.text)) return false;
            if (!advance()) return false;
            if (isPunct(';') && !advance()) return false;
        }
        return true;
    }

    // Moves the parsed declarations into *list; returns the number added, or
    // -1 when memory ran out (the list is then left as it was).
    int32_t merge(Kpmg_Category **list) {
        struct Added {
            Kpmg_Category *category;
            bool created;
        };
        std::vector<Added> added;
        for (Kpmg_Category *c = parsed_; c; c = c->next) {
            for (int32_t i = 0; i < c->count; ++i) {
                Kpmg_Preference *p = c->preferences[i];
                Kpmg_Category *target = kpmg_MatchCategory(*list, p->categoryName);
                if (kpmg_MatchPreference(target, p->preferenceName)) continue;
                added.reserve(added.size() + 1);
                c->preferences[i] = nullptr;
                if (!addPreference(list, p)) {
                    rollBack(list, added);
                    return -1;
                }
                added.push_back({kpmg_MatchCategory(*list, c->name), target == nullptr});
            }
        }
        // What is left in the parsed list was declared already.
        for (Kpmg_Category *c = parsed_; c; c = c->next)
            for (int32_t i = 0; i < c->count; ++i)
                if (c->preferences[i]) duplicate(c->preferences[i]);
        return static_cast<int32_t>(added.size());
    }

    const std::string &error() const { return error_; }

  private:
    // Takes the preferences added by a failed merge out again, newest first.
    template <class Added>
    static void rollBack(Kpmg_Category **list, const std::vector<Added> &added) {
        for (auto it = added.rbegin(); it != added.rend(); ++it) {
            Kpmg_Category *c = it->category;
            kpmg_PreferenceFree(c->preferences[--c->count]);
            if (it->created && c->count == 0) kpmg_RemoveCategory(list, c->name);
        }
    }

    void duplicate(const Kpmg_Preference *p) {
        kr::warn(nullptr, kParseFn, 20,
                 "%s: preference %s.%s is declared again; the first declaration stays",
                 source_.c_str(), p->categoryName, p->preferenceName);
    }

    void warnAt(int line, int code, const char *format, const char *name) {
        kr::warn(where(kParseFn, line), kParseFn, code, format, name);
    }

    bool preference(const std::string &category) {
        static const struct {
            const char *word;
            int32_t type;
        } types[] = {{"string", KPMG_STRING},
                     {"number", KPMG_NUMBER},
                     {"boolean", KPMG_BOOLEAN},
                     {"enum", KPMG_ENUM},
                     {"color", KPMG_COLOR}};
        int32_t type = 0;
        for (const auto &t : types)
            if (isWord(t.word)) type = t.type;
        if (!type) return fail(tok_.line, "expected a preference type, found " + describe(tok_));
        if (!advance()) return false;
        Token name;
        if (!take(Kind::Word, "a preference name", name)) return false;

        Owned owned;
        owned.p = static_cast<Kpmg_Preference *>(kmsc_HeapMalloc(sizeof(Kpmg_Preference)));
        Kpmg_Preference *p = owned.p;
        if (!p) throw std::bad_alloc();
        p->type = type;
        p->categoryName = kstr_Duplicate(category.c_str());
        p->preferenceName = kstr_Duplicate(name.text.c_str());
        p->definitionFile = kstr_Duplicate(source_.c_str());
        if (!p->categoryName || !p->preferenceName || !p->definitionFile) throw std::bad_alloc();

        Literal chosen, fallback;
        if (isPunct(';')) {
            if (!advance()) return false;
        } else {
            if (!expectPunct('{', "or ';' after the preference name")) return false;
            while (!isPunct('}'))
                if (!clause(p, chosen, fallback)) return false;
            if (!advance()) return false;
            if (isPunct(';') && !advance()) return false;
        }
        if (!finish(p, chosen.form != Literal::None ? chosen : fallback, name.line)) return false;
        if (kpmg_MatchPreference(kpmg_MatchCategory(parsed_, p->categoryName), p->preferenceName)) {
            duplicate(p);
            return true;
        }
        if (!addPreference(&parsed_, owned.release())) throw std::bad_alloc();
        return true;
    }

    bool integer(const Token &t, long long low, long long high, int32_t &out) {
        if (!t.integral || t.number < static_cast<double>(low) ||
            t.number > static_cast<double>(high))
            return fail(t.line, "expected an integer from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", found " + t.text);
        out = static_cast<int32_t>(t.number);
        return true;
    }

    bool stringList(std::vector<std::string> &out) {
        Token s;
        if (!take(Kind::String, "a string", s)) return false;
        out.push_back(s.text);
        while (isPunct(',')) {
            if (!advance() || !take(Kind::String, "a string", s)) return false;
            out.push_back(s.text);
        }
        return true;
    }

    bool defaultClause(const Kpmg_Preference *p, Literal &chosen, Literal &fallback) {
        Literal v;
        v.line = tok_.line;
        Token t;
        if (isWord("expand")) {
            if (!advance() || !take(Kind::String, "a string after 'expand'", t)) return false;
            v.form = Literal::Expanded;
            v.text = t.text;
        } else if (tok_.kind == Kind::String) {
            v.form = Literal::String;
            v.text = tok_.text;
            if (!advance()) return false;
        } else if (tok_.kind == Kind::Number) {
            Token first = tok_;
            if (!advance()) return false;
            if (isPunct(',')) {
                Token g, b;
                v.form = Literal::Color;
                if (!advance() || !take(Kind::Number, "a number", g) ||
                    !expectPunct(',', "between colour components") ||
                    !take(Kind::Number, "a number", b) ||
                    !integer(first, INT32_MIN, INT32_MAX, v.color.red) ||
                    !integer(g, INT32_MIN, INT32_MAX, v.color.green) ||
                    !integer(b, INT32_MIN, INT32_MAX, v.color.blue))
                    return false;
            } else {
                v.form = Literal::Number;
                v.number = first.number;
            }
        } else {
            return fail(tok_.line, "expected a default value, found " + describe(tok_));
        }
        std::vector<std::string> arches;
        if (isWord("arch")) {
            if (!advance() || !stringList(arches)) return false;
        }
        if (!expectPunct(';', "after the default")) return false;

        const char *refused = nullptr;
        switch (v.form) {
            case Literal::String:
                if (p->type != KPMG_STRING && p->type != KPMG_ENUM && p->type != KPMG_BOOLEAN)
                    refused = "Encountered a string default for a non-string preference.";
                break;
            case Literal::Expanded:
                if (p->type != KPMG_STRING)
                    refused = "Encountered an expanded string default for a non-string preference.";
                break;
            case Literal::Number:
                if (p->type != KPMG_NUMBER)
                    refused = "Encountered a numeric default for a non-numeric preference.";
                break;
            default:
                if (p->type != KPMG_COLOR)
                    refused = "Encountered a color default for a non-color preference.";
                break;
        }
        if (refused) {
            kr::warn(where(kParseFn, v.line), kParseFn, 16, "%s", refused);
            return true;
        }
        if (arches.empty()) {
            fallback = v;
            return true;
        }
        if (chosen.form != Literal::None) return true;
        const char *arch = getenv("ARCH");
        for (const auto &a : arches)
            if (arch && kstr_Eqic(arch, a.c_str())) chosen = v;
        return true;
    }

    bool clause(Kpmg_Preference *p, Literal &chosen, Literal &fallback) {
        const int line = tok_.line;
        if (tok_.kind != Kind::Word)
            return fail(line, "expected a clause, found " + describe(tok_));
        if (isWord("default")) return advance() && defaultClause(p, chosen, fallback);
        Token n;
        if (isWord("maxlength")) {
            int32_t length = 0;
            if (!advance() || !take(Kind::Number, "a length", n) ||
                !integer(n, 0, INT32_MAX, length) || !expectPunct(';', "after the maximum length"))
                return false;
            if (p->type != KPMG_STRING)
                warnAt(line, 11, "Maximum length ignored on non-KPMG_STRING type parameter, %s",
                       p->preferenceName);
            else
                p->maxLength = length, p->maxLengthSet = 1;
            return true;
        }
        if (isWord("expand")) {
            if (!advance() || !expectPunct(';', "after 'expand'")) return false;
            if (p->type != KPMG_STRING)
                warnAt(line, 12, "Expand flag ignored on non-KPMG_STRING type parameter, %s",
                       p->preferenceName);
            else
                p->expandFlag = 1;
            return true;
        }
        if (isWord("minimum") || isWord("maximum")) {
            const bool minimum = isWord("minimum");
            if (!advance() || !take(Kind::Number, "a number", n) ||
                !expectPunct(';', "after the bound"))
                return false;
            if (p->type != KPMG_NUMBER) {
                warnAt(
                    line, minimum ? 13 : 14,
                    minimum
                        ? "Minimum value restriction ignored on non-KPMG_NUMBER type parameter, %s"
                        : "Maximum value restriction ignored on non-KPMG_NUMBER type parameter, %s",
                    p->preferenceName);
            } else if (minimum) {
                p->minimum = n.number, p->minimumSet = 1;
            } else {
                p->maximum = n.number, p->maximumSet = 1;
            }
            return true;
        }
        if (isWord("boolean")) {
            Token yes, no;
            if (!advance() || !take(Kind::String, "the true word", yes) ||
                !take(Kind::String, "the false word", no) || !expectPunct(';', "after the words"))
                return false;
            if (p->type != KPMG_BOOLEAN) {
                warnAt(line, 15, "Boolean declaration ignored for non-string type parameter, %s",
                       p->preferenceName);
                return true;
            }
            if (yes.text.empty() || no.text.empty() || kstr_Eqic(yes.text.c_str(), no.text.c_str()))
                return fail(line, "the true and false words must be two different words");
            kmsc_HeapFree(p->trueWord);
            kmsc_HeapFree(p->falseWord);
            p->trueWord = kstr_Duplicate(yes.text.c_str());
            p->falseWord = kstr_Duplicate(no.text.c_str());
            if (!p->trueWord || !p->falseWord) throw std::bad_alloc();
            return true;
        }
        if (isWord("enum")) {
            std::vector<std::string> names;
            if (!advance() || !stringList(names) || !expectPunct(';', "after the names"))
                return false;
            if (p->type != KPMG_ENUM) {
                warnAt(line, 17, "Enum declaration ignored for non-string type parameter, %s",
                       p->preferenceName);
                return true;
            }
            for (const auto &s : names)
                if (s.empty()) return fail(line, "an enumeration name may not be empty");
            if (p->enumNames)
                for (int32_t i = 0; i < p->enumCount; ++i) kmsc_HeapFree(p->enumNames[i]);
            kmsc_HeapFree(p->enumNames);
            p->enumCount = 0;
            p->enumNames = static_cast<char **>(kmsc_HeapMalloc(sizeof(char *) * names.size()));
            if (!p->enumNames) throw std::bad_alloc();
            for (const auto &s : names) {
                p->enumNames[p->enumCount] = kstr_Duplicate(s.c_str());
                if (!p->enumNames[p->enumCount]) throw std::bad_alloc();
                ++p->enumCount;
            }
            return true;
        }
        return fail(line, "unknown clause '" + tok_.text + "'");
    }

    // Checks the declaration as a whole and sets its default.
    bool finish(Kpmg_Preference *p, const Literal &d, int line) {
        const std::string name = std::string(p->categoryName) + "." + p->preferenceName;
        Kpmg_Value &v = p->defaultValue;
        switch (p->type) {
            case KPMG_STRING: {
                std::string text = d.text;
                if (d.form == Literal::Expanded || p->expandFlag) {
                    Kerr_ErrorReport *inner = nullptr;
                    char *expanded = kstr_PathExpand(text.c_str(), &inner);
                    kerr_DeleteErrorReport(inner);
                    if (!expanded) throw std::bad_alloc();
                    text = expanded;
                    kmsc_HeapFree(expanded);
                }
                if (p->maxLengthSet && text.size() > static_cast<size_t>(p->maxLength))
                    return fail(line, "the default of " + name + " exceeds its maximum length");
                v.string = kstr_Duplicate(text.c_str());
                if (!v.string) throw std::bad_alloc();
                return true;
            }
            case KPMG_NUMBER: {
                if (p->minimumSet && p->maximumSet && p->minimum > p->maximum)
                    return fail(line, "the minimum of " + name + " exceeds its maximum");
                if (d.form == Literal::None) {
                    v.number = 0;
                    if (p->minimumSet && v.number < p->minimum) v.number = p->minimum;
                    if (p->maximumSet && v.number > p->maximum) v.number = p->maximum;
                    return true;
                }
                v.number = d.number;
                if ((p->minimumSet && v.number < p->minimum) ||
                    (p->maximumSet && v.number > p->maximum))
                    return fail(d.line, "the default of " + name + " lies outside its bounds");
                return true;
            }
            case KPMG_BOOLEAN: {
                if (!p->trueWord) p->trueWord = kstr_Duplicate("true");
                if (!p->falseWord) p->falseWord = kstr_Duplicate("false");
                if (!p->trueWord || !p->falseWord) throw std::bad_alloc();
                if (d.form == Literal::None) return true;
                const char *s = d.text.c_str();
                if (kstr_Eqic(s, p->trueWord) || kstr_StringToBoolean(s))
                    v.boolean = 1;
                else if (kstr_Eqic(s, p->falseWord))
                    v.boolean = 0;
                else
                    return fail(d.line,
                                "the default '" + d.text + "' of " + name + " is not a truth word");
                return true;
            }
            case KPMG_ENUM: {
                if (p->enumCount == 0)
                    return fail(line, "the enumeration " + name + " declares no names");
                const char *match = d.form == Literal::None ? p->enumNames[0] : nullptr;
                for (int32_t i = 0; !match && i < p->enumCount; ++i)
                    if (kstr_Eqic(d.text.c_str(), p->enumNames[i])) match = p->enumNames[i];
                if (!match)
                    return fail(d.line, "the default '" + d.text + "' of " + name +
                                            " is not one of its names");
                v.string = kstr_Duplicate(match);
                if (!v.string) throw std::bad_alloc();
                return true;
            }
            default:
                v.color = d.color;
                return true;
        }
    }

    Kpmg_Category *parsed_ = nullptr;
};

// ---- User files -----------------------------------------------------------

const char *const kPrfFn = "kpmg_PrfParseText";

class UserFileParser : public ParserBase {
  public:
    UserFileParser(const char *text, size_t length, const char *source)
        : ParserBase(text, length, true, source) {}

    // Reads every entry, storing each into the list; -1 at a syntax error.
    int32_t parse(Kpmg_Category *list) {
        int32_t entries = 0;
        if (!advance()) return -1;
        while (tok_.kind != Kind::End) {
            Token category, name;
            if (!take(Kind::Word, "a category name", category) ||
                !expectPunct('.', "between the category and the preference name") ||
                !take(Kind::Word, "a preference name", name) ||
                !expectPunct(':', "after the preference name"))
                return -1;
            int32_t type = KPMG_STRING;
            Kpmg_Value value{};
            std::string text;
            if (tok_.kind == Kind::String || tok_.kind == Kind::Word) {
                text = tok_.text;
                if (!advance()) return -1;
            } else if (tok_.kind == Kind::Number) {
                Token first = tok_;
                if (!advance()) return -1;
                if (isPunct(',')) {
                    Token g, b;
                    if (!advance() || !take(Kind::Number, "a number", g) ||
                        !expectPunct(',', "between colour components") ||
                        !take(Kind::Number, "a number", b) || !component(first, value.color.red) ||
                        !component(g, value.color.green) || !component(b, value.color.blue))
                        return -1;
                    type = KPMG_COLOR;
                } else {
                    type = KPMG_NUMBER;
                    value.number = first.number;
                }
            } else {
                fail(tok_.line, "expected a value, found " + describe(tok_));
                return -1;
            }
            if (!expectPunct(';', "after the value")) return -1;
            value.string = const_cast<char *>(text.c_str());
            store(list, category, name, type, value);
            ++entries;
        }
        return entries;
    }

    const std::string &error() const { return error_; }

  private:
    bool component(const Token &t, int32_t &out) {
        if (!t.integral || t.number < INT32_MIN || t.number > INT32_MAX)
            return fail(t.line, "a colour component must be an integer, found " + t.text);
        out = static_cast<int32_t>(t.number);
        return true;
    }

    void store(Kpmg_Category *list, const Token &category, const Token &name, int32_t type,
               const Kpmg_Value &value) {
        const char *c = category.text.c_str(), *n = name.text.c_str();
        Kpmg_Category *cat = kpmg_MatchCategory(list, c);
        if (!cat) {
            kr::warn(where(kPrfFn, category.line), kPrfFn, 2,
                     "%s.%s: Preference category %s not found", c, n, c);
            return;
        }
        Kpmg_Preference *p = kpmg_MatchPreference(cat, n);
        if (!p) {
            kr::warn(where(kPrfFn, category.line), kPrfFn, 3, "Entry %s.%s is no longer valid!.", c,
                     n);
            return;
        }
        Kerr_ErrorReport *inner = nullptr;
        if (kpmg_PreferenceSetValue(p, type, &value, nullptr, &inner) != 0)
            kr::warn(inner, kPrfFn, 4, "%s: line %d: value of %s.%s not stored", source_.c_str(),
                     category.line, c, n);
    }
};

// Appends s to out with every backslash doubled.
void appendEscaped(std::string &out, const char *s) {
    for (; s && *s; ++s) {
        if (*s == '\\') out += '\\';
        out += *s;
    }
}

}  // namespace
}  // namespace kr::prefs

using namespace kr::prefs;

extern "C" {

KRASTER_API int32_t kpmg_ParseText(const char *text, size_t length, const char *sourceName,
                                   Kpmg_Category **list, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!list || (!text && length > 0)) {
        e.error(kParseFn, 3, "Null argument");
        return -1;
    }
    try {
        DefinitionParser parser(text ? text : "", length, sourceName);
        if (!parser.parse()) {
            e.error(kParseFn, 1, "%s", parser.error().c_str());
            e.error(kParseFn, 2, "KPMG: Error return from klex_Parse!");
            return -1;
        }
        const int32_t added = parser.merge(list);
        if (added < 0) throw std::bad_alloc();
        return added;
    } catch (const std::bad_alloc &) {
        e.error(kParseFn, 4, "No memory");
        return -1;
    }
}

KRASTER_API int32_t kpmg_PrfParseText(const char *text, size_t length, const char *sourceName,
                                      Kpmg_Category *list, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!text && length > 0) {
        e.error(kPrfFn, 5, "Null argument");
        return -1;
    }
    try {
        UserFileParser parser(text ? text : "", length, sourceName);
        const int32_t entries = parser.parse(list);
        if (entries < 0) e.error(kPrfFn, 1, "%s", parser.error().c_str());
        return entries;
    } catch (const std::bad_alloc &) {
        e.error(kPrfFn, 6, "No memory");
        return -1;
    }
}

KRASTER_API char *kpmg_PrfFormat(const Kpmg_Category *list, const char *fileName) {
    try {
        std::string out = "/*\n";
        out += "******************************************************\n";
        out += "** ";
        out += fileName ? fileName : "";
        out += " - This file is automatically created  \n";
        out += "**                 by the ORVEL Preferences Editor.   \n";
        out += "******************************************************\n";
        out += "*/\n\n\n";
        for (const Kpmg_Category *c = list; c; c = c->next) {
            for (int32_t i = 0; i < c->count; ++i) {
                const Kpmg_Preference *p = c->preferences[i];
                if (!p->userInForce) continue;
                out += c->name;
                out += '.';
                out += p->preferenceName;
                out += " : ";
                const Kpmg_Value &v = p->userValue;
                char buf[400];
                switch (p->type) {
                    case KPMG_NUMBER:
                        snprintf(buf, sizeof buf, "%f;\n", v.number);
                        out += buf;
                        break;
                    case KPMG_COLOR:
                        snprintf(buf, sizeof buf, "%d,%d,%d;\n", static_cast<int>(v.color.red),
                                 static_cast<int>(v.color.green), static_cast<int>(v.color.blue));
                        out += buf;
                        break;
                    default:
                        out += '"';
                        appendEscaped(out, p->type == KPMG_BOOLEAN
                                               ? (v.boolean ? trueWord(p) : falseWord(p))
                                               : v.string);
                        out += "\";\n";
                        break;
                }
            }
        }
        return kstr_DuplicateN(out.data(), out.size());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

}  // extern "C"
