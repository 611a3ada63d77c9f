// Fuzz target for the BaseData text reader. The first byte picks the data
// and object type, the second the rows, columns and layers to ask for (each
// 0 to 3, 0 meaning "count"); the rest is the text file. Whatever is read
// must write back and read again to the same values.
#include "fuzz_support.hpp"

#include <kraster/kraster.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool sameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (a == b) return std::signbit(a) == std::signbit(b);
    return std::fabs(a - b) <= 1e-15 * std::fabs(a);  // %.16g keeps 16 digits
}

// Element-wise equality of two stacks of the same shape and type.
bool sameValues(const Kgda_BaseDataStack *a, const Kgda_BaseDataStack *b) {
    if (a->numberOfLayers != b->numberOfLayers) return false;
    for (int32_t l = 0; l < a->numberOfLayers; ++l) {
        const Kgda_BaseData *x = a->layers[l], *y = b->layers[l];
        if (x->numrows != y->numrows || x->numcolumns != y->numcolumns) return false;
        for (int32_t i = 0; i < x->numelements; ++i) {
            const unsigned char *p = x->data + static_cast<size_t>(i) * x->numbytes;
            const unsigned char *q = y->data + static_cast<size_t>(i) * y->numbytes;
            if (x->datatype == KGDA_STRING_TYPE_CODE) {
                const char *s, *t;
                memcpy(&s, p, sizeof s);
                memcpy(&t, q, sizeof t);
                if (strcmp(s ? s : "", t ? t : "") != 0) return false;
            } else if (x->datatype == KGDA_TYPE_F64 || x->datatype == KGDA_TYPE_C128) {
                for (int k = 0; k < x->numbytes; k += 8) {
                    double u, v;
                    memcpy(&u, p + k, 8);
                    memcpy(&v, q + k, 8);
                    if (!sameDouble(u, v)) return false;
                }
            } else if (x->datatype == KGDA_TYPE_F32 || x->datatype == KGDA_TYPE_C64) {
                for (int k = 0; k < x->numbytes; k += 4) {
                    float u, v;
                    memcpy(&u, p + k, 4);
                    memcpy(&v, q + k, 4);
                    if (!(std::isnan(u) ? std::isnan(v) : memcmp(&u, &v, 4) == 0)) return false;
                }
            } else if (memcmp(p, q, static_cast<size_t>(x->numbytes)) != 0) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int32_t type = data[0] % KGDA_PIXEL_TYPE_COUNT;
    const int32_t object = (data[0] / KGDA_PIXEL_TYPE_COUNT) % 4;
    const int32_t rows = data[1] & 3, columns = (data[1] >> 2) & 3, layers = (data[1] >> 4) & 3;
    const std::string in = kfuzz::scratch(data + 2, size - 2, ".txt"), out = in + ".out";

    kfuzz::Reports err;
    Kgda_BaseDataStack *s =
        kgda_CreateBaseDataStackFromAscii(object, type, rows, columns, layers, in.c_str(), &err);
    if (s) {
        // What was read can be written, and reads back the same.
        if (kgda_BaseDataStackWriteAscii(s, out.c_str(), &err) != 0) abort();
        const Kgda_BaseData *first = s->layers[0];
        Kgda_BaseDataStack *t = kgda_CreateBaseDataStackFromAscii(
            object, type, first->numrows, first->numcolumns, s->numberOfLayers, out.c_str(), &err);
        if (!t || !sameValues(s, t)) abort();
        kgda_BaseDataStackDelete(t, nullptr);
        kgda_BaseDataStackDelete(s, nullptr);
    }

    // The reader on a stack of a fixed shape.
    Kgda_BaseDataStack *fixed = kgda_BaseDataStackCreate(2, 2, 3, type, object, nullptr);
    if (!fixed) abort();
    kgda_BaseDataStackReadAscii(fixed, in.c_str(), &err);
    kgda_BaseDataStackDelete(fixed, nullptr);
    unlink(in.c_str());
    unlink(out.c_str());
    return 0;
}
