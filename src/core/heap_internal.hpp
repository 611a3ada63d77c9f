// Internal hooks of the memory module.
#pragma once

#include <cstddef>

namespace kr {

// The "heap_size" preference of category "memory" in MB (default 10).
double heapSizePreference();

}  // namespace kr
