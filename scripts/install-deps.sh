#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libspdlog-dev libfmt-dev libjsoncpp-dev qtbase5-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  binutils dpkg-dev file
  libelf-dev
  xvfb x11-utils
  lintian
  # the packages' checks: hardening, desktop entry, software-centre data,
  # manual pages, the scripts; and the icon's bitmap. The catalogue
  # composer reads the SVG icon through gdk-pixbuf's SVG loader, which only
  # librsvg2-common installs (a mere recommendation of librsvg2-2).
  devscripts desktop-file-utils appstream appstream-compose man-db shellcheck
  librsvg2-bin librsvg2-common
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}; run this script as root to install them." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
