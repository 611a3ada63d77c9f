// Scanners of the file-name module: file names, node paths and file-node
// lists into byte ranges, range selection by part masks, and the protection
// steps that remove or add backslashes.
#include <kraster/kmsc.h>

#include <cstring>

#include "core/kfnp_internal.hpp"
#include "core/report.hpp"

namespace kr::fnp {

char *heapCopy(std::string_view s, const char *fn, int code, Kerr_ErrorReport **err) {
    Report e(err);
    auto *d = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    if (!d) {
        e.error(fn, code, "No memory");
        return nullptr;
    }
    if (!s.empty()) memcpy(d, s.data(), s.size());
    return d;
}

size_t clampIndex(int32_t index, size_t count) {
    if (count == 0) return 0;
    int64_t i = fromEnd(index, count);
    if (i < 0) return 0;
    if (i >= static_cast<int64_t>(count)) return count - 1;
    return static_cast<size_t>(i);
}

int maskProblem(uint32_t mask, uint32_t all) {
    if (mask == 0) return 1;
    if (mask & ~all) return 2;
    // Consecutive bits: shifted down to bit 0 they form 2^k - 1.
    uint32_t m = mask >> lowBit(mask);
    if ((m & (m + 1)) != 0) return 3;
    return 0;
}

void reportMask(int problem, const char *fn, int code, Kerr_ErrorReport **err) {
    Report e(err);
    switch (problem) {
        case 1:
            e.error(fn, code, "No options specified in options mask");
            break;
        case 3:
            e.error(fn, code, "Invalid (non-consecutive) options");
            break;
        default:
            e.error(fn, code, "Invalid options specification");
            break;
    }
}

int lowBit(uint32_t mask) {
    return __builtin_ctz(mask);
}
int highBit(uint32_t mask) {
    return 31 - __builtin_clz(mask);
}

// ---- File names ----

bool parseFileName(const char *name, FileNameParts &parts, Kerr_ErrorReport **err) {
    Report e(err);
    if (!name) {
        e.error("FileNameParse", 1, "Parse error; <FileName> is NULL");
        return false;
    }
    parts = FileNameParts{};
    const size_t n = strlen(name);
    parts.length = n;
    size_t i = 0;
    if (n >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        i = 2;
    parts.driveEnd = i;
    while (i < n && name[i] == '/') ++i;
    parts.rootEnd = i;
    parts.unc = parts.driveEnd == 0 && parts.rootEnd == 2;
    while (i < n) {
        size_t b = i;
        while (i < n && name[i] != '/') ++i;
        parts.components.push_back(Span{b, i});
        while (i < n && name[i] == '/') ++i;
    }
    return true;
}

Span fileNameRange(const FileNameParts &p, uint32_t mask, int32_t index) {
    size_t b[6];
    b[0] = 0;
    b[1] = p.driveEnd;
    b[2] = p.rootEnd;
    if (p.components.empty()) {
        b[3] = b[4] = p.length;
    } else {
        const Span &c = p.components[clampIndex(index, p.components.size())];
        b[3] = c.begin;
        b[4] = c.end;
    }
    b[5] = p.length;
    return Span{b[lowBit(mask)], b[highBit(mask) + 1]};
}

// ---- Node paths ----

bool parseNodePath(const char *path, NodePathParts &parts, Kerr_ErrorReport **err) {
    static const char *const fn = "NodePathParse";
    Report e(err);
    if (!path) {
        e.error(fn, 1, "Parse error; <NodePath> is NULL");
        return false;
    }
    parts = NodePathParts{};
    size_t i = 0;
    while (path[i] == ':') ++i;
    parts.rootEnd = i;
    bool inName = false;
    size_t begin = i;
    for (;;) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c == 0) break;
        if (!printable(c)) {
            e.error(fn, 2, "Parse error; character %ld is illegal", static_cast<long>(i));
            return false;
        }
        if (c == ':') {
            if (inName) parts.names.push_back(Span{begin, i});
            inName = false;
            ++i;
            continue;
        }
        if (!inName) {
            inName = true;
            begin = i;
        }
        if (c == '\\') {
            const auto next = static_cast<unsigned char>(path[i + 1]);
            if (next == 0) {
                e.error(fn, 3, "Parse error; <NodePath> should not end with protection");
                return false;
            }
            if (!printable(next)) {
                e.error(fn, 2, "Parse error; character %ld is illegal", static_cast<long>(i + 1));
                return false;
            }
            i += 2;
            continue;
        }
        ++i;
    }
    if (inName) parts.names.push_back(Span{begin, i});
    parts.length = i;
    return true;
}

Span nodePathRange(const NodePathParts &p, uint32_t mask, int32_t index) {
    size_t b[5];
    b[0] = 0;
    b[1] = p.rootEnd;
    if (p.names.empty()) {
        b[2] = b[3] = p.length;
    } else {
        const Span &s = p.names[clampIndex(index, p.names.size())];
        b[2] = s.begin;
        b[3] = s.end;
    }
    b[4] = p.length;
    return Span{b[lowBit(mask)], b[highBit(mask) + 1]};
}

// ---- Protection ----

char *strip(std::string_view s, Protect mode, Kerr_ErrorReport **err) {
    Report e(err);
    auto *d = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    if (!d) {
        e.error("Strip", 1, "No memory");
        return nullptr;
    }
    size_t o = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char next = s[i + 1];
            if (mode == Protect::All || next == '(' || next == ',' || next == ')') {
                d[o++] = next;
            } else {
                d[o++] = '\\';
                d[o++] = next;
            }
            ++i;
            continue;
        }
        d[o++] = s[i];
    }
    d[o] = 0;
    return d;
}

namespace {

// Bytes that end a part in its context and so must be protected there.
bool special(char c, Context context) {
    switch (context) {
        case Context::FileName:
            return c == '\\' || c == '(' || c == ',';
        case Context::Title:
            return c == '\\' || c == ':' || c == ')';
        case Context::NodePath:
            return c == ',' || c == ')';
    }
    return false;
}

}  // namespace

char *enclose(std::string_view s, Context context, Kerr_ErrorReport **err) {
    Report e(err);
    // Node paths keep their own protection pairs; only bare separators of
    // the list get a backslash.
    auto walk = [&](auto emit) {
        for (size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (context == Context::NodePath && c == '\\' && i + 1 < s.size()) {
                emit('\\');
                emit(s[++i]);
                continue;
            }
            if (special(c, context)) emit('\\');
            emit(c);
        }
    };
    size_t n = 0;
    walk([&](char) { ++n; });
    auto *d = static_cast<char *>(kmsc_HeapMalloc(n + 1));
    if (!d) {
        e.error("Enclose", 1, "No memory");
        return nullptr;
    }
    size_t o = 0;
    walk([&](char c) { d[o++] = c; });
    return d;
}

// ---- File-node lists ----

namespace {

class ListParser {
  public:
    ListParser(const char *s, Kerr_ErrorReport **err) : s_(s), e_(err) {}

    bool run(std::vector<RawItem> &items) {
        if (!s_) return fail(12, "Parse error; <FileNodeList> is NULL");
        // Any byte that is not printable is reported before the syntax.
        for (size_t i = 0; s_[i]; ++i)
            if (!printable(static_cast<unsigned char>(s_[i])))
                return fail(11, "Parse error; character %ld is illegal", static_cast<long>(i));
        items.clear();
        if (!*s_) {  // the empty string is one empty item
            items.emplace_back();
            return true;
        }
        for (;;) {
            RawItem item;
            if (!fileName(item)) return false;
            if (at() == '(' && !spec(item)) return false;
            item.whole = Span{item.fileName.begin, pos_};
            items.push_back(std::move(item));
            if (at() == 0) return true;
            ++pos_;  // the ","
        }
    }

  private:
    char at() const { return s_[pos_]; }
    char at(size_t i) const { return s_[i]; }

    bool fail(int code, const char *format, ...) KRASTER_PRINTF(3, 4) {
        va_list ap;
        va_start(ap, format);
        Kerr_ErrorReport *r =
            kerr_CreateErrorReportV("FileNodeListParse", code, 2, *e_.out(), format, ap);
        va_end(ap);
        if (r) *e_.out() = r;
        return false;
    }

    bool fileName(RawItem &item) {
        const char c = at();
        if (c == 0) return fail(2, "Parse error; <FileNodeList> terminates with NULL <FileName>");
        if (c == '(' || c == ',')
            return fail(1, "Illegal character, %c, at position %ld", c, static_cast<long>(pos_));
        item.fileName.begin = pos_;
        bool afterSlash = false;
        for (;;) {
            const char d = at();
            if (d == 0 || d == ',') break;
            if (d == '(') {
                if (afterSlash)
                    return fail(4,
                                "Parse error; <FileNodeListItemSpec> at position %ld is preceded "
                                "by a <DirectoryName>",
                                static_cast<long>(pos_));
                break;
            }
            if (d == '\\') {
                if (at(pos_ + 1) == 0)
                    return fail(3, "Parse error; <FileNodeList> terminates in <FileName>");
                pos_ += 2;
                afterSlash = false;
                continue;
            }
            afterSlash = d == '/';
            ++pos_;
        }
        item.fileName.end = pos_;
        return true;
    }

    // At "(": [FileTitle] [NodeList] ")", then "," or the end must follow.
    bool spec(RawItem &item) {
        const size_t open = pos_++;
        if (at() == ')')
            return fail(5, "Parse error; NULL <FileNodeListItemSpec> at position %ld",
                        static_cast<long>(open));
        if (at() != ':') {
            item.hasTitle = true;
            item.title.begin = pos_;
            for (;;) {
                const char c = at();
                if (c == 0 || (c == '\\' && at(pos_ + 1) == 0))
                    return fail(6, "Parse error; <FileNodeList> terminates in <FileTitle>");
                if (c == ':' || c == ')') break;
                pos_ += c == '\\' ? 2 : 1;
            }
            item.title.end = pos_;
        }
        while (at() == ':') {
            Span path{pos_, pos_};
            for (;;) {
                const char c = at();
                if (c == 0 || (c == '\\' && at(pos_ + 1) == 0))
                    return fail(7, "Parse error; <FileNodeList> terminates in <FullNodePath>");
                if (c == ',' || c == ')') break;
                pos_ += c == '\\' ? 2 : 1;
            }
            path.end = pos_;
            item.nodePaths.push_back(path);
            if (at() == ')') break;
            ++pos_;  // the ","
            if (at() == 0) return fail(8, "Parse error; <FileNodeList> terminates in <NodeList>");
            if (at() != ':')
                return fail(9,
                            "Parse error; Expecting <FullNodePath> in position %ld, but found %s",
                            static_cast<long>(pos_), s_ + pos_);
        }
        ++pos_;  // the ")"
        const char c = at();
        if (c != 0 && c != ',')
            return fail(10,
                        "Parse error; Illegal character, KTXT_LCHAR('%c'), at start of "
                        "<OptFileNodeSubList> in position %ld",
                        c, static_cast<long>(pos_));
        return true;
    }

    const char *s_;
    Report e_;
    size_t pos_ = 0;
};

}  // namespace

bool parseFileNodeList(const char *list, std::vector<RawItem> &items, Kerr_ErrorReport **err) {
    return ListParser(list, err).run(items);
}

}  // namespace kr::fnp
