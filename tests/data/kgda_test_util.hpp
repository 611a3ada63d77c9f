// Helpers shared by the BaseData suites.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>

#include "support/ktest.hpp"

namespace kgdatest {

constexpr int32_t kStr = KGDA_STRING_TYPE_CODE;

// A report slot for a series of calls: taking its address frees the report
// of the previous call, which every operation would otherwise overwrite.
struct Err : ktest::Err {
    Kerr_ErrorReport **operator&() {
        reset();
        return &r;
    }
};

struct BdDelete {
    void operator()(Kgda_BaseData *b) const { kgda_BaseDataDelete(b, nullptr); }
};
using Bd = std::unique_ptr<Kgda_BaseData, BdDelete>;

struct BfDelete {
    void operator()(Kdsc_BinFunction *f) const { kdsc_BinFunctionDelete(f, nullptr); }
};
using Bf = std::unique_ptr<Kdsc_BinFunction, BfDelete>;

struct StackDelete {
    void operator()(Kgda_BaseDataStack *s) const { kgda_BaseDataStackDelete(s, nullptr); }
};
using Stack = std::unique_ptr<Kgda_BaseDataStack, StackDelete>;

inline Bd make(int32_t rows, int32_t columns, int32_t type, int32_t object) {
    Err err;
    Bd b(kgda_BaseDataCreate(rows, columns, type, object, nullptr, &err));
    EXPECT_TRUE(b) << ktest::messages(err.r);
    return b;
}

// A 1 x n f64 table of the values.
inline Bd row(std::initializer_list<double> v) {
    Bd b = make(1, static_cast<int32_t>(v.size()), KGDA_TYPE_F64, KGDA_TABLE_OBJECT);
    int k = 0;
    for (double x : v) reinterpret_cast<double *>(b->windowStart)[k++] = x;
    return b;
}

// Element (r, c) addressed independently of the library.
template <class T>
T &at(const Kgda_BaseData *b, int r, int c) {
    const ptrdiff_t nb = b->numbytes;
    unsigned char *p = b->objecttype == KGDA_MATRIX_OBJECT ? b->windowStart + c * b->pitch + r * nb
                                                           : b->windowStart + r * b->pitch + c * nb;
    return *reinterpret_cast<T *>(p);
}

// Element (r, c) becomes 10 r + c.
template <class T>
void pattern(const Kgda_BaseData *b) {
    for (int r = 0; r < b->numrows; ++r)
        for (int c = 0; c < b->numcolumns; ++c) at<T>(b, r, c) = static_cast<T>(10 * r + c);
}

}  // namespace kgdatest
