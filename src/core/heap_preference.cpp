// Size of the big heap, from the "heap_size" preference of category "memory".
#include <kraster/kerr.h>
#include <kraster/kpmg.h>

#include "core/heap_internal.hpp"

namespace kr {

double heapSizePreference() {
    constexpr double kDefault = 10.0;
    // The preference manager allocates from the heap and may load its files;
    // should any of that come back here, the default answers.
    thread_local bool reading = false;
    if (reading) return kDefault;
    reading = true;
    Kerr_ErrorReport *err = nullptr;
    const double megabytes = kpmg_GetNumberPreference("memory", "heap_size", kDefault, &err);
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
    }
    reading = false;
    return megabytes;
}

}  // namespace kr
