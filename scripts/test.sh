#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test (unit suites, C header check, install check, tool, fuzz
# corpora); then builds the suites that start threads with ThreadSanitizer
# (build-tsan) and runs their threaded tests (names holding "Thread" or
# "Concurrent").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKRASTER_SANITIZE=ON -DKRASTER_BENCH=ON >/dev/null
cmake --build build-asan -j "$jobs"
# The leak checker records dynamic TLS blocks by intercepting __tls_get_addr;
# with libraries that plug-ins load (and their TLS descriptors) it records
# bogus ranges and crashes while scanning them at exit, depending on the
# layout of the program. Dynamic TLS is not a root it needs here: every
# thread the tests start has ended before the check.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:intercept_tls_get_addr=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 900

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKRASTER_TSAN=ON -DKRASTER_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target threaded_tests
ctest --test-dir build-tsan -L tsan -j "$jobs" --output-on-failure --timeout 900
