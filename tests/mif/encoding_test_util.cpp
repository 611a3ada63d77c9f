#include "encoding_test_util.hpp"

#include <cstddef>
#include <cstdio>
#include <memory>

namespace mifenc {

namespace {

constexpr size_t kCountedPointerOffset = offsetof(Kmif_String, string);

void *loadPointer(const unsigned char *field) {
    void *p;
    memcpy(&p, field, sizeof p);
    return p;
}

void storePointer(unsigned char *field, void *p) {
    memcpy(field, &p, sizeof p);
}

unsigned char *pointerField(unsigned char *field, const Kmif_Item *item) {
    return item->countedFlag ? field + kCountedPointerOffset : field;
}

const unsigned char *pointerField(const unsigned char *field, const Kmif_Item *item) {
    return item->countedFlag ? field + kCountedPointerOffset : field;
}

int bitsOf(int type) {
    return type == KMIF_TYPE_U1 ? 1 : type == KMIF_TYPE_U2 ? 2 : type == KMIF_TYPE_U4 ? 4 : 0;
}

void fillObject(unsigned char *object, const Kmif_Design *design, std::mt19937 &rng, int maxCount);

void fillBaseData(unsigned char *record, std::mt19937 &rng) {
    Kgda_BaseData bd{};
    bd.numrows = static_cast<int32_t>(rng() % 4);
    bd.numcolumns = static_cast<int32_t>(rng() % 4);
    bd.datatype = static_cast<int32_t>(rng() % 13);
    bd.objecttype = static_cast<int32_t>(rng() % 4);
    bd.numbytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[bd.datatype];
    bd.numelements = bd.numrows * bd.numcolumns;
    bd.pitch = bd.numbytes * (bd.objecttype == KGDA_MATRIX_OBJECT ? bd.numrows : bd.numcolumns);
    bd.data = static_cast<unsigned char *>(
        kmsc_HeapMalloc(static_cast<size_t>(bd.numelements * bd.numbytes)));
    bd.windowStart = bd.data;
    const int32_t bits = kmsc_AddressOf_kgda_NumBitsPerPixel()[bd.datatype];
    for (int32_t i = 0; i < bd.numelements * bd.numbytes; ++i)
        bd.data[i] = static_cast<unsigned char>(bits < 8 ? rng() % (1u << bits) : rng());
    memcpy(record, &bd, sizeof bd);
}

void fillElements(unsigned char *host, const Kmif_Item *item, int64_t count, std::mt19937 &rng,
                  int maxCount) {
    const int64_t stride = item->hostElementSize;
    switch (item->type) {
        case KMIF_TYPE_ENUM:
            for (int64_t i = 0; i < count; ++i) {
                const uint32_t v = rng() & 0xFFFF;
                memcpy(host + 4 * i, &v, 4);
            }
            break;
        case KMIF_TYPE_U1:
        case KMIF_TYPE_U2:
        case KMIF_TYPE_U4:
            for (int64_t i = 0; i < count; ++i)
                host[i] = static_cast<unsigned char>(rng() % (1u << bitsOf(item->type)));
            break;
        case KMIF_TYPE_NESTED:
        case KMIF_TYPE_REFERENCE:
            for (int64_t i = 0; i < count; ++i)
                fillObject(host + i * stride, item->nestedDesign, rng, maxCount);
            break;
        case KMIF_TYPE_BASEDATA:
            for (int64_t i = 0; i < count; ++i) fillBaseData(host + i * stride, rng);
            break;
        default:
            for (int64_t i = 0; i < count * stride; ++i)
                host[i] = static_cast<unsigned char>(rng());
            break;
    }
}

void fillObject(unsigned char *object, const Kmif_Design *design, std::mt19937 &rng, int maxCount) {
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        unsigned char *field = object + item->hostOffset;
        if (!item->indirectFlag) {
            fillElements(field, item, item->count, rng, maxCount);
            continue;
        }
        const int32_t count = item->countedFlag ? static_cast<int32_t>(rng() % (maxCount + 1))
                                                : (rng() % 3 ? item->count : 0);
        const int64_t bytes = int64_t{count} * item->hostElementSize;
        auto *array = static_cast<unsigned char *>(kmsc_HeapMalloc(static_cast<size_t>(bytes)));
        if (array) fillElements(array, item, count, rng, maxCount);
        storePointer(pointerField(field, item), array);
        if (item->countedFlag) memcpy(field, &count, 4);
    }
}

bool equalObject(const unsigned char *a, const unsigned char *b, const Kmif_Design *design,
                 const std::string &path, std::string *why);

bool equalBaseData(const unsigned char *ra, const unsigned char *rb, const std::string &path,
                   std::string *why) {
    Kgda_BaseData a, b;
    memcpy(&a, ra, sizeof a);
    memcpy(&b, rb, sizeof b);
    char text[200];
    if (a.numrows != b.numrows || a.numcolumns != b.numcolumns || a.datatype != b.datatype ||
        a.objecttype != b.objecttype) {
        snprintf(text, sizeof text, "%s: shape %dx%d type %d/%d vs %dx%d type %d/%d", path.c_str(),
                 a.numrows, a.numcolumns, a.datatype, a.objecttype, b.numrows, b.numcolumns,
                 b.datatype, b.objecttype);
        if (why) *why = text;
        return false;
    }
    if (int64_t{a.numrows} * a.numcolumns == 0) return true;
    const bool matrix = a.objecttype == KGDA_MATRIX_OBJECT;
    const int32_t lines = matrix ? a.numcolumns : a.numrows;
    const int32_t per = matrix ? a.numrows : a.numcolumns;
    const int32_t bytes = kmsc_AddressOf_kgda_NumBytesPerPixel()[a.datatype];
    const unsigned char *sa = a.windowStart ? a.windowStart : a.data;
    const unsigned char *sb = b.windowStart ? b.windowStart : b.data;
    for (int32_t l = 0; l < lines; ++l)
        if (memcmp(sa + int64_t{l} * a.pitch, sb + int64_t{l} * b.pitch,
                   static_cast<size_t>(per * bytes)) != 0) {
            if (why) *why = path + ": values of line " + std::to_string(l) + " differ";
            return false;
        }
    return true;
}

bool equalElements(const unsigned char *a, const unsigned char *b, const Kmif_Item *item,
                   int64_t count, const std::string &path, std::string *why) {
    const int64_t stride = item->hostElementSize;
    switch (item->type) {
        case KMIF_TYPE_NESTED:
        case KMIF_TYPE_REFERENCE:
            for (int64_t i = 0; i < count; ++i)
                if (!equalObject(a + i * stride, b + i * stride, item->nestedDesign,
                                 path + "[" + std::to_string(i) + "]", why))
                    return false;
            return true;
        case KMIF_TYPE_BASEDATA:
            for (int64_t i = 0; i < count; ++i)
                if (!equalBaseData(a + i * stride, b + i * stride,
                                   path + "[" + std::to_string(i) + "]", why))
                    return false;
            return true;
        default:
            if (count > 0 && memcmp(a, b, static_cast<size_t>(count * stride)) != 0) {
                if (why) *why = path + ": values differ";
                return false;
            }
            return true;
    }
}

bool equalObject(const unsigned char *a, const unsigned char *b, const Kmif_Design *design,
                 const std::string &path, std::string *why) {
    for (const Kmif_Item *item = design->itemList; item; item = item->next) {
        const std::string where = path + "." + item->name;
        const unsigned char *fa = a + item->hostOffset;
        const unsigned char *fb = b + item->hostOffset;
        if (!item->indirectFlag) {
            if (!equalElements(fa, fb, item, item->count, where, why)) return false;
            continue;
        }
        const auto *pa = static_cast<const unsigned char *>(loadPointer(pointerField(fa, item)));
        const auto *pb = static_cast<const unsigned char *>(loadPointer(pointerField(fb, item)));
        int32_t ca = pa ? item->count : 0, cb = pb ? item->count : 0;
        if (item->countedFlag) {
            memcpy(&ca, fa, 4);
            memcpy(&cb, fb, 4);
        }
        if (ca != cb || (!pa) != (!pb)) {
            if (why)
                *why = where + ": count " + std::to_string(ca) + (pa ? "" : " (NULL)") + " vs " +
                       std::to_string(cb) + (pb ? "" : " (NULL)");
            return false;
        }
        if (pa && !equalElements(pa, pb, item, ca, where, why)) return false;
    }
    return true;
}

void appendDesign(std::string &out, std::mt19937 &rng, int depth, int &serial,
                  std::vector<std::string> &named, bool withBaseData);

void appendItem(std::string &out, std::mt19937 &rng, int depth, int &serial,
                std::vector<std::string> &named, bool withBaseData, int index) {
    static const std::string kLetters = "CcSsLlfdmMti124e";
    std::string letter;
    const unsigned pick = rng() % 20;
    if (pick < kLetters.size())
        letter = kLetters.substr(pick, 1);
    else if (pick == 16 && depth < 2)
        letter = "x";
    else if (pick == 17 && !named.empty())
        letter = "o";
    else if (pick == 18 && withBaseData)
        letter = "b";
    else
        letter = kLetters.substr(rng() % kLetters.size(), 1);
    const unsigned shape = rng() % 5;
    const std::string indirection = shape == 3 ? "*" : shape == 4 ? "p" : "";
    const unsigned count = rng() % 4;
    out += std::to_string(count) + ":" + indirection + letter;
    if (letter == "e") {
        const unsigned names = 1 + rng() % 3;
        out += std::to_string(names) + ":";
        for (unsigned n = 0; n < names; ++n) out += "N" + std::to_string(n) + ",";
    } else if (letter == "o") {
        out += named[rng() % named.size()] + ",";
    } else if (letter == "x") {
        appendDesign(out, rng, depth + 1, serial, named, withBaseData);
    }
    out += "i" + std::to_string(index) + ",";
}

void appendDesign(std::string &out, std::mt19937 &rng, int depth, int &serial,
                  std::vector<std::string> &named, bool withBaseData) {
    out += "{";
    const int items = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < items; ++i) appendItem(out, rng, depth, serial, named, withBaseData, i);
    // Never an object of zero host bytes.
    out += "1:Cz,}X" + std::to_string(serial++) + ",";
}

}  // namespace

Bytes encode(const void *object, const Kmif_Design *design) {
    ktest::Err err;
    const int32_t size = kmif_ObjectSize(object, design, &err);
    EXPECT_GE(size, 0) << ktest::messages(err.r);
    if (size < 0) return {};
    Bytes bytes(static_cast<size_t>(size) + 1, 0xEE);
    const int32_t written =
        kmif_ConvertToMIFEx(nullptr, object, design, bytes.data(), size, 0, &err);
    EXPECT_EQ(written, size) << ktest::messages(err.r);
    EXPECT_EQ(bytes.back(), 0xEE) << "wrote past the size";
    bytes.pop_back();
    return written == size ? bytes : Bytes{};
}

bool decode(const Bytes &bytes, const Kmif_Design *design, void **object, Kerr_ErrorReport **err) {
    ktest::Err local;
    // An exact-size heap copy lets the sanitizer see any over-read.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size() + 1]);
    if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
    const int32_t consumed =
        kmif_ConvertToHostEx(nullptr, copy.get(), static_cast<int64_t>(bytes.size()), design,
                             object, err ? err : &local);
    if (!err) {
        EXPECT_EQ(consumed, static_cast<int32_t>(bytes.size())) << ktest::messages(local.r);
    }
    return consumed == static_cast<int32_t>(bytes.size());
}

void *newObject(const Kmif_Design *design) {
    return kmsc_HeapMalloc((static_cast<size_t>(design->hostSize) + 7) & ~size_t{7});
}

void fillRandom(void *object, const Kmif_Design *design, std::mt19937 &rng, int maxCount) {
    fillObject(static_cast<unsigned char *>(object), design, rng, maxCount);
}

bool equalObjects(const void *a, const void *b, const Kmif_Design *design, std::string *why) {
    return equalObject(static_cast<const unsigned char *>(a), static_cast<const unsigned char *>(b),
                       design, "", why);
}

std::string randomDictionary(std::mt19937 &rng, bool withBaseData) {
    std::string out;
    int serial = 0;
    std::vector<std::string> named;
    const int helpers = static_cast<int>(rng() % 3);
    for (int h = 0; h < helpers; ++h) {
        appendDesign(out, rng, 1, serial, named, withBaseData);
        named.push_back("X" + std::to_string(serial - 1));
    }
    out += "{";
    const int items = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < items; ++i) appendItem(out, rng, 0, serial, named, withBaseData, i);
    out += "1:Cz,}Top,.";
    return out;
}

std::string hex(const Bytes &bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X ", c);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

}  // namespace mifenc
