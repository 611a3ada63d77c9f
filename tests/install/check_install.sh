#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, then builds and runs a small C
# program against it twice: through pkg-config and through find_package.
set -euo pipefail
build=$1 src=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in include/kraster/kraster.h lib/libkraster.so lib/pkgconfig/kraster.pc \
         lib/cmake/KRaster/KRasterConfig.cmake bin/kraster; do
  [ -e "$work/prefix/$f" ] || { echo "missing from install: $f"; exit 1; }
done
[ -d "$work/prefix/share/kraster" ] || { echo "missing share/kraster"; exit 1; }
[ -d "$work/prefix/lib/kraster/plugins" ] || { echo "missing lib/kraster/plugins"; exit 1; }
extra=()
if [ "${KRASTER_SANITIZE:-OFF}" = "ON" ]; then extra=(-fsanitize=address,undefined); fi
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
"$cc" -std=c99 -Wall -Werror "${extra[@]}" "$src/hello.c" -o "$work/hello_pc" \
  $(pkg-config --cflags --libs kraster) -Wl,-rpath,"$work/prefix/lib"
out=$("$work/hello_pc")
echo "pkg-config: $out"
[[ "$out" == KRaster* ]]
cflags="${extra[*]:-}"
cmake -S "$src" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" >/dev/null
cmake --build "$work/consumer" >/dev/null
out=$("$work/consumer/hello")
echo "find_package: $out"
[[ "$out" == KRaster* ]]
