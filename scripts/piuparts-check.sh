#!/usr/bin/env bash
# Runs piuparts, Debian's installation and removal tester, on this tree's
# Debian packages as a distribution reviewer would: the versioned package and
# the metapackage installed together into a clean Debian 12 root, purged,
# then installed, removed, installed again and purged, with the pedantic
# purge test. Fails when piuparts fails.
#   scripts/piuparts-check.sh [BUILD_DIR]   (default: build/)
# It builds the shipped targets in BUILD_DIR and packages them first.
#
# The root comes from a tarball that mmdebstrap makes from this machine's
# Debian apt sources; it is kept and made again only when those sources
# change or it is older than a week (piuparts upgrades it on every run).
# Needs root. Settings, all optional:
#   LX_PIUPARTS_SUITE  Debian release of the root     (bookworm)
#   LX_PIUPARTS_CACHE  where the tarball is kept       (/var/cache/lx-piuparts)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
suite=${LX_PIUPARTS_SUITE:-bookworm}
cache=${LX_PIUPARTS_CACHE:-/var/cache/lx-piuparts}
max_age_days=7

die() { echo "piuparts-check: $*" >&2; exit 1; }
step() { printf '\n==== %s  [%ss]\n' "$*" "$SECONDS"; }

[[ $(id -u) -eq 0 ]] || die "needs root: piuparts chroots into the root it unpacks"

step "Tools"
"$repo/scripts/install-deps.sh"
missing=()
for p in piuparts mmdebstrap; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

step "Build and package the shipped targets in $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLX_WERROR="${LX_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j "${LX_BUILD_JOBS:-$(nproc)}" --target lx_shipped
work=$build/piuparts
rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" ||
  { cat "$work/cpack.log" && die "cpack failed"; }
mapfile -t debs < <(find "$work/debs" -maxdepth 1 -name '*.deb' | sort)
((${#debs[@]} == 2)) || die "expected the versioned package and the metapackage, found: ${debs[*]}"
printf '  %s\n' "${debs[@]##*/}"

step "Root tarball ($suite)"
# The Debian archive's entries for the suite (bookworm, bookworm-updates,
# bookworm-security), whatever the format of the source files; other
# repositories configured on the host stay out of the root. The $(...) are
# apt's field names, not shell.
# shellcheck disable=SC2016
mapfile -t sources < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(ORIGIN)' \
  'Identifier: Packages' | awk -v s="$suite" '$4 == "Debian" && ($2 == s || index($2, s "-") == 1) {
    print "deb " $1 " " $2 " " $3 }' | sort -u)
((${#sources[@]})) || die "no Debian apt source for $suite on this host (run apt-get update?)"
printf '  %s\n' "${sources[@]}"
key=$(printf '%s\n' "$suite" "${sources[@]}" | sha256sum | cut -c1-12)
tarball=$cache/$suite-$key.tar.gz
mkdir -p "$cache"
if [[ -f $tarball && -z $(find "$tarball" -mtime +"$max_age_days") ]]; then
  echo "  reusing $tarball"
else
  rm -f "$cache/$suite"-*.tar.gz
  # eatmydata: piuparts uses it, when the root has it, to skip dpkg's syncs.
  mmdebstrap --mode=root --variant=minbase --include=eatmydata \
    "$suite" "$cache/partial.tar.gz" "${sources[@]}"
  mv "$cache/partial.tar.gz" "$tarball"
  echo "  made $tarball"
fi

step "piuparts"
status=0
piuparts --basetgz="$tarball" --distribution="$suite" --keep-sources-list \
  --no-upgrade-test --install-remove-install --pedantic-purge-test \
  --log-file="$work/piuparts.log" "${debs[@]}" >"$work/piuparts.out" 2>&1 || status=$?
# Its verdicts and complaints; the whole log stays in the build tree.
grep --no-group-separator -E '^[0-9ms.]+ (ERROR|FAIL|INFO: (PASS|Installation of))' -A3 "$work/piuparts.out" |
  grep -vE '^[0-9ms.]+ (DEBUG|INFO: /.* by /usr merge)' || true
if ((status != 0)); then
  tail -n 80 "$work/piuparts.out" >&2
  die "FAILED (piuparts exit status $status; the whole log: $work/piuparts.log)"
fi
step "piuparts-check: PASSED"
