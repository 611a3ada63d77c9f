// Helpers shared by the geometric-model plug-ins: reports, heap strings,
// the "KEYWORD(value,value,...);" text form with its parser, MIF forms of
// host records, and affine maps as polynomials.
#pragma once

#include <kraster/kerr.h>
#include <kraster/kfga.h>
#include <kraster/kgda.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kxfr.h>

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define GM_EXPORT extern "C" __attribute__((visibility("default")))

namespace gm {

// Designs a model makes once per load, freed by the plug-in's static
// destructors when the library unloads it after its last step, so that
// loading it again leaks nothing.
struct LoadDesign {
    Kmif_Dictionary *dictionary = nullptr;  // owns design when present
    Kmif_Design *design = nullptr;
    LoadDesign() = default;
    LoadDesign(const LoadDesign &) = delete;
    LoadDesign &operator=(const LoadDesign &) = delete;
    ~LoadDesign() {
        if (dictionary)
            kmif_DictionaryDestroy(dictionary, nullptr);
        else if (design)
            kmif_DesignDestroy(design, nullptr);
    }
};

// Adds a report to *err (when err is given).
inline void fail(Kerr_ErrorReport **err, const char *function, int code, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
inline void fail(Kerr_ErrorReport **err, const char *function, int code, const char *format, ...) {
    if (!err) return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *err = kerr_CreateErrorReport(function, code, 2, *err, "%s", text);
}

inline char *heapString(const std::string &s) {
    char *c = static_cast<char *>(kmsc_HeapMalloc(s.size() + 1));
    if (c) memcpy(c, s.c_str(), s.size() + 1);
    return c;
}

// The instance functions of a model plug-in with one title.
#define GM_INSTANCE(title, threadSafe)                                 \
    GM_EXPORT long InstanceTitleListGet(long *count, char ***titles) { \
        static const char *list[] = {title};                           \
        *count = 1;                                                    \
        *titles = const_cast<char **>(list);                           \
        return 0;                                                      \
    }                                                                  \
    GM_EXPORT long InstanceIsThreadsafe(void) {                        \
        return threadSafe;                                             \
    }

// ---- Text form: KEYWORD(v,v,...); where each v is a number or a string in
// double quotes (no quotes inside). ----

class TextWriter {
  public:
    explicit TextWriter(const char *keyword) : text_(std::string(keyword) + "(") {}
    TextWriter &number(double v) {
        char b[40];
        snprintf(b, sizeof b, "%.17g", v);
        return add(b);
    }
    TextWriter &numbers(const double *v, size_t n) {
        for (size_t i = 0; i < n; ++i) number(v[i]);
        return *this;
    }
    TextWriter &string(const char *s) { return add("\"" + std::string(s ? s : "") + "\""); }
    char *finish() { return heapString(text_ + ");"); }

  private:
    TextWriter &add(const std::string &v) {
        if (text_.back() != '(') text_ += ',';
        text_ += v;
        return *this;
    }
    std::string text_;
};

struct Token {
    bool isString = false;
    double number = 0;
    std::string text;
};

// The values of a text form of that keyword; false when the text is not one.
inline bool parseText(const char *text, const char *keyword, std::vector<Token> &out) {
    out.clear();
    if (!text) return false;
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const size_t k = strlen(keyword);
    if (strncmp(p, keyword, k) != 0) return false;
    p += k;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p++ != '(') return false;
    for (;;) {
        while (isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == ')' && out.empty()) break;
        Token t;
        if (*p == '"') {
            const char *end = strchr(p + 1, '"');
            if (!end) return false;
            t.isString = true;
            t.text.assign(p + 1, end);
            p = end + 1;
        } else {
            char *end = nullptr;
            t.number = strtod(p, &end);
            if (end == p) return false;
            p = end;
        }
        out.push_back(t);
        while (isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == ')') break;
        if (*p++ != ',') return false;
    }
    ++p;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p++ != ';') return false;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0';
}

// Reads tokens in order, checking their kinds.
class TokenReader {
  public:
    explicit TokenReader(const std::vector<Token> &t) : t_(t) {}
    bool number(double &v) {
        if (i_ >= t_.size() || t_[i_].isString) return ok_ = false;
        v = t_[i_++].number;
        return true;
    }
    bool integer(long &v, long lo, long hi) {
        double d = 0;
        if (!number(d) || !(d >= lo && d <= hi) || d != std::floor(d)) return ok_ = false;
        v = static_cast<long>(d);
        return true;
    }
    bool numbers(double *v, size_t n) {
        for (size_t k = 0; k < n; ++k)
            if (!number(v[k])) return false;
        return true;
    }
    bool string(std::string &s) {
        if (i_ >= t_.size() || !t_[i_].isString) return ok_ = false;
        s = t_[i_++].text;
        return true;
    }
    bool done() const { return ok_ && i_ == t_.size(); }

  private:
    const std::vector<Token> &t_;
    size_t i_ = 0;
    bool ok_ = true;
};

// ---- MIF forms ----

// The MIF form of a host record of design d (as XFormConvertToMIF hands it out).
inline long toMIF(const void *object, const Kmif_Design *d, char **dictionary, char **designName,
                  unsigned char **bytes, int32_t *size, Kerr_ErrorReport **err) {
    const int32_t n = kmif_MIFableObjectConvertToMIF(object, d, bytes, dictionary, designName, err);
    if (n < 0) return -1;
    *size = n;
    return 0;
}

// A decoded record of the named design: the object and its design (free
// both with release()).
struct Decoded {
    void *object = nullptr;
    Kmif_Design *design = nullptr;
    ~Decoded() {
        kmif_ObjectFree(&object, design, nullptr);
        kmif_DesignDestroy(design, nullptr);
    }
};

// Decodes bytes of the design expected; the decoded design must have the
// same items as the model's own (so the host record is laid out alike).
inline bool fromMIF(const char *dictionary, const char *designName, const unsigned char *bytes,
                    int32_t size, const Kmif_Design *expected, Decoded &out,
                    Kerr_ErrorReport **err) {
    if (!designName || strcmp(designName, expected->name) != 0) {
        fail(err, "XFormConvertFromMIF", 1, "Unexpected design %s",
             designName ? designName : "<NULL>");
        return false;
    }
    if (kmif_MIFableObjectConvertFromMIFEx(bytes, size, dictionary, designName, &out.object,
                                           &out.design, err) < 0)
        return false;
    if (out.design->hostSize != expected->hostSize || !out.object) {
        fail(err, "XFormConvertFromMIF", 2, "Design %s differs from this model's", designName);
        return false;
    }
    return true;
}

// ---- Affine maps: x' = c0 + c1 x + c2 y, y' = c3 + c4 x + c5 y ----

// Element (r, c) of an f32 or f64 matrix.
inline double element(const Kgda_BaseData *b, int r, int c) {
    const unsigned char *at = b->windowStart + static_cast<size_t>(c) * b->pitch + r * b->numbytes;
    if (b->datatype == KGDA_TYPE_F32) {
        float f;
        memcpy(&f, at, sizeof f);
        return f;
    }
    double d;
    memcpy(&d, at, sizeof d);
    return d;
}

inline bool affineOf(const Kfga_Polynomial *p, double c[6]) {
    if (!p || p->order != 1 || p->numdimtransform != 2 || p->numdimpolynomial != 2 ||
        !p->polycoefmtx || !p->polycoefvector ||
        (p->polycoefmtx->datatype != KGDA_TYPE_F64 && p->polycoefmtx->datatype != KGDA_TYPE_F32))
        return false;
    for (int i = 0; i < 2; ++i) {
        c[3 * i] = element(p->polycoefvector, i, 0);
        c[3 * i + 1] = element(p->polycoefmtx, i, 0);
        c[3 * i + 2] = element(p->polycoefmtx, i, 1);
    }
    return true;
}

inline Kfga_Polynomial *affinePoly(const double c[6], Kerr_ErrorReport **err) {
    return kfga_PolyCreate2DAffine(c[0], c[1], c[2], c[3], c[4], c[5], err);
}

// The inverse map; false when it has none.
inline bool affineInverse(const double c[6], double inv[6]) {
    const double det = c[1] * c[5] - c[2] * c[4];
    if (!(std::fabs(det) > 0) || !std::isfinite(det)) return false;
    inv[1] = c[5] / det;
    inv[2] = -c[2] / det;
    inv[4] = -c[4] / det;
    inv[5] = c[1] / det;
    inv[0] = -(inv[1] * c[0] + inv[2] * c[3]);
    inv[3] = -(inv[4] * c[0] + inv[5] * c[3]);
    return true;
}

inline bool nearlyEqual(double a, double b) {
    return std::fabs(a - b) <= 1e-9 * (1 + std::fabs(a) + std::fabs(b));
}

}  // namespace gm
