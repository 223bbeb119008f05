#!/usr/bin/env bash
# Builds everything and runs the whole test suite through CTest.
#   scripts/test.sh              the normal build, in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build, in build-asan/
#   scripts/test.sh --fuzz-smoke a short run of the libFuzzer targets (clang), in build-fuzz/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ctest_args=()

if [[ ${1:-} == --fuzz-smoke ]]; then
  build_dir="$root/build-fuzz"
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DLX_BUILD_FUZZ=ON -DLX_WERROR="${LX_WERROR:-OFF}" >/dev/null
  cmake --build "$build_dir" -j "$(nproc)" --target VersionNameFuzzer
  ctest --test-dir "$build_dir" --output-on-failure -R 'Fuzzer'
  exit 0
elif [[ ${1:-} == --sanitize ]]; then
  build_dir="$root/build-asan"
  "$root/scripts/build.sh" "$build_dir" -DLX_SANITIZE=ON -DLX_BUILD_BENCH=OFF
  # Leak checking stays on; only the system libraries under Qt are excused.
  export LSAN_OPTIONS="suppressions=$root/Tests/Support/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The packaging check gains nothing from the sanitizers and would build a
  # second copy of the tree; the normal run has it.
  ctest_args=(-LE packaging)
else
  build_dir="$root/build"
  "$root/scripts/build.sh" "$build_dir" -DLX_BUILD_BENCH=ON
fi

ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "${ctest_args[@]}"
