// Magic-number tables: each line is parsed once into a compiled test list;
// matching walks those lists over the caller's bytes without re-reading text.
#include <kraster/kmgc.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/report.hpp"

namespace {

enum class Kind : uint8_t { Byte, Short, Long, String };

struct TypeWord {
    const char *name;
    Kind kind;
    bool bigEndian;
};

// The type words of the notation; "short", "long" and "date" are read
// little-endian so that a table means the same on every host.
constexpr TypeWord kTypes[] = {
    {"byte", Kind::Byte, false},     {"short", Kind::Short, false}, {"long", Kind::Long, false},
    {"string", Kind::String, false}, {"date", Kind::Long, false},   {"beshort", Kind::Short, true},
    {"belong", Kind::Long, true},    {"bedate", Kind::Long, true},  {"leshort", Kind::Short, false},
    {"lelong", Kind::Long, false},   {"ledate", Kind::Long, false},
};

size_t widthOf(Kind k) {
    return k == Kind::Byte ? 1 : k == Kind::Short ? 2 : 4;
}

uint64_t widthMask(size_t width) {
    return width >= 8 ? ~0ull : (1ull << (8 * width)) - 1;
}

// One compiled test of an entry.
struct Test {
    int level = 0;
    bool relative = false;  // offset counts from the end of the parent's field
    uint32_t offset = 0;
    bool indirect = false;
    size_t pointerWidth = 0;
    bool pointerBigEndian = false;
    int64_t adjust = 0;  // added to the pointer read
    Kind kind = Kind::Byte;
    bool bigEndian = false;
    char op = '=';             // = ! < > & ^ x
    bool signedOrder = false;  // value written negative: orderings are signed
    uint64_t mask = ~0ull;
    uint64_t value = 0;  // truncated to the field's width
    std::string bytes;   // string value
};

struct Entry {
    std::vector<Test> tests;  // empty for a character-set entry
    bool charSet = false;
    uint8_t allowed[128] = {};
    std::string message;
};

struct Failure {
    int code;
    std::string message;
};

// Value of a decimal or hex digit; 16 for anything else.
int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 16;
}

// Single-character string escapes, each followed by the byte it stands for.
constexpr char kEscapes[] = "a\ab\bf\fn\nr\rt\tv\v";
// Pointer types of indirect offsets: byte, 16 and 32 bits, little-endian
// then big-endian.
constexpr char kPointerTypes[] = "bslBSL";

// Reads an unsigned number written in decimal, "0x" hex or leading-"0"
// octal from s at i; false when there are no digits or it overflows.
bool readNumber(std::string_view s, size_t &i, uint64_t &out) {
    int base = 10;
    size_t j = i;
    if (j + 1 < s.size() && s[j] == '0' && (s[j + 1] == 'x' || s[j + 1] == 'X')) {
        base = 16;
        j += 2;
    } else if (j < s.size() && s[j] == '0') {
        base = 8;
    }
    const size_t first = j;
    uint64_t v = 0;
    for (; j < s.size(); ++j) {
        const int d = digitValue(s[j]);
        if (d >= base) break;
        if (v > (~0ull - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (j == first) return false;
    i = j;
    out = v;
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

void skipBlanks(std::string_view s, size_t &i) {
    while (i < s.size() && isBlank(s[i])) ++i;
}

std::string_view word(std::string_view s, size_t &i) {
    const size_t start = i;
    while (i < s.size() && !isBlank(s[i])) ++i;
    return s.substr(start, i - start);
}

// Parses the offset word into t; false with f filled.
bool parseOffset(std::string_view w, Test &t, Failure &f) {
    const auto invalid = [&] {
        f = {2, "offset " + std::string(w) + " invalid"};
        return false;
    };
    size_t i = 0;
    if (i < w.size() && w[i] == '&') {
        t.relative = true;
        ++i;
    }
    uint64_t v = 0;
    if (i < w.size() && w[i] == '(') {
        if (t.relative) return invalid();  // "&(...)" is not supported; "(&N...)" is
        t.indirect = true;
        ++i;
        if (i < w.size() && w[i] == '&') {
            t.relative = true;
            ++i;
        }
        if (!readNumber(w, i, v) || v > KMGC_OFFSET_MAX) return invalid();
        t.offset = static_cast<uint32_t>(v);
        t.pointerWidth = 4;
        if (i < w.size() && w[i] == '.') {
            if (++i >= w.size()) return invalid();
            const char c = w[i++];
            const char *type = strchr(kPointerTypes, c);
            if (!type || !c) {
                f = {3, std::string("indirect offset type ") + c + " invalid"};
                return false;
            }
            t.pointerWidth = size_t{1} << ((type - kPointerTypes) % 3);
            t.pointerBigEndian = type - kPointerTypes >= 3;
        }
        if (i < w.size() && (w[i] == '+' || w[i] == '-')) {
            const bool minus = w[i++] == '-';
            uint64_t a = 0;
            if (!readNumber(w, i, a) || a > KMGC_OFFSET_MAX) return invalid();
            t.adjust = minus ? -static_cast<int64_t>(a) : static_cast<int64_t>(a);
        }
        if (i >= w.size() || w[i] != ')') {
            if (w.find(')', i) == std::string_view::npos) {
                f = {4, "missing ')' in indirect offset"};
                return false;
            }
            return invalid();
        }
        ++i;
    } else {
        if (!readNumber(w, i, v) || v > KMGC_OFFSET_MAX) return invalid();
        t.offset = static_cast<uint32_t>(v);
    }
    if (i != w.size()) return invalid();
    if (t.relative && t.level == 0) return invalid();  // nothing to be relative to
    return true;
}

// Parses "type" or "type&mask" into t.
bool parseType(std::string_view w, Test &t, Failure &f) {
    const size_t amp = w.find('&');
    const std::string_view name = w.substr(0, amp);
    const TypeWord *type = nullptr;
    for (const TypeWord &tw : kTypes)
        if (name == tw.name) type = &tw;
    if (!type || (amp != std::string_view::npos && type->kind == Kind::String)) {
        f = {5, "type " + std::string(w) + " invalid"};
        return false;
    }
    t.kind = type->kind;
    t.bigEndian = type->bigEndian;
    if (amp != std::string_view::npos) {
        size_t i = amp + 1;
        uint64_t m = 0;
        if (!readNumber(w, i, m) || i != w.size() || (m & ~widthMask(widthOf(t.kind))) != 0) {
            f = {5, "type " + std::string(w) + " invalid"};
            return false;
        }
        t.mask = m;
    }
    return true;
}

// Decodes a string value from s at i up to the first unescaped blank.
void parseStringValue(std::string_view s, size_t &i, std::string &out) {
    while (i < s.size() && !isBlank(s[i])) {
        char c = s[i++];
        if (c != '\\' || i >= s.size()) {
            out += c;
            continue;
        }
        c = s[i++];
        const char *e = c ? strchr(kEscapes, c) : nullptr;
        if (e && (e - kEscapes) % 2 == 0) {
            out += e[1];
        } else if (c == 'x') {
            int v = 0, n = 0;
            for (int d; n < 2 && i < s.size() && (d = digitValue(s[i])) < 16; ++n, ++i)
                v = v * 16 + d;
            out += n ? static_cast<char>(v) : 'x';
        } else if (c >= '0' && c <= '7') {
            int v = c - '0';
            for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n)
                v = v * 8 + (s[i++] - '0');
            out += static_cast<char>(v & 0xff);
        } else {
            out += c;
        }
    }
}

bool parseTest(std::string_view s, size_t &i, Test &t, Failure &f) {
    const auto missing = [&] {
        f = {6, "Missing value to compare"};
        return false;
    };
    if (i >= s.size()) return missing();
    const size_t start = i;
    if (s[i] == 'x' && (i + 1 == s.size() || isBlank(s[i + 1]))) {
        t.op = 'x';
        ++i;
        return true;
    }
    if (t.kind == Kind::String) {
        if (s[i] == '=' || s[i] == '!' || s[i] == '<' || s[i] == '>') t.op = s[i++];
        parseStringValue(s, i, t.bytes);
        if (t.bytes.size() > KMGC_STRING_MAX) {
            f = {7, "String too long: " + std::string(s.substr(start, i - start)) + "\n"};
            return false;
        }
        if (t.bytes.empty()) return missing();
        return true;
    }
    if (strchr("=!<>&^", s[i])) t.op = s[i++];
    const bool negative = i < s.size() && s[i] == '-';
    if (negative) ++i;
    if (i >= s.size() || isBlank(s[i])) return missing();
    const uint64_t width = widthMask(widthOf(t.kind));
    uint64_t v = 0;
    size_t j = i;
    const bool ok = readNumber(s, j, v) && (j == s.size() || isBlank(s[j]));
    // A value must fit the field: up to the unsigned maximum, or down to the
    // signed minimum when written negative.
    const bool fits = negative ? v <= (width >> 1) + 1 : v <= width;
    if (!ok || !fits || (negative && (t.op == '&' || t.op == '^'))) {
        while (j < s.size() && !isBlank(s[j])) ++j;
        f = {8, "Value " + std::string(s.substr(start, j - start)) + " invalid"};
        return false;
    }
    i = j;
    t.signedOrder = negative;
    t.value = (negative ? 0 - v : v) & width;
    return true;
}

// Default character set of text formats: BS, TAB, LF, VT, FF, CR, ESC and
// the printable codes.
void defaultCharSet(uint8_t allowed[128]) {
    for (int c = 0; c < 128; ++c)
        allowed[c] = (c >= 8 && c <= 13) || c == 27 || (c >= 0x20 && c <= 0x7e);
}

void parseCharSet(std::string_view s, Entry &e) {
    e.charSet = true;
    defaultCharSet(e.allowed);
    size_t i = 5;  // after "ASCII"
    while (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        size_t j = i + 1;
        uint64_t c = 0;
        if (!readNumber(s, j, c) || c >= 128) break;
        if (j < s.size() && s[j] == ':') {
            ++j;
        } else if (j < s.size() && !isBlank(s[j])) {
            break;
        }
        e.allowed[c] = s[i] == '+';
        i = j;
    }
    skipBlanks(s, i);
    if (i < s.size()) {
        const std::string rest(s.substr(i));
        kr::warn(nullptr, "kmgc_MagicAppend", 9,
                 "Ignoring extraneous characters found after 'ASCII' keyword (%s)", rest.c_str());
    }
}

uint64_t readField(const uint8_t *p, size_t width, bool bigEndian) {
    uint64_t v = 0;
    for (size_t k = 0; k < width; ++k)
        v |= static_cast<uint64_t>(p[k]) << (8 * (bigEndian ? width - 1 - k : k));
    return v;
}

int64_t signExtend(uint64_t v, size_t width) {
    const unsigned shift = static_cast<unsigned>(64 - 8 * width);
    return static_cast<int64_t>(v << shift) >> shift;
}

// Evaluates one test; ends[level] receives the end of the field it read.
bool runTest(const Test &t, const uint8_t *b, size_t n, size_t ends[]) {
    size_t pos = t.relative ? ends[t.level - 1] : 0;
    if (t.offset > n || pos > n - t.offset) return false;
    pos += t.offset;
    if (t.indirect) {
        if (t.pointerWidth > n - pos) return false;
        const uint64_t ptr = readField(b + pos, t.pointerWidth, t.pointerBigEndian);
        if (t.adjust < 0 && ptr < static_cast<uint64_t>(-t.adjust)) return false;
        const uint64_t target = ptr + static_cast<uint64_t>(t.adjust);
        if (target > n) return false;
        pos = static_cast<size_t>(target);
    }
    if (t.kind == Kind::String) {
        const size_t len = t.bytes.size();
        if (len > n - pos) return false;
        ends[t.level] = pos + len;
        if (t.op == 'x') return true;
        const int c = memcmp(b + pos, t.bytes.data(), len);
        switch (t.op) {
            case '!':
                return c != 0;
            case '<':
                return c < 0;
            case '>':
                return c > 0;
            default:
                return c == 0;
        }
    }
    const size_t width = widthOf(t.kind);
    if (width > n - pos) return false;
    ends[t.level] = pos + width;
    const uint64_t v = readField(b + pos, width, t.bigEndian) & t.mask;
    switch (t.op) {
        case 'x':
            return true;
        case '!':
            return v != t.value;
        case '&':
            return (v & t.value) == t.value;
        case '^':
            return (v & t.value) == 0;
        case '<':
            return t.signedOrder ? signExtend(v, width) < signExtend(t.value, width) : v < t.value;
        case '>':
            return t.signedOrder ? signExtend(v, width) > signExtend(t.value, width) : v > t.value;
        default:
            return v == t.value;
    }
}

// Bytes a test can reach at a known position, or -1 when its position
// depends on the file's bytes. known[level] holds the parents' ends (or -1).
int64_t reach(const Test &t, int64_t known[]) {
    int64_t pos = t.relative ? known[t.level - 1] : 0;
    if (pos >= 0) pos += t.offset;
    int64_t need = -1;
    if (t.indirect) {
        need = pos >= 0 ? pos + static_cast<int64_t>(t.pointerWidth) : -1;
        pos = -1;
    }
    const int64_t size = t.kind == Kind::String ? static_cast<int64_t>(t.bytes.size())
                                                : static_cast<int64_t>(widthOf(t.kind));
    known[t.level] = pos >= 0 ? pos + size : -1;
    return known[t.level] >= 0 ? known[t.level] : need;
}

}  // namespace

struct Kmgc_MagicTable {
    std::vector<Entry> entries;
    int32_t maxBytes = 0;
};

namespace {

// Leading bytes an entry's tests can reach; entries only grow, so the
// table's figure is the largest of its entries'.
int32_t entryReach(const Entry &e) {
    int64_t most = 0;
    int64_t known[KMGC_LEVEL_MAX + 1];
    for (const Test &t : e.tests) {
        most = std::max(most, reach(t, known));
        if (known[t.level] < 0) most = std::max<int64_t>(most, KMGC_INDIRECT_BYTES);
    }
    return static_cast<int32_t>(most);
}

// Appends the message of a continuation as the notation asks: after a blank
// unless it starts with "\b".
void appendMessage(std::string &to, std::string_view m) {
    if (m.empty()) return;
    if (m.substr(0, 2) == "\\b") {
        m.remove_prefix(2);
    } else if (!to.empty()) {
        to += ' ';
    }
    to += m;
}

// Appends one line, trimmed and not empty.
int32_t appendLine(Kmgc_MagicTable &table, std::string_view s, kr::Report &e) {
    const char *fn = "kmgc_MagicAppend";
    if (table.entries.size() >= INT32_MAX - 1) {
        e.error(fn, 13, "Magic table full");
        return -1;
    }
    if (s.substr(0, 5) == "ASCII") {
        Entry entry;
        parseCharSet(s, entry);
        table.entries.push_back(std::move(entry));
        return static_cast<int32_t>(table.entries.size() - 1);
    }
    Test t;
    size_t i = 0;
    while (i < s.size() && s[i] == '>') ++i;
    if (i > KMGC_LEVEL_MAX) {
        e.error(fn, 11, "Continuation level %zu invalid", i);
        return -1;
    }
    t.level = static_cast<int>(i);
    Entry *owner = nullptr;
    if (t.level > 0) {
        if (table.entries.empty() || table.entries.back().charSet) {
            e.error(fn, 12, "Continuation line follows no magic entry");
            return -1;
        }
        owner = &table.entries.back();
        if (t.level > owner->tests.back().level + 1) {
            e.error(fn, 11, "Continuation level %d invalid", t.level);
            return -1;
        }
    }
    Failure f{};
    const std::string_view offsetWord = word(s, i);
    if (!parseOffset(offsetWord, t, f)) {
        e.error(fn, f.code, "%s", f.message.c_str());
        return -1;
    }
    skipBlanks(s, i);
    const std::string_view typeWord = word(s, i);
    if (typeWord.empty()) {
        e.error(fn, 5, "Missing type");
        return -1;
    }
    if (!parseType(typeWord, t, f)) {
        e.error(fn, f.code, "%s", f.message.c_str());
        return -1;
    }
    skipBlanks(s, i);
    if (!parseTest(s, i, t, f)) {
        e.error(fn, f.code, "%s", f.message.c_str());
        return -1;
    }
    skipBlanks(s, i);
    const std::string_view message = s.substr(i);
    if (owner) {
        std::string joined = owner->message;
        appendMessage(joined, message);
        owner->tests.push_back(std::move(t));
        owner->message.swap(joined);
    } else {
        Entry entry;
        entry.tests.push_back(std::move(t));
        entry.message.assign(message);
        table.entries.push_back(std::move(entry));
    }
    table.maxBytes = std::max(table.maxBytes, entryReach(table.entries.back()));
    return static_cast<int32_t>(table.entries.size() - 1);
}

// Appends every line of the text, all or none: a failing line takes back
// what the lines before it added.
int32_t appendText(Kmgc_MagicTable &table, std::string_view text, kr::Report &e) {
    const size_t count = table.entries.size();
    const size_t backTests = count ? table.entries.back().tests.size() : 0;
    const std::string backMessage = count ? table.entries.back().message : std::string();
    const int32_t maxBytes = table.maxBytes;
    const auto undo = [&] {
        table.entries.erase(table.entries.begin() + static_cast<std::ptrdiff_t>(count),
                            table.entries.end());
        if (count) {
            Entry &back = table.entries.back();
            back.tests.erase(back.tests.begin() + static_cast<std::ptrdiff_t>(backTests),
                             back.tests.end());
            back.message = backMessage;  // no larger than before: cannot throw
        }
        table.maxBytes = maxBytes;
    };
    int32_t first = -1;
    try {
        for (size_t pos = 0; pos <= text.size();) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            size_t i = 0;
            skipBlanks(line, i);
            line.remove_prefix(i);
            while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
            if (line.empty() || line[0] == '#') continue;
            const int32_t r = appendLine(table, line, e);
            if (r < 0) {
                undo();
                return -1;
            }
            if (first < 0) first = r;
        }
    } catch (const std::bad_alloc &) {
        undo();
        e.error("kmgc_MagicAppend", 14, "No memory");
        return -1;
    }
    if (first < 0) e.error("kmgc_MagicAppend", 10, "Empty magic line");
    return first;
}

const Entry *entryAt(const Kmgc_MagicTable *table, int32_t index) {
    if (!table || index < 0 || static_cast<size_t>(index) >= table->entries.size()) return nullptr;
    return &table->entries[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

KRASTER_API Kmgc_MagicTable *kmgc_MagicTableCreate(Kerr_ErrorReport **err) {
    kr::Report e(err);
    auto *t = new (std::nothrow) Kmgc_MagicTable;
    if (!t) e.error("kmgc_MagicTableCreate", 1, "No memory");
    return t;
}

KRASTER_API void kmgc_MagicTableDestroy(Kmgc_MagicTable *table) {
    delete table;
}

KRASTER_API int32_t kmgc_MagicAppend(Kmgc_MagicTable *table, const char *line,
                                     Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!table || !line) {
        e.error("kmgc_MagicAppend", 1, "Null argument");
        return -1;
    }
    return appendText(*table, line, e);
}

KRASTER_API int32_t kmgc_MagicMatch(const Kmgc_MagicTable *table, int32_t start, const void *buffer,
                                    size_t count) {
    if (!table || start < 0 || (!buffer && count)) return -1;
    const auto *b = static_cast<const uint8_t *>(buffer);
    size_t ends[KMGC_LEVEL_MAX + 1];
    for (size_t k = static_cast<size_t>(start); k < table->entries.size(); ++k) {
        const Entry &entry = table->entries[k];
        if (entry.charSet) continue;
        bool all = true;
        for (const Test &t : entry.tests)
            if (!runTest(t, b, count, ends)) {
                all = false;
                break;
            }
        if (all) return static_cast<int32_t>(k);
    }
    return -1;
}

KRASTER_API int32_t kmgc_MagicMaxBytes(const Kmgc_MagicTable *table) {
    return table ? table->maxBytes : 0;
}

KRASTER_API int32_t kmgc_MagicCount(const Kmgc_MagicTable *table) {
    return table ? static_cast<int32_t>(table->entries.size()) : 0;
}

KRASTER_API const uint8_t *kmgc_MagicCharSet(const Kmgc_MagicTable *table, int32_t index) {
    const Entry *e = entryAt(table, index);
    return e && e->charSet ? e->allowed : nullptr;
}

KRASTER_API const char *kmgc_MagicMessage(const Kmgc_MagicTable *table, int32_t index) {
    const Entry *e = entryAt(table, index);
    return e ? e->message.c_str() : nullptr;
}

}  // extern "C"
