// Size of the big heap, from the "heap_size" preference of category "memory".
#include "core/heap_internal.hpp"

namespace kr {

double heapSizePreference() {
    // Default until the preference manager supplies the stored value.
    return 10.0;
}

}  // namespace kr
