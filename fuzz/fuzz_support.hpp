// Pieces every fuzz target shares: the toolkit started once with reports
// silenced, a check that aborts naming the program, and the input written to
// a scratch file of this process.
#pragma once

#include <kraster/kraster.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace kfuzz {

inline void discard(void *, Kerr_ErrorReport *, int, Kerr_ErrorReport **) {}

// Starts the toolkit on the first input; reports printed later are dropped so
// the fuzzer's output stays quiet.
inline void start() {
    static const bool ready = [] {
        kint_InitToolkit(nullptr);
        kerr_SetAltErrorFunction(discard, nullptr);
        return true;
    }();
    (void)ready;
}

// A report chain that is dropped whenever its address is handed to a call,
// and at the end of its scope: what a fuzzed call reported is looked at, if
// at all, before the next call.
struct Reports {
    Kerr_ErrorReport *r = nullptr;
    Reports() = default;
    Reports(const Reports &) = delete;
    Reports &operator=(const Reports &) = delete;
    ~Reports() { kerr_DeleteErrorReportEx(&r); }
    Kerr_ErrorReport **operator&() {
        kerr_DeleteErrorReportEx(&r);
        return &r;
    }
    operator Kerr_ErrorReport *() const { return r; }
    Kerr_ErrorReport *operator->() const { return r; }
};

inline void check(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
        abort();
    }
}

// Writes the input to "$TMPDIR/<program>.<pid><suffix>" and returns that name.
inline std::string scratch(const uint8_t *data, size_t size, const char *suffix = ".hfa") {
    const char *dir = getenv("TMPDIR");
    const std::string name = std::string(dir && *dir ? dir : "/tmp") + "/" +
                             program_invocation_short_name + "." +
                             std::to_string(static_cast<long>(getpid())) + suffix;
    FILE *out = fopen(name.c_str(), "wb");
    check(out != nullptr, "cannot write the scratch file");
    if (size) fwrite(data, 1, size, out);
    fclose(out);
    return name;
}

}  // namespace kfuzz
