#!/usr/bin/env bash
# Builds everything and runs the whole test suite through CTest.
#   scripts/test.sh              the normal build, in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build, in build-asan/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ ${1:-} == --sanitize ]]; then
  build_dir="$root/build-asan"
  "$root/scripts/build.sh" "$build_dir" -DLX_SANITIZE=ON -DLX_BUILD_BENCH=OFF
  # Qt and fontconfig keep caches for the life of the process; only our own
  # leaks are of interest, and the launcher tests keep leak checking on.
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  build_dir="$root/build"
  "$root/scripts/build.sh" "$build_dir" -DLX_BUILD_BENCH=ON
fi

ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
