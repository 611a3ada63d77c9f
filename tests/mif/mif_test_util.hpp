// Helpers for the MIF suites.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/ktest.hpp"

namespace mift {

// The dictionary string of the built-in generic data design.
constexpr const char *kBaseDataText =
    "{1:lnumrows,1:lnumcolumns,1:e13:KGDA_TYPE_U1,KGDA_TYPE_U2,KGDA_TYPE_U4,KGDA_TYPE_U8,"
    "KGDA_TYPE_S8,KGDA_TYPE_U16,KGDA_TYPE_S16,KGDA_TYPE_U32,KGDA_TYPE_S32,KGDA_TYPE_F32,"
    "KGDA_TYPE_F64,KGDA_TYPE_C64,KGDA_TYPE_C128,datatype,1:e4:KGDA_SCALAR_OBJECT,"
    "KGDA_TABLE_OBJECT,KGDA_MATRIX_OBJECT,KGDA_RASTER_OBJECT,objecttype,}Kgda_BaseData,";

// Every MIF suite needs the toolkit (its null device measures encodings).
class MifTest : public testing::Test {
  protected:
    void SetUp() override {
        ktest::Err err;
        ASSERT_NE(kint_InitToolkit(&err), nullptr);
    }
};

inline const Kmif_Item *item(const Kmif_Design *design, const char *name) {
    for (const Kmif_Item *i = design ? design->itemList : nullptr; i; i = i->next)
        if (i->name && strcmp(i->name, name) == 0) return i;
    return nullptr;
}

inline int designCount(const Kmif_Dictionary *dictionary) {
    int n = 0;
    for (const Kmif_Design *d = dictionary->firstDesign; d; d = d->next) ++n;
    return n;
}

// Names of the dictionary's designs in order, separated by blanks.
inline std::string designNames(const Kmif_Dictionary *dictionary) {
    std::string s;
    for (const Kmif_Design *d = dictionary->firstDesign; d; d = d->next) {
        if (!s.empty()) s += ' ';
        s += d->name ? d->name : "(null)";
    }
    return s;
}

// Owns a dictionary.
struct Dict {
    Kmif_Dictionary *d = nullptr;
    explicit Dict(Kmif_Dictionary *dictionary = nullptr) : d(dictionary) {}
    ~Dict() { kmif_DictionaryDestroy(d, nullptr); }
    Dict(const Dict &) = delete;
    Dict &operator=(const Dict &) = delete;
    Kmif_Dictionary *operator->() const { return d; }
    explicit operator bool() const { return d != nullptr; }
};

// Decodes a string, expecting success.
inline Kmif_Dictionary *decode(const std::string &text) {
    ktest::Err err;
    Kmif_Dictionary *d = kmif_DictionaryDecodeFromString(text.c_str(), &err);
    EXPECT_NE(d, nullptr) << text << ": " << ktest::messages(err.r);
    EXPECT_FALSE(err) << ktest::messages(err.r);
    return d;
}

// Encodes a dictionary, expecting success.
inline std::string encode(const Kmif_Dictionary *dictionary) {
    ktest::Err err;
    char *s = kmif_DictionaryEncodeToString(dictionary, &err);
    EXPECT_NE(s, nullptr) << ktest::messages(err.r);
    std::string result = s ? s : "";
    kmsc_HeapFree(s);
    return result;
}

}  // namespace mift
