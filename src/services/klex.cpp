// The grammar-driven lexer and LL(1) parser.
#include "services/klex.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>

namespace kr::lex {

namespace {

bool isTerminal(int s) {
    return s < kFirstNonterminal;
}
bool isAction(int s) {
    return s >= kFirstAction;
}

// Deepest parse stack accepted: bounds nesting in hostile input.
constexpr size_t kMaxStack = 20000;

struct Token {
    int code = kEnd;
    int line = 1;
    std::string text;
    double number = 0;
};

class Lexer {
  public:
    Lexer(std::string_view text, const Grammar &g) : text_(text), g_(g) {}

    // The next token, or false with *why.
    bool next(Token *t, std::string *why) {
        skipBlanks();
        t->text.clear();
        t->number = 0;
        t->line = line_;
        if (pos_ >= text_.size()) {
            t->code = kEnd;
            return true;
        }
        const char c = text_[pos_];
        if (c == '"') return string(t, why);
        if (isDigit(c) || (c == '.' && pos_ + 1 < text_.size() && isDigit(text_[pos_ + 1])))
            return number(t, why);
        if (isAlpha(c)) return name(t, why);
        if (c != '\0' && g_.characters.find(c) != std::string::npos) {
            ++pos_;
            t->code = charToken(c);
            t->text.assign(1, c);
            return true;
        }
        char buf[64];
        if (c >= 0x20 && c < 0x7f)
            snprintf(buf, sizeof buf, "unexpected character '%c'", c);
        else
            snprintf(buf, sizeof buf, "unexpected character 0x%02x", static_cast<unsigned char>(c));
        *why = buf;
        return false;
    }

  private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isAlpha(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    }

    void skipBlanks() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '#') {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            } else {
                break;
            }
        }
    }

    bool tooLong(const Token *t, std::string *why) const {
        if (t->text.size() <= kMaxTokenLength) return false;
        *why = "token longer than " + std::to_string(kMaxTokenLength) + " characters";
        return true;
    }

    bool string(Token *t, std::string *why) {
        ++pos_;
        while (true) {
            if (pos_ >= text_.size() || text_[pos_] == '\n') {
                *why = "unterminated string";
                return false;
            }
            char c = text_[pos_++];
            if (c == '"') break;
            if (c == '\\' && pos_ < text_.size() && (text_[pos_] == '"' || text_[pos_] == '\\'))
                c = text_[pos_++];
            if (c == '\0') {
                *why = "NUL character in a string";
                return false;
            }
            t->text.push_back(c);
            if (tooLong(t, why)) return false;
        }
        t->code = kString;
        return true;
    }

    bool number(Token *t, std::string *why) {
        bool real = false;
        auto digits = [&] {
            while (pos_ < text_.size() && isDigit(text_[pos_])) t->text.push_back(text_[pos_++]);
        };
        digits();
        if (pos_ < text_.size() && text_[pos_] == '.') {
            real = true;
            t->text.push_back(text_[pos_++]);
            digits();
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            size_t p = pos_ + 1;
            if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
            if (p < text_.size() && isDigit(text_[p])) {
                real = true;
                t->text.append(text_.substr(pos_, p - pos_));
                pos_ = p;
                digits();
            }
        }
        if (tooLong(t, why)) return false;
        if (pos_ < text_.size() && isAlpha(text_[pos_])) {
            *why = "malformed number " + t->text + text_[pos_];
            return false;
        }
        t->number = strtod(t->text.c_str(), nullptr);
        if (!std::isfinite(t->number)) {
            *why = "number " + t->text + " is out of range";
            return false;
        }
        t->code = real ? kFloat : kInteger;
        return true;
    }

    bool name(Token *t, std::string *why) {
        while (pos_ < text_.size() && (isAlpha(text_[pos_]) || isDigit(text_[pos_])))
            t->text.push_back(text_[pos_++]);
        if (tooLong(t, why)) return false;
        t->code = kName;
        for (size_t i = 0; i < g_.keywords.size(); ++i)
            if (g_.keywords[i] == t->text) t->code = kFirstKeyword + static_cast<int>(i);
        return true;
    }

    std::string_view text_;
    const Grammar &g_;
    size_t pos_ = 0;
    int line_ = 1;
};

}  // namespace

bool Parser::build(const Grammar &grammar, std::string *why) {
    g_ = grammar;
    table_.clear();
    // FIRST sets of nonterminals (tokens only) and which ones derive nothing.
    std::map<int, std::set<int>> first, follow;
    std::set<int> nullable;
    auto firstOf = [&](const std::vector<int> &rhs, size_t from, std::set<int> *out) {
        for (size_t i = from; i < rhs.size(); ++i) {
            const int s = rhs[i];
            if (isAction(s)) continue;
            if (isTerminal(s)) {
                out->insert(s);
                return false;
            }
            out->insert(first[s].begin(), first[s].end());
            if (!nullable.count(s)) return false;
        }
        return true;  // the rest can derive nothing
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (const Production &p : g_.productions) {
            std::set<int> f;
            const bool empty = firstOf(p.rhs, 0, &f);
            const size_t before = first[p.lhs].size();
            first[p.lhs].insert(f.begin(), f.end());
            if (first[p.lhs].size() != before) changed = true;
            if (empty && nullable.insert(p.lhs).second) changed = true;
        }
    }
    follow[g_.start].insert(kEnd);
    for (bool changed = true; changed;) {
        changed = false;
        for (const Production &p : g_.productions)
            for (size_t i = 0; i < p.rhs.size(); ++i) {
                const int s = p.rhs[i];
                if (isTerminal(s) || isAction(s)) continue;
                std::set<int> f;
                if (firstOf(p.rhs, i + 1, &f)) f.insert(follow[p.lhs].begin(), follow[p.lhs].end());
                const size_t before = follow[s].size();
                follow[s].insert(f.begin(), f.end());
                if (follow[s].size() != before) changed = true;
            }
    }
    for (size_t k = 0; k < g_.productions.size(); ++k) {
        const Production &p = g_.productions[k];
        std::set<int> f;
        if (firstOf(p.rhs, 0, &f)) f.insert(follow[p.lhs].begin(), follow[p.lhs].end());
        for (int t : f) {
            auto [it, fresh] = table_.emplace(std::make_pair(p.lhs, t), static_cast<int>(k));
            if (!fresh) {
                const size_t n = static_cast<size_t>(p.lhs - kFirstNonterminal);
                *why = "grammar is not LL(1) at " +
                       (n < g_.nonterminals.size() ? g_.nonterminals[n] : std::to_string(p.lhs)) +
                       " before " + describe(t);
                return false;
            }
        }
    }
    return true;
}

std::string Parser::describe(int token) const {
    if (token == kEnd) return "the end of the file";
    if (token == kName) return "a name";
    if (token == kString) return "a string";
    if (token == kInteger || token == kFloat) return "a number";
    if (token >= kFirstKeyword && token < kFirstKeyword + static_cast<int>(g_.keywords.size()))
        return g_.keywords[token - kFirstKeyword];
    if (token >= 256 && token < 512)
        return std::string("\"") + static_cast<char>(token - 256) + "\"";
    return "token " + std::to_string(token);
}

bool Parser::parse(std::string_view text, const char *source, Actions &actions,
                   kr::Report &e) const {
    static const char *const fn = "klex_Parse";
    if (!source) source = "<text>";
    try {
        Lexer lexer(text, g_);
        std::vector<int> stack{kEnd, g_.start};
        std::vector<Value> values;
        Token tok;
        std::string why;
        int lastLine = 1;
        if (!lexer.next(&tok, &why)) {
            e.error(fn, 1, "%s, line %d: %s", source, tok.line, why.c_str());
            return false;
        }
        while (!stack.empty()) {
            const int x = stack.back();
            stack.pop_back();
            if (isAction(x)) {
                if (!actions.act(x, values, lastLine, e)) {
                    e.error(fn, 2, "%s, line %d", source, lastLine);
                    return false;
                }
            } else if (isTerminal(x)) {
                if (x != tok.code) {
                    e.error(fn, 3, "%s, line %d: found %s where %s was expected", source, tok.line,
                            describe(tok.code).c_str(), describe(x).c_str());
                    return false;
                }
                if (x == kEnd) return true;
                if (x < 256) values.push_back(Value{tok.code, tok.line, tok.text, tok.number});
                lastLine = tok.line;
                if (!lexer.next(&tok, &why)) {
                    e.error(fn, 1, "%s, line %d: %s", source, tok.line, why.c_str());
                    return false;
                }
            } else {
                auto it = table_.find({x, tok.code});
                if (it == table_.end()) {
                    std::string expected;
                    int n = 0;
                    for (auto p = table_.lower_bound({x, -1});
                         p != table_.end() && p->first.first == x; ++p) {
                        const std::string d = describe(p->first.second);
                        if (expected.find(d) != std::string::npos) continue;
                        expected += (n++ ? ", " : "") + d;
                    }
                    e.error(fn, 3, "%s, line %d: found %s where %s%s was expected", source,
                            tok.line, describe(tok.code).c_str(), n > 1 ? "one of " : "",
                            expected.c_str());
                    return false;
                }
                const std::vector<int> &rhs = g_.productions[it->second].rhs;
                if (stack.size() + rhs.size() > kMaxStack) {
                    e.error(fn, 4, "%s, line %d: nesting too deep", source, tok.line);
                    return false;
                }
                stack.insert(stack.end(), rhs.rbegin(), rhs.rend());
            }
        }
        return true;
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "%s: out of memory", source);
        return false;
    }
}

}  // namespace kr::lex
