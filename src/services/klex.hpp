// The grammar-driven lexer and parser: a grammar is a table of productions
// over tokens, nonterminals and action symbols; the parser builds its LL(1)
// table from it once and then reads text predictively, calling the actions
// as it reaches them. Semantic values travel on a value stack: every token
// that carries a value (names, strings, numbers, keywords) is pushed when it
// is matched, and actions pop and push.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/report.hpp"

namespace kr::lex {

// Symbols. Tokens are below kFirstNonterminal: the end of the input, the
// token classes, keywords (kFirstKeyword + index in the keyword list) and
// single characters (charToken(c)).
constexpr int kEnd = 0;
constexpr int kName = 1;     // letter or '_', then letters, digits and '_'
constexpr int kString = 2;   // "..." on one line; \" and \\ are escapes
constexpr int kInteger = 3;  // digits
constexpr int kFloat = 4;    // digits with a fraction and/or an exponent
constexpr int kFirstKeyword = 16;
constexpr int charToken(char c) {
    return 256 + static_cast<unsigned char>(c);
}
constexpr int kFirstNonterminal = 1000;
constexpr int kFirstAction = 2000;

// Longest token text accepted.
constexpr size_t kMaxTokenLength = 1024;

struct Value {
    int token = kEnd;
    int line = 0;
    std::string text;   // names, strings (unescaped), keywords, numbers as written
    double number = 0;  // INTEGER and FLOAT tokens; free for actions
};

struct Production {
    int lhs;
    std::vector<int> rhs;
};

struct Grammar {
    std::vector<std::string> keywords;      // compared exactly
    std::string characters;                 // characters that are tokens
    std::vector<std::string> nonterminals;  // names, for table conflicts
    std::vector<Production> productions;
    int start = kFirstNonterminal;
};

// Called for each action symbol with the values so far and the line of the
// last token read. Returns false after raising a report to end the parse.
class Actions {
  public:
    virtual ~Actions() = default;
    virtual bool act(int action, std::vector<Value> &values, int line, kr::Report &e) = 0;
};

class Parser {
  public:
    // Builds the parse table; false with *why when the grammar is not LL(1).
    bool build(const Grammar &grammar, std::string *why);
    // Parses text; on failure raises a report of function "klex_Parse"
    // naming the source, the line and what was found and expected, and
    // returns false.
    bool parse(std::string_view text, const char *source, Actions &actions, kr::Report &e) const;

  private:
    std::string describe(int token) const;
    Grammar g_;
    std::map<std::pair<int, int>, int> table_;  // (nonterminal, token) -> production
};

}  // namespace kr::lex
