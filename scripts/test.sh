#!/usr/bin/env bash
# Builds through the CMake presets and runs the test suite through CTest.
#   scripts/test.sh              the normal build (preset normal), in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build (preset sanitize), in build-asan/
#   scripts/test.sh --fuzz-smoke a short run of the libFuzzer targets (preset fuzz, clang), in build-fuzz/
# LX_WERROR=ON in the environment makes warnings errors; LX_BUILD_JOBS caps
# the build's jobs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
ctest_args=(-j "$(nproc)")

case ${1:-} in
  --fuzz-smoke)
    preset=fuzz build_dir="$root/build-fuzz"
    ctest_args=(-R 'Fuzzer')
    ;;
  --sanitize)
    preset=sanitize build_dir="$root/build-asan"
    # Leak checking stays on; only the system libraries under Qt are excused.
    export LSAN_OPTIONS="suppressions=$root/Tests/Support/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # The packaging check gains nothing from the sanitizers and would build a
    # second copy of the tree; the normal run has it.
    ctest_args+=(-LE packaging)
    ;;
  *)
    preset=normal build_dir="$root/build"
    ;;
esac

"$root/scripts/install-deps.sh"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "${LX_BUILD_JOBS:-$(nproc)}"
ctest --test-dir "$build_dir" --output-on-failure "${ctest_args[@]}"
