// Fuzz target for magic tables. The input up to its first NUL byte is magic
// text, one line per "\n", appended to a table; the bytes after the NUL (or,
// without one, the text itself) are the file matched against it. Besides
// crashes, leaks and over-reads it checks what the module promises: a result
// and a report agree, matches are entries at or after the start index that
// are no character sets, a match found again from its own index is the same,
// the table's size and reach stay within the documented bounds, and the text
// appended in one call gives the table that line-by-line appends give, or
// nothing when one of its lines is bad.
#include "fuzz_support.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kfuzz::check;

void matchAll(const Kmgc_MagicTable *t, const uint8_t *bytes, size_t count) {
    const int32_t n = kmgc_MagicCount(t);
    int32_t start = 0;
    for (int guard = 0; guard <= n; ++guard) {
        const int32_t r = kmgc_MagicMatch(t, start, bytes, count);
        if (r < 0) return;
        check(r >= start && r < n, "a match outside the entries searched");
        check(kmgc_MagicCharSet(t, r) == nullptr, "a character-set entry matched");
        check(kmgc_MagicMatch(t, r, bytes, count) == r, "a match not found again");
        start = r + 1;
    }
    check(false, "more matches than entries");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kfuzz::start();
    if (size > 65536) return 0;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t nul = input.find('\0');
    const std::string_view text = input.substr(0, nul);
    const uint8_t *bytes = data;
    size_t count = size;
    if (nul != std::string_view::npos) {
        bytes = data + nul + 1;
        count = size - nul - 1;
    }

    kfuzz::Reports err;
    Kmgc_MagicTable *t = kmgc_MagicTableCreate(&err);
    check(t && !err, "no table");
    bool bad = false, any = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string line(text.substr(pos, end - pos));
        const int32_t before = kmgc_MagicCount(t);
        const int32_t maxBefore = kmgc_MagicMaxBytes(t);
        const int32_t r = kmgc_MagicAppend(t, line.c_str(), &err);
        const int32_t after = kmgc_MagicCount(t);
        if (r < 0) {
            check(r == -1 && err && err->message, "a failure without a report");
            check(after == before && kmgc_MagicMaxBytes(t) == maxBefore, "a failure changed it");
            bad = bad || err->code != 10;  // 10: a blank or comment line
        } else {
            check(!err, "a report with a result");
            check(r == after - 1 && after - before <= 1, "a wrong index");
            check(kmgc_MagicMaxBytes(t) >= maxBefore, "the reach shrank");
            any = true;
        }
        pos = end + 1;
    }

    // The whole text in one call: all lines or none.
    Kmgc_MagicTable *whole = kmgc_MagicTableCreate(nullptr);
    const std::string all(text);
    const int32_t r = kmgc_MagicAppend(whole, all.c_str(), &err);
    check((r == 0) == (!bad && any) && (r < 0) == (err != nullptr), "one call differs");
    if (r < 0) {
        check(kmgc_MagicCount(whole) == 0 && kmgc_MagicMaxBytes(whole) == 0,
              "a failure kept lines");
    } else {
        check(kmgc_MagicCount(whole) == kmgc_MagicCount(t), "one call made other entries");
        check(kmgc_MagicMaxBytes(whole) == kmgc_MagicMaxBytes(t), "one call reaches elsewhere");
        check(kmgc_MagicMatch(whole, 0, bytes, count) == kmgc_MagicMatch(t, 0, bytes, count),
              "one call matches elsewhere");
    }
    kmgc_MagicTableDestroy(whole);

    const int32_t maxBytes = kmgc_MagicMaxBytes(t);
    check(maxBytes >= 0 &&
              maxBytes <= (KMGC_OFFSET_MAX + 1) * (KMGC_LEVEL_MAX + 1) + KMGC_STRING_MAX + 8,
          "reach out of bounds");
    for (int32_t i = 0; i < kmgc_MagicCount(t); ++i)
        check(kmgc_MagicMessage(t, i) != nullptr, "an entry without a message");
    matchAll(t, bytes, count);
    // Shorter buffers, as a caller reading fewer bytes passes them, each an
    // exact-size copy so that a read past its end is caught.
    for (size_t cut : {size_t{0}, size_t{1}, count / 2, static_cast<size_t>(maxBytes)}) {
        if (cut >= count) continue;
        std::vector<uint8_t> copy(bytes, bytes + cut);
        matchAll(t, copy.data(), copy.size());
    }
    kmgc_MagicTableDestroy(t);
    return 0;
}
