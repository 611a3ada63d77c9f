// A geometric-model plug-in of the tests, "Test Model" (or GM_TITLE):
// x' = x + shift. It tells inverses apart but has no equality of its own.
// Variants leave out a required function (GM_NO_TRANSFORM, GM_NO_TITLES) or
// return a bad title list (GM_GARBAGE). The model says it is not
// thread-safe; its transform records how many calls ran at once, and it
// fails to transform or invert a shift of -1.
#include <kraster/kmsc.h>
#include <kraster/kxfr.h>

#include <atomic>
#include <chrono>
#include <thread>

#define GM extern "C" __attribute__((visibility("default")))

namespace {
#ifndef GM_TITLE
#define GM_TITLE "Test Model"
#endif
[[maybe_unused]] const char *kTitles[] = {GM_TITLE};
std::atomic<int> g_inside{0};
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int gmTestMostAtOnce = 0;
}

#ifndef GM_NO_TITLES
GM long InstanceTitleListGet(long *count, char ***titles) {
#ifdef GM_GARBAGE
    *count = 0;
#else
    *count = 1;
#endif
    *titles = const_cast<char **>(kTitles);
    return 0;
}
#endif

GM void XFormDestroy(void *data) {
    kmsc_HeapFree(data);
}

GM void *XFormCopy(const void *data, Kerr_ErrorReport **) {
    auto *d = static_cast<double *>(kmsc_HeapMalloc(sizeof(double)));
    if (d) *d = *static_cast<const double *>(data);
    return d;
}

GM void *XFormInvert(const void *data, Kerr_ErrorReport **err) {
    if (*static_cast<const double *>(data) == -1) return nullptr;
    auto *d = static_cast<double *>(XFormCopy(data, err));
    if (d) *d = -*d;
    return d;
}

// No XFormIsSame: equality goes through the inverse.
GM long XFormIsInverse(const void *a, const void *b) {
    return *static_cast<const double *>(a) == -*static_cast<const double *>(b);
}

#ifndef GM_NO_TRANSFORM
GM long XFormTransform(const void *data, long count, double *xy) {
    const int now = ++g_inside;
    if (now > gmTestMostAtOnce) gmTestMostAtOnce = now;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double shift = *static_cast<const double *>(data);
    for (long i = 0; i < count; ++i) xy[2 * i] += shift;
    --g_inside;
    return shift == -1 ? -1 : count;
}
#endif
