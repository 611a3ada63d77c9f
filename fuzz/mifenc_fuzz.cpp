// Fuzz target for the object decoder. The input is a dictionary string, a
// NUL byte, then data bytes. Every design of the dictionary decodes the data;
// the decoder must fail with a report or consume at most the data, and a
// decoded object must encode to exactly as many bytes as were consumed,
// survive a second encode-decode unchanged, copy deeply, take another
// decoding in place and free cleanly.
#include "fuzz_support.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kfuzz::check;

// Objects larger than this are not tried (the host record is allocated
// before a byte is read).
constexpr int32_t kMaxHostSize = 1 << 20;
constexpr int kMaxDesigns = 8;

std::vector<unsigned char> encode(const void *object, const Kmif_Design *design) {
    const int32_t size = kmif_ObjectSize(object, design, nullptr);
    check(size >= 0, "a decoded object cannot be measured");
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    check(kmif_ConvertToMIFEx(nullptr, object, design, bytes.data(), size, 0, nullptr) == size,
          "a decoded object does not encode to its size");
    return bytes;
}

void tryDesign(const Kmif_Design *design, const unsigned char *data, size_t size) {
    if (design->hostSize <= 0 || design->hostSize > kMaxHostSize) return;
    void *object = nullptr;
    kfuzz::Reports err;
    const int32_t consumed =
        kmif_ConvertToHostEx(nullptr, data, static_cast<int64_t>(size), design, &object, &err);
    check((consumed < 0) == (err != nullptr), "a result and a report disagree");
    if (consumed < 0) {
        check(object == nullptr, "a failed decoding left an object behind");
        return;
    }
    check(static_cast<size_t>(consumed) <= size, "consumed more than given");
    check(object != nullptr, "no object");

    const std::vector<unsigned char> first = encode(object, design);
    check(first.size() == static_cast<size_t>(consumed), "encoded length differs from consumed");
    // Header positions and pad bits may differ from the input; the second
    // round must be a fixed point.
    void *again = nullptr;
    check(kmif_ConvertToHostEx(nullptr, first.data(), static_cast<int64_t>(first.size()), design,
                               &again, nullptr) == consumed,
          "an encoding does not decode");
    check(encode(again, design) == first, "decode(encode(x)) differs from x");

    void *copy = nullptr;
    check(kmif_ObjectCopy(object, &copy, design, nullptr) == 0, "copy failed");
    check(encode(copy, design) == first, "copy differs");

    // Decoding other bytes into an object with arrays set: success or a
    // report, and the object stays consistent.
    if (size > 1) {
        const int32_t other = kmif_ConvertToHostEx(
            nullptr, data + 1, static_cast<int64_t>(size - 1), design, &again, nullptr);
        check(other < static_cast<int32_t>(size), "consumed more than given");
        (void)encode(again, design);
    }
    check(kmif_ObjectFree(&object, design, nullptr) == 0, "free failed");
    check(kmif_ObjectFree(&again, design, nullptr) == 0, "free failed");
    check(kmif_ObjectFree(&copy, design, nullptr) == 0, "free failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    const auto *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
    if (!nul) return 0;
    const std::string text(reinterpret_cast<const char *>(data), static_cast<size_t>(nul - data));
    const size_t offset = static_cast<size_t>(nul - data) + 1;
    // The data in a block of its own size, so that an over-read is caught.
    const std::vector<unsigned char> exact(data + offset, data + size);

    Kmif_Dictionary *dictionary = kmif_DictionaryDecodeFromString(text.c_str(), nullptr);
    if (!dictionary) return 0;
    int tried = 0;
    for (const Kmif_Design *d = dictionary->firstDesign; d && tried < kMaxDesigns;
         d = d->next, ++tried)
        tryDesign(d, exact.empty() ? nullptr : exact.data(), exact.size());
    kmif_DictionaryDestroy(dictionary, nullptr);
    return 0;
}
