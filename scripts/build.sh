#!/usr/bin/env bash
# Configures and builds the project into a build directory.
#   scripts/build.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: build.sh BUILD_DIR [cmake args...]}
shift

"$root/scripts/install-deps.sh"

jobs=${LX_BUILD_JOBS:-$(nproc)}
# CI sets LX_WERROR=ON so that a new warning fails the run.
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLX_WERROR="${LX_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$build_dir" -j "$jobs"
