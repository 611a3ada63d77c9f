#!/usr/bin/env bash
# Builds the library and the tool (optimised) and runs `kraster demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRASTER_TESTS=OFF >/dev/null
cmake --build build --target kraster_tool
exec build/bin/kraster demo
