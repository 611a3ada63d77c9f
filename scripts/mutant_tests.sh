#!/usr/bin/env bash
# Test command for mutation sampling (shared/tools/mutants.py --test-cmd), run
# in the build directory: the mutated file is the newest one under src/, and
# only the test programs of its module run, each whole. The build directory is
# configured with CMAKE_LINK_DEPENDS_NO_SHARED=ON beforehand, so a mutant only
# recompiles one file and relinks libkraster.so; the programs load it afresh.
set -u
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' CMakeCache.txt)
newest=$(find "$src/src" -type f -name '*.cpp' -printf '%T@ %P\n' | sort -n | tail -n 1 | cut -d' ' -f2)
module=${newest%%/*}
case "$module" in
  image) programs="test_image test_rasterformats" ;;
  projection) programs="test_projection test_datum" ;;
  *) programs="test_$module" ;;
esac
export KRASTER_TEST=1
for p in $programs; do
  [ -x "bin/$p" ] || { echo "no program bin/$p for $newest" >&2; exit 2; }
  timeout 300 "bin/$p" --gtest_brief=1 >/dev/null 2>&1 || exit 1
done
exit 0
