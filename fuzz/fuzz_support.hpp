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

inline void check(bool condition, const char *what) {
    if (!condition) {
        fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
        abort();
    }
}

// Writes the input to "$TMPDIR/<program>.<pid>.hfa" and returns that name.
inline const std::string &scratch(const uint8_t *data, size_t size) {
    static const std::string name = [] {
        const char *dir = getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/" + program_invocation_short_name + "." +
               std::to_string(static_cast<long>(getpid())) + ".hfa";
    }();
    FILE *out = fopen(name.c_str(), "wb");
    check(out != nullptr, "cannot write the scratch file");
    if (size) fwrite(data, 1, size, out);
    fclose(out);
    return name;
}

}  // namespace kfuzz
