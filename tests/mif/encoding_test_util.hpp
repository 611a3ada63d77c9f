// Helpers for the object encoding suites: designs from dictionary strings,
// encoding and decoding wrappers, random objects of any design and a deep
// comparison of two objects.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mif_test_util.hpp"

namespace mifenc {

using Bytes = std::vector<unsigned char>;

// A dictionary decoded from a string and one of its designs.
struct Designs {
    mift::Dict dict;
    explicit Designs(const std::string &text) : dict(mift::decode(text)) {}
    Kmif_Design *operator[](const char *name) const {
        return dict ? kmif_DictionarySearchByName(dict.d, name, nullptr) : nullptr;
    }
};

// Encodes into memory (positions counted from 0), checking that the length
// equals kmif_ObjectSize. Empty on failure (with a test failure).
Bytes encode(const void *object, const Kmif_Design *design);
// Decodes exactly bytes (from an exact-size heap copy) into *object
// (allocated when NULL); true on success with every byte consumed. Without
// err a failure is a test failure.
bool decode(const Bytes &bytes, const Kmif_Design *design, void **object,
            Kerr_ErrorReport **err = nullptr);

// Owns an object of a design.
struct Object {
    const Kmif_Design *design;
    void *p = nullptr;
    explicit Object(const Kmif_Design *d, void *object = nullptr) : design(d), p(object) {}
    ~Object() { kmif_ObjectFree(&p, design, nullptr); }
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    unsigned char *bytes() const { return static_cast<unsigned char *>(p); }
};

// Zero-filled object of a design (without changing the design).
void *newObject(const Kmif_Design *design);

// Fills an object with random values and random arrays (heap blocks the
// object then owns): counted pointers get 0 to maxCount elements, plain
// pointers NULL or their declared count, enumerations 16-bit values, bit
// items values in range, generic data objects random shapes and types.
void fillRandom(void *object, const Kmif_Design *design, std::mt19937 &rng, int maxCount = 4);

// Deep comparison: item values, array contents, nested objects and generic
// data objects (shape, types and values). Describes the first difference.
bool equalObjects(const void *a, const void *b, const Kmif_Design *design, std::string *why);

// A random dictionary string whose last design is named "Top": items of
// every type, counts 0 to 3, plain and counted pointers, enumerations,
// nested designs in place and by name, generic data objects (when
// withBaseData).
std::string randomDictionary(std::mt19937 &rng, bool withBaseData);

std::string hex(const Bytes &bytes);

}  // namespace mifenc
