#!/usr/bin/env bash
# Builds the library, the native format plug-in and its tests with
# ThreadSanitizer (build-tsan) and runs the tests that call the plug-in from
# several threads at once without the global lock.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
flags="-fsanitize=thread -O1"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKRASTER_BENCH=OFF \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j "$(nproc 2>/dev/null || echo 2)" --target test_rasterformats
TSAN_OPTIONS="halt_on_error=1:${TSAN_OPTIONS:-}" \
  build-tsan/bin/test_rasterformats --gtest_filter='*Concurrent*'
