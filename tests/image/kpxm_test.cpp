// Pixel conversion against a reference model written here: every ordered pair
// of the numeric types over boundary values, contiguous and strided, plus
// the string type, the fills and the argument checks.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/ktest.hpp"
#include "support/ktest_checks.hpp"

namespace {

constexpr int kNumeric = 13;
constexpr int kString = 13;
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();
constexpr long double kInf = std::numeric_limits<long double>::infinity();

enum class Form { Int, F32, F64, C64, C128 };

// The reference's own description of the types.
struct Type {
    const char *name;
    Form form;
    int bytes;
    long double lo, hi;  // integer range
};
const Type kTypes[kNumeric] = {
    {"u1", Form::Int, 1, 0, 1},
    {"u2", Form::Int, 1, 0, 3},
    {"u4", Form::Int, 1, 0, 15},
    {"u8", Form::Int, 1, 0, 255},
    {"s8", Form::Int, 1, -128, 127},
    {"u16", Form::Int, 2, 0, 65535},
    {"s16", Form::Int, 2, -32768, 32767},
    {"u32", Form::Int, 4, 0, 4294967295.0L},
    {"s32", Form::Int, 4, -2147483648.0L, 2147483647.0L},
    {"f32", Form::F32, 4, 0, 0},
    {"f64", Form::F64, 8, 0, 0},
    {"c64", Form::C64, 8, 0, 0},
    {"c128", Form::C128, 16, 0, 0},
};

struct Val {
    long double re, im;
};

bool isComplex(int t) {
    return kTypes[t].form == Form::C64 || kTypes[t].form == Form::C128;
}

// Calls f with a value of the C type that holds one part of type t.
template <class F>
auto withPart(int t, F f) {
    // clang-format off
    switch (t) {
        case 4: return f(int8_t{});
        case 5: return f(uint16_t{});
        case 6: return f(int16_t{});
        case 7: return f(uint32_t{});
        case 8: return f(int32_t{});
        case 9: case 11: return f(float{});
        case 10: case 12: return f(double{});
        default: return f(uint8_t{});
    }
    // clang-format on
}

// Writes value v into element i of a buffer of type t (v must be
// representable for integer types).
void store(int t, void *buf, size_t i, Val v) {
    auto *b = static_cast<unsigned char *>(buf) + i * kTypes[t].bytes;
    withPart(t, [&](auto x) {
        decltype(x) parts[2] = {static_cast<decltype(x)>(v.re), 0};
        if (isComplex(t)) parts[1] = static_cast<decltype(x)>(v.im);
        std::memcpy(b, parts, kTypes[t].bytes);
    });
}

Val load(int t, const void *buf, size_t i) {
    const auto *b = static_cast<const unsigned char *>(buf) + i * kTypes[t].bytes;
    return withPart(t, [&](auto x) {
        decltype(x) parts[2] = {};
        std::memcpy(parts, b, kTypes[t].bytes);
        return Val{static_cast<long double>(parts[0]), static_cast<long double>(parts[1])};
    });
}

// Boundary values of a source type, as stored in that type.
std::vector<Val> sourceValues(int t) {
    // One line per group of boundaries.
    // clang-format off
    static const long double ints[] = {
        0, 1, 2, 3, 4, 7, 14, 15, 16, 100, 126, 127, 128, 129, 200, 254, 255, 256, 300,
        32766, 32767, 32768, 65534, 65535, 65536,
        2147483646.0L, 2147483647.0L, 2147483648.0L, 4294967294.0L, 4294967295.0L,
        -1, -2, -127, -128, -129, -255, -256, -32767, -32768, -32769, -65535,
        -2147483647.0L, -2147483648.0L};
    static const long double reals[] = {
        -0.0L, 0.5L, -0.5L, 0.49L, -0.49L, 0.51L, 1.5L, -1.5L, 2.5L, -2.5L, 3.5L, 14.5L, 15.49L,
        15.5L, 126.5L, 127.49L, 127.5L, -128.49L, -128.5L, 254.5L, 255.4L, 255.5L, 300.7L, -300.7L,
        32767.4L, 32767.5L, -32768.4L, -32768.5L, 65535.4L, 65535.5L,
        2147483647.4L, 2147483647.5L, -2147483648.4L, -2147483648.6L, 4294967295.4L, 4294967295.5L,
        4294967296.0L, 1e10L, -1e10L, 1e20L, -1e20L, 1e39L, -1e39L, 1e300L, -1e300L, 1e-300L, 1e-45L,
        3.4028234663852886e38L, DBL_MAX, -DBL_MAX, kInf, -kInf, kNaN, -kNaN};
    static const Val pairs[] = {
        {3, 4}, {-3, -4}, {0.3L, 0.4L}, {1.5L, 2}, {-1.5L, -2}, {0, 255.5L}, {0, -1}, {-0.0L, -0.0L},
        {1e200, 1e200}, {1e-200, 1e-200}, {3e38L, 3e38L}, {kNaN, 0}, {0, kNaN}, {kInf, kNaN},
        {-kInf, 0}, {0.25L, -2.5L}};
    // clang-format on
    std::vector<Val> in;
    for (long double v : ints) in.push_back({v, 0});
    if (kTypes[t].form != Form::Int) {
        for (long double v : reals) in.push_back({v, 0});
        if (isComplex(t))
            for (Val v : pairs) in.push_back(v);
    }
    std::vector<Val> out;
    std::vector<unsigned char> cell(16);
    for (Val v : in) {
        if (kTypes[t].form == Form::Int && (v.re < kTypes[t].lo || v.re > kTypes[t].hi)) continue;
        store(t, cell.data(), 0, v);
        out.push_back(load(t, cell.data(), 0));  // the value as the type holds it
    }
    return out;
}

// Clamp to [lo, hi] (anything not at least lo, NaN included, gives lo), then
// round half away from zero.
long double toInteger(long double x, long double lo, long double hi) {
    if (!(x >= lo)) return lo;
    if (x >= hi) return hi;
    const long double r = x >= 0 ? std::floor(x + 0.5L) : -std::floor(-x + 0.5L);
    return r == 0 ? 0 : r;  // integers have no negative zero
}

Val reference(int s, Val v, int d) {
    long double x = v.re;
    if (isComplex(s) && !isComplex(d)) {
        // The magnitude is defined in double precision (it may overflow there).
        const double re = static_cast<double>(v.re), im = static_cast<double>(v.im);
        x = std::sqrt(re * re + im * im);
    }
    switch (kTypes[d].form) {
        case Form::Int:
            return {toInteger(x, kTypes[d].lo, kTypes[d].hi), 0};
        case Form::F32:
            return {static_cast<float>(x), 0};
        case Form::F64:
            return {static_cast<double>(x), 0};
        case Form::C64:
            return {static_cast<float>(x), isComplex(s) ? static_cast<float>(v.im) : 0.0f};
        default:
            return {static_cast<double>(x), isComplex(s) ? static_cast<double>(v.im) : 0.0};
    }
}

bool same(long double a, long double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

std::string show(Val v) {
    char buf[96];
    snprintf(buf, sizeof buf, "(%.21Lg, %.21Lg)", v.re, v.im);
    return buf;
}

void expectElement(int s, Val in, int d, const void *buf, size_t i, const char *how) {
    const Val want = reference(s, in, d);
    const Val got = load(d, buf, i);
    EXPECT_TRUE(same(got.re, want.re) && same(got.im, want.im))
        << how << " " << kTypes[s].name << " " << show(in) << " -> " << kTypes[d].name << ": got "
        << show(got) << ", want " << show(want);
}

// Steps 1/1 go through kpxm_ConvertPixels, the others through the strided
// table. Strings convert to strings only.
TEST(PixelConvert, EveryNumericPairAndStringsOnlyToStrings) {
    const Kpxm_ConvertFunc(*conv)[KGDA_PIXEL_TYPE_COUNT] = kmsc_AddressOf_kpxm_Convert();
    const Kpxm_ConvertIncFunc(*inc)[KGDA_PIXEL_TYPE_COUNT] = kmsc_AddressOf_kpxm_ConvertInc();
    const int64_t steps[] = {0, 1, 3};
    EXPECT_TRUE(conv[kString][kString] && inc[kString][kString]);
    for (int s = 0; s < kNumeric; ++s) {
        EXPECT_FALSE(conv[s][kString] || conv[kString][s] || inc[s][kString] || inc[kString][s]);
        char *strings[2] = {nullptr, nullptr};
        double numbers[2] = {1, 2};
        ktest::Err e;
        EXPECT_EQ(kpxm_ConvertPixels(strings, kString, numbers, s, 2, &e), 0);
        EXPECT_TRUE(ktest::hasCode(e.r, "kpxm_ConvertPixels", 5));
        EXPECT_SAYS(e, std::string(kTypes[s].name) + " to string");
        EXPECT_EQ(kpxm_ConvertPixels(numbers, s, strings, kString, 2, &e), 0);
        EXPECT_TRUE(ktest::hasCode(e.r, "kpxm_ConvertPixels", 5));
        EXPECT_TRUE(strings[0] == nullptr && numbers[0] == 1.0);
        const std::vector<Val> values = sourceValues(s);
        const size_t n = values.size();
        for (int d = 0; d < kNumeric; ++d) {
            ASSERT_NE(inc[s][d], nullptr);
            for (int64_t ss : steps) {
                for (int64_t ds : steps) {
                    // Element i of the conversion reads source value pick(i); the
                    // source gaps hold a decoy the conversion must not read.
                    const size_t fixed = (s * kNumeric + d) % n;
                    auto pick = [&](size_t i) { return values[ss == 0 ? fixed : i]; };
                    std::vector<unsigned char> src(((n - 1) * ss + 1) * kTypes[s].bytes);
                    for (size_t k = 0; k < src.size() / kTypes[s].bytes; ++k)
                        store(s, src.data(), k, {1, 0});
                    for (size_t i = 0; i < n; ++i) store(s, src.data(), i * ss, pick(i));
                    const size_t cells = (n - 1) * ds + 1;
                    std::vector<unsigned char> dst((cells + 1) * kTypes[d].bytes, 0xA5);
                    ktest::Err err;
                    ASSERT_EQ(ss == 1 && ds == 1 ? kpxm_ConvertPixels(dst.data(), d, src.data(), s,
                                                                      static_cast<int64_t>(n), &err)
                                                 : inc[s][d](src.data(), dst.data(),
                                                             static_cast<int64_t>(n), ss, ds),
                              static_cast<int64_t>(n));
                    ASSERT_FALSE(err);
                    const std::string how =
                        "steps " + std::to_string(ss) + "/" + std::to_string(ds);
                    if (ds == 0) {
                        expectElement(s, pick(n - 1), d, dst.data(), 0, how.c_str());
                    } else {
                        for (size_t i = 0; i < n; ++i)
                            expectElement(s, pick(i), d, dst.data(), i * ds, how.c_str());
                    }
                    // Cells between the written ones and the guard keep their bytes.
                    for (size_t c = 0; c <= cells; ++c) {
                        if (c < cells && (ds == 0 ? c == 0 : c % ds == 0)) continue;
                        for (int k = 0; k < kTypes[d].bytes; ++k)
                            ASSERT_EQ(dst[c * kTypes[d].bytes + k], 0xA5)
                                << how << " cell " << c << " " << kTypes[s].name << " -> "
                                << kTypes[d].name;
                    }
                }
            }
        }
    }
}

// Worked examples, checked against fixed numbers so that the reference model
// above is itself pinned down.
TEST(PixelConvert, WorkedExamples) {
    struct Case {
        int s;
        Val in;
        int d;
        Val want;
    };
    const Case cases[] = {
        {KGDA_TYPE_U8, {200, 0}, KGDA_TYPE_U4, {15, 0}},
        {KGDA_TYPE_U4, {9, 0}, KGDA_TYPE_U1, {1, 0}},
        {KGDA_TYPE_S8, {-1, 0}, KGDA_TYPE_U16, {0, 0}},
        {KGDA_TYPE_S8, {-5, 0}, KGDA_TYPE_U8, {0, 0}},
        {KGDA_TYPE_U16, {300, 0}, KGDA_TYPE_U8, {255, 0}},
        {KGDA_TYPE_U32, {4294967295.0L, 0}, KGDA_TYPE_S32, {2147483647, 0}},
        {KGDA_TYPE_F32, {-0.5L, 0}, KGDA_TYPE_S8, {-1, 0}},
        {KGDA_TYPE_F32, {-0.4L, 0}, KGDA_TYPE_U8, {0, 0}},
        {KGDA_TYPE_F64, {2.5L, 0}, KGDA_TYPE_U8, {3, 0}},
        {KGDA_TYPE_F64, {-2.5L, 0}, KGDA_TYPE_S16, {-3, 0}},
        {KGDA_TYPE_F64, {0.49L, 0}, KGDA_TYPE_U1, {0, 0}},
        {KGDA_TYPE_F64, {300.7L, 0}, KGDA_TYPE_U8, {255, 0}},
        {KGDA_TYPE_F64, {4294967295.4L, 0}, KGDA_TYPE_U32, {4294967295.0L, 0}},
        {KGDA_TYPE_F64, {1e20L, 0}, KGDA_TYPE_S32, {2147483647, 0}},
        {KGDA_TYPE_F64, {kNaN, 0}, KGDA_TYPE_S16, {-32768, 0}},
        {KGDA_TYPE_F64, {-kInf, 0}, KGDA_TYPE_U16, {0, 0}},
        {KGDA_TYPE_C64, {3, 4}, KGDA_TYPE_U8, {5, 0}},
        {KGDA_TYPE_C64, {3, 4}, KGDA_TYPE_F32, {5, 0}},
        {KGDA_TYPE_C128, {-3, -4}, KGDA_TYPE_S8, {5, 0}},
        {KGDA_TYPE_U8, {7, 0}, KGDA_TYPE_C128, {7, 0}},
        {KGDA_TYPE_C128, {1.5L, -2.25L}, KGDA_TYPE_C64, {1.5L, -2.25L}},
        {KGDA_TYPE_S32, {16777217, 0}, KGDA_TYPE_F32, {16777216, 0}},
    };
    for (const Case &c : cases) {
        unsigned char in[16] = {}, out[16] = {};
        store(c.s, in, 0, c.in);
        ktest::Err err;
        ASSERT_EQ(kpxm_ConvertPixels(out, c.d, in, c.s, 1, &err), 1);
        const Val got = load(c.d, out, 0);
        EXPECT_TRUE(same(got.re, c.want.re) && same(got.im, c.want.im))
            << kTypes[c.s].name << " " << show(c.in) << " -> " << kTypes[c.d].name << ": "
            << show(got);
        const Val ref = reference(c.s, load(c.s, in, 0), c.d);
        EXPECT_TRUE(same(ref.re, c.want.re) && same(ref.im, c.want.im)) << "reference model";
    }
}

TEST(PixelConvert, NegativeStepsAndSameTypeOverlap) {
    // A source step of -1 from the last element reads the buffer backwards.
    const Kpxm_ConvertIncFunc(*inc)[KGDA_PIXEL_TYPE_COUNT] = kmsc_AddressOf_kpxm_ConvertInc();
    const int16_t src[5] = {-7, 0, 100, 255, 256};
    uint8_t dst[5] = {};
    EXPECT_EQ(inc[KGDA_TYPE_S16][KGDA_TYPE_U8](src + 4, dst, 5, -1, 1), 5);
    EXPECT_EQ(std::vector<int>(dst, dst + 5), (std::vector<int>{255, 255, 100, 0, 0}));

    // Same-type conversion moves bytes like memmove, in either direction.
    double buf[6] = {1, 2, 3, 4, 5, 6};
    ktest::Err err;
    EXPECT_EQ(kpxm_ConvertPixels(buf + 1, KGDA_TYPE_F64, buf, KGDA_TYPE_F64, 5, &err), 5);
    EXPECT_EQ(std::vector<double>(buf, buf + 6), (std::vector<double>{1, 1, 2, 3, 4, 5}));
    EXPECT_EQ(kpxm_ConvertPixels(buf, KGDA_TYPE_F64, buf + 1, KGDA_TYPE_F64, 5, &err), 5);
    EXPECT_EQ(std::vector<double>(buf, buf + 6), (std::vector<double>{1, 2, 3, 4, 5, 5}));

    // Counts below 1 do nothing.
    uint32_t untouched = 0xDEADBEEF;
    const float one = 1;
    EXPECT_EQ(kpxm_ConvertPixels(&untouched, KGDA_TYPE_U32, &one, KGDA_TYPE_F32, 0, &err), 0);
    EXPECT_EQ(kpxm_ConvertPixels(&untouched, KGDA_TYPE_U32, &one, KGDA_TYPE_F32, -3, &err), 0);
    EXPECT_EQ(inc[KGDA_TYPE_F32][KGDA_TYPE_U32](&one, &untouched, -1, 1, 1), 0);
    EXPECT_EQ(untouched, 0xDEADBEEFu);
    EXPECT_FALSE(err);
}

TEST(PixelConvert, ArgumentChecksInOrder) {
    uint8_t a[4] = {1, 2, 3, 4}, b[4] = {};
    // Without a report address nothing happens.
    EXPECT_EQ(kpxm_ConvertPixels(b, KGDA_TYPE_U8, a, KGDA_TYPE_U8, 4, nullptr), 0);
    EXPECT_EQ(b[0], 0);
    struct Case {
        void *dst;
        int32_t dt;
        const void *src;
        int32_t st;
        int code;
        const char *message;
    };
    const Case cases[] = {
        {nullptr, 99, nullptr, -1, 1, "Invalid source pointer"},
        {nullptr, 99, a, -1, 2, "Invalid destination"},
        {b, 99, a, -1, 3, "Invalid source pixel type"},
        {b, 99, a, 14, 3, "Invalid source pixel type"},
        {b, -1, a, 3, 4, "Invalid destination pixel type"},
        {b, 14, a, 3, 4, "Invalid destination pixel type"},
    };
    for (const Case &c : cases) {
        ktest::Err err;
        EXPECT_REFUSAL(kpxm_ConvertPixels(c.dst, c.dt, c.src, c.st, 4, &err), 0, c.message);
        EXPECT_TRUE(ktest::hasCode(err.r, "kpxm_ConvertPixels", c.code));
        EXPECT_EQ(err->severity, 2u);
    }
    EXPECT_EQ(b[0], 0);
}

void freeStrings(char **s, size_t n) {
    for (size_t i = 0; i < n; ++i) kmsc_HeapFreeEx(reinterpret_cast<void **>(&s[i]));
}

// Under every allocation failure f either writes all n strings or leaves
// each element NULL.
template <class F>
void allOrNothing(F f, char **dst, size_t n) {
    EXPECT_GT(ktest::runWithAllocationFailures(
                  [&](Kerr_ErrorReport **e) {
                      const bool ok = f(e) == static_cast<int64_t>(n);
                      for (size_t i = 0; i < n && !ok; ++i) EXPECT_EQ(dst[i], nullptr) << i;
                      return ok;
                  },
                  [&] { freeStrings(dst, n); }),
              0);
}

TEST(PixelConvert, StringCopiesAreOwnedAndLeakFree) {
    char one[] = "one", three[] = "three";
    char *src[4] = {one, nullptr, three, one};
    char *dst[4] = {};
    const long live = kmsc_HeapLiveBlocks();
    ktest::Err err;
    ASSERT_EQ(kpxm_ConvertPixels(dst, kString, src, kString, 4, &err), 4);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live + 3);
    EXPECT_STREQ(dst[0], "one");
    EXPECT_EQ(dst[1], nullptr);
    EXPECT_STREQ(dst[2], "three");
    EXPECT_NE(dst[0], one);
    EXPECT_NE(dst[0], dst[3]);
    freeStrings(dst, 4);

    // Destination step 0: one element receives copy after copy; only the last stays.
    char *single = nullptr;
    EXPECT_EQ(kmsc_AddressOf_kpxm_ConvertInc()[kString][kString](src, &single, 3, 1, 0), 3);
    EXPECT_STREQ(single, "three");
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live + 1);
    kmsc_HeapFreeEx(reinterpret_cast<void **>(&single));

    // Running out of memory part-way leaves nothing behind and reports it.
    allOrNothing(
        [&](Kerr_ErrorReport **e) { return kpxm_ConvertPixels(dst, kString, src, kString, 4, e); },
        dst, 4);
    // The same on the strided path with a destination step of 0: the copy
    // already stored is freed, the element ends NULL.
    for (long allow = 0; allow < 3; ++allow) {
        kmsc_HeapFailAfter(allow);
        const int64_t n = kmsc_AddressOf_kpxm_ConvertInc()[kString][kString](src, &single, 4, 1, 0);
        kmsc_HeapFailAfter(-1);
        EXPECT_EQ(n, -1) << allow;
        EXPECT_EQ(single, nullptr);
        EXPECT_EQ(kmsc_HeapLiveBlocks(), live);
    }
}

TEST(PixelFill, EveryTypeContiguousAndStrided) {
    const Kpxm_FillIncFunc *fillInc = kmsc_AddressOf_kpxm_FillInc();
    for (int t = 0; t < kNumeric; ++t) {
        const int w = kTypes[t].bytes;
        unsigned char value[16];
        for (int k = 0; k < w; ++k) value[k] = static_cast<unsigned char>(0x11 * (k + 1));
        std::vector<unsigned char> buf(9 * w, 0xA5);
        ktest::Err err;
        EXPECT_EQ(kpxm_FillPixels(buf.data(), t, value, 8, &err), 8);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(memcmp(&buf[i * w], value, w), 0) << kTypes[t].name;
        EXPECT_EQ(buf[8 * w], 0xA5);

        // Every third element; step 0 writes element 0 only.
        std::fill(buf.begin(), buf.end(), 0xA5);
        EXPECT_EQ(fillInc[t](buf.data(), value, 3, 3), 3);
        EXPECT_EQ(fillInc[t](buf.data() + 8 * w, value, 5, 0), 5);
        for (int i = 0; i < 9; ++i) {
            if (i % 3 == 0 || i == 8)
                EXPECT_EQ(memcmp(&buf[i * w], value, w), 0) << kTypes[t].name << " " << i;
            else
                EXPECT_EQ(buf[i * w], 0xA5) << kTypes[t].name << " " << i;
        }

        // Count 0 leaves the buffer alone; a negative count is refused.
        std::fill(buf.begin(), buf.end(), 0xA5);
        EXPECT_EQ(kpxm_FillPixels(buf.data(), t, value, 0, &err), 0);
        EXPECT_FALSE(err);
        EXPECT_REFUSAL(kpxm_FillPixels(buf.data(), t, value, -1, &err), 0, "Invalid count");
        EXPECT_EQ(buf[0], 0xA5);
    }
}

TEST(PixelFill, ArgumentChecksAndStrings) {
    uint8_t b[2] = {};
    const uint8_t v = 7;
    struct Case {
        void *dst;
        int32_t t;
        const void *value;
        int64_t count;
        const char *message;
    };
    const Case cases[] = {{nullptr, 99, nullptr, -1, "Invalid pointer"},
                          {b, 14, nullptr, -1, "Invalid pixel type"},
                          {b, -1, &v, 1, "Invalid pixel type"},
                          {b, 3, nullptr, -1, "Invalid value pointer"},
                          {b, 3, &v, -5, "Invalid count"}};
    for (const Case &c : cases) {
        ktest::Err err;
        EXPECT_REFUSAL(kpxm_FillPixels(c.dst, c.t, c.value, c.count, &err), 0, c.message);
        EXPECT_STREQ(err->function, "kpxm_FillPixels");
    }
    EXPECT_EQ(kpxm_FillPixels(b, 3, &v, 2, nullptr), 2);  // no report address needed
    EXPECT_EQ(b[1], 7);

    char word[] = "north";
    char *value = word;
    char *dst[3] = {};
    const long live = kmsc_HeapLiveBlocks();
    ktest::Err err;
    ASSERT_EQ(kpxm_FillPixels(dst, kString, &value, 3, &err), 3);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live + 3);
    EXPECT_STREQ(dst[2], "north");
    EXPECT_NE(dst[0], dst[1]);
    EXPECT_NE(dst[0], word);
    freeStrings(dst, 3);
    char *none = nullptr;
    dst[1] = word;  // overwritten, not freed
    ASSERT_EQ(kpxm_FillPixels(dst, kString, &none, 3, &err), 3);
    EXPECT_EQ(dst[1], nullptr);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live);

    allOrNothing([&](Kerr_ErrorReport **e) { return kpxm_FillPixels(dst, kString, &value, 3, e); },
                 dst, 3);
    // A strided string fill onto one element keeps a single copy.
    char *single = nullptr;
    EXPECT_EQ(kmsc_AddressOf_kpxm_FillInc()[kString](&single, &value, 4, 0), 4);
    EXPECT_EQ(kmsc_HeapLiveBlocks(), live + 1);
    kmsc_HeapFree(single);
}

TEST(PixelTypes, TablesAndNames) {
    const char *const *names = kmsc_AddressOf_kgda_PixelTypeName();
    const int32_t *bits = kmsc_AddressOf_kgda_NumBitsPerPixel();
    const int32_t *bytes = kmsc_AddressOf_kgda_NumBytesPerPixel();
    const double *lo = kmsc_AddressOf_kgda_IntegerMinValue();
    const double *hi = kmsc_AddressOf_kgda_IntegerMaxValue();
    const int32_t wantBits[kNumeric] = {1, 2, 4, 8, 8, 16, 16, 32, 32, 32, 64, 64, 128};
    for (int t = 0; t < kNumeric; ++t) {
        EXPECT_STREQ(names[t], kTypes[t].name);
        EXPECT_EQ(bits[t], wantBits[t]);
        EXPECT_EQ(bytes[t], kTypes[t].bytes);
        EXPECT_EQ(lo[t], static_cast<double>(kTypes[t].lo)) << names[t];
        EXPECT_EQ(hi[t], static_cast<double>(kTypes[t].hi)) << names[t];
        ktest::Err err;
        EXPECT_EQ(kpxm_StringToType(kTypes[t].name, &err), t);
        EXPECT_FALSE(err);
    }
    EXPECT_STREQ(names[kString], "string");
    EXPECT_EQ(names[kString + 1], nullptr);
    EXPECT_EQ(bytes[kString], static_cast<int32_t>(sizeof(char *)));
    EXPECT_EQ(bits[kString], 8 * bytes[kString]);
    EXPECT_EQ(kpxm_StringToType("string", nullptr), kString);

    for (const char *bad : {"U8", "u8 ", "", "u", "string2", "c12"}) {
        ktest::Err err;
        EXPECT_EQ(kpxm_StringToType(bad, &err), -1);
        EXPECT_EQ(ktest::printed(err.r, 0),
                  " ***ERROR NUMBER 1 IN FUNCTION kpxm_StringToType***\n >>>Invalid pixel type:  " +
                      std::string(bad) + "<<<\n\n");
    }
    ktest::Err err;
    EXPECT_EQ(kpxm_StringToType(nullptr, &err), -1);
    EXPECT_TRUE(err);
}

}  // namespace
