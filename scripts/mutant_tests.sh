#!/usr/bin/env bash
# Test command for mutation sampling (shared/tools/mutants.py --test-cmd), run
# in the build directory. The programs of the mutated module (the newest file
# under src/ names it) run first, as they are the likeliest to notice; when
# they all pass, every other test program runs too, so a mutant survives only
# if the whole suite misses it. Each program runs whole. The build directory
# is configured with CMAKE_LINK_DEPENDS_NO_SHARED=ON beforehand, so a mutant
# only recompiles one file and relinks libkraster.so; the programs load it
# afresh.
set -u
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' CMakeCache.txt)
newest=$(find "$src/src" -type f -name '*.cpp' -printf '%T@ %P\n' | sort -n | tail -n 1 | cut -d' ' -f2)
module=${newest%%/*}
case "$module" in
  image) first="test_image test_rasterformats" ;;
  projection) first="test_projection test_datum" ;;
  *) first="test_$module" ;;
esac
export KRASTER_TEST=1
run() { timeout 300 "bin/$1" --gtest_brief=1 >/dev/null 2>&1; }
for p in $first; do
  [ -x "bin/$p" ] || { echo "no program bin/$p for $newest" >&2; exit 2; }
  run "$p" || exit 1
done
for path in bin/test_*; do
  p=${path#bin/}
  case " $first " in *" $p "*) continue ;; esac
  run "$p" || exit 1
done
exit 0
