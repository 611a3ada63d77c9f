// Fuzz target for the dictionary-string decoder. Any input must end in a
// dictionary or a report; a decoded dictionary must encode, its length must
// match, copying its designs into a fresh dictionary must give the same
// string, and decoding that string again must reproduce it.
#include "fuzz_support.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

using kfuzz::check;

int countDesigns(const Kmif_Dictionary *d) {
    int n = 0;
    for (const Kmif_Design *x = d->firstDesign; x; x = x->next) ++n;
    return n;
}

// Every nested design of every design has a name defined before it (or the
// design's own name).
bool wellOrdered(const Kmif_Dictionary *dict) {
    std::set<std::string> seen;
    for (const Kmif_Design *d = dict->firstDesign; d; d = d->next) {
        for (const Kmif_Item *i = d->itemList; i; i = i->next) {
            if (!i->nestedDesign) continue;
            const char *name = i->nestedDesign->name;
            if (!seen.count(name) && strcmp(name, d->name) != 0) return false;
        }
        seen.insert(d->name);
    }
    return true;
}

std::string encode(const Kmif_Dictionary *d) {
    char *s = kmif_DictionaryEncodeToString(d, nullptr);
    check(s != nullptr, "a decoded dictionary does not encode");
    std::string result = s;
    kmsc_HeapFree(s);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    const std::string text(reinterpret_cast<const char *>(data), size);

    kfuzz::Reports err;
    Kmif_Dictionary *dict = kmif_DictionaryDecodeFromString(text.c_str(), &err);
    check((dict == nullptr) == (err != nullptr), "a result and a report disagree");
    if (!dict) return 0;

    const std::string encoded = encode(dict);
    check(kmif_DictionaryEncodedLength(dict, nullptr) == static_cast<int32_t>(encoded.size()),
          "encoded length differs from the string");

    // Nested designs precede the designs that use them unless names make a
    // cycle; then adding copies in order keeps the order and the written
    // form is a fixed point.
    if (!wellOrdered(dict)) {
        kmif_DictionaryDestroy(dict, nullptr);
        return 0;
    }
    Kmif_Dictionary *fresh = kmif_DictionaryCreate(nullptr);
    for (const Kmif_Design *d = dict->firstDesign; d; d = d->next) {
        Kmif_Design *copy = kmif_DesignCopy(d, nullptr);
        check(copy != nullptr, "copy failed");
        check(kmif_DesignLayout(copy, KMIF_HOST_ILP32, nullptr) == 0, "32-bit layout failed");
        check(copy->fileSize == d->fileSize, "file size depends on the host");
        check(copy->hostSize <= d->hostSize, "32-bit record larger than the native one");
        check(kmif_DictionaryAddDesign(fresh, copy, nullptr) != nullptr, "add failed");
        kmif_DesignDestroy(copy, nullptr);
    }
    check(encode(fresh) == encoded, "copies encode differently");
    kmif_DictionaryDestroy(fresh, nullptr);

    // Decoding again may run into the item limit, which counts the doubled
    // nested designs once more.
    Kmif_Dictionary *again = kmif_DictionaryDecodeFromString(encoded.c_str(), nullptr);
    if (again && countDesigns(again) == countDesigns(dict))
        check(encode(again) == encoded, "decoding the written string changes it");
    kmif_DictionaryDestroy(again, nullptr);
    kmif_DictionaryDestroy(dict, nullptr);
    return 0;
}
