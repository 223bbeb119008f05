#!/usr/bin/env bash
# The Debian packages of two versions through real dpkg, apt and
# update-alternatives in a scratch root: side by side, the fallback between
# them on the installed files, upgrade and autoremove, migration from the
# single-package layout, purge, which must leave the root's own /opt. What
# the check could touch on the host, had it missed the scratch root, must come
# out unchanged.
#   SideBySidePackagesTest.sh SOURCE_DIR BUILD_DIR CMAKE CPACK NEWER SINGLE [cmake args...]
# NEWER: the version a second build of the tree is made as; SINGLE: the
# version of a package in the single-package layout.
set -euo pipefail
src=$1 build=$2 cmake=$3 cpack=$4 newer=$5 single=$6
shift 6
work=$build/PackagingTest/run
root=$work/root repo=$work/repo
rm -rf "$work"
mkdir -p "$repo"

step() { printf '\n== %s  [%ss]\n' "$*" "$SECONDS"; }
fail() { echo "FAIL: $*" >&2 && exit 1; }
expect() { [[ $2 == "$3" ]] || fail "$1: expected '$3', got '$2'"; }

# Only these: other work on the machine may install packages meanwhile.
host_state() {
  find /usr/bin/orvalo* /etc/alternatives/orvalo* /var/lib/dpkg/alternatives/orvalo* /var/lib/dpkg/info/orvalo-client* \
    /var/lib/dpkg/info/scratch-base* /opt/orvalo /usr/share/man/man1/orvalo* /usr/share/applications/orvalo.desktop \
    /usr/share/metainfo/*orvalo* /usr/share/icons/hicolor/*/apps/orvalo.* /usr/share/doc/orvalo-client* \
    /usr/share/lintian/overrides/orvalo-client* /etc/apt/apt.conf.d/50orvalo-client \
    -printf '%p %y %m %s %T@ %l\n' 2>/dev/null | sort || true
  dpkg-query -W -f='${Package} ${Version} ${db:Status-Abbrev}\n' 'orvalo-client*' scratch-base 2>/dev/null || true
}
host_before=$(host_state)
check_host() {
  local status=$?
  diff <(echo "$host_before") <(echo "$(host_state)") >&2 || { echo "FAIL: the check changed the host's packages, alternatives or files" >&2 && status=1; }
  exit "$status"
}
trap check_host EXIT

step "Build version $newer beside the tree's own"
build2=$build/PackagingTest/build-newer
"$cmake" -S "$src" -B "$build2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLX_BUILD_TESTS=OFF -DLX_VERSION_OVERRIDE="$newer" "$@" >"$work/build.log" &&
  nice "$cmake" --build "$build2" -j "${LX_BUILD_JOBS:-$(nproc)}" --target lx_shipped >>"$work/build.log" &&
  "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack" >>"$work/build.log" &&
  "$cpack" -G DEB --config "$build2/CPackConfig.cmake" -B "$work/cpack" >>"$work/build.log" ||
  { cat "$work/build.log" && fail "building the packages"; }
mv "$work"/cpack/*.deb "$repo/"
older=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
new_dir=$(cut -d. -f1-3 <<<"$newer") old_dir=$(cut -d. -f1-3 <<<"$older") single_dir=$(cut -d. -f1-3 <<<"$single")
new_pkg=orvalo-client-$new_dir old_pkg=orvalo-client-$old_dir
ls "$repo"

# The scratch root's base owns the directories update-alternatives will not
# create and apt's configuration directory, and provides the client's system
# libraries at the host's versions.
provides=$(for name in $(dpkg-deb -f "$repo/${new_pkg}_${newer}_amd64.deb" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | sort -u); do
  version=$(dpkg-query -W -f='${db:Status-Status} ${Version}\n' "$name" 2>/dev/null | sed -n 's/^installed //p' | head -n 1) || true
  [[ -z $version ]] || echo "$name (= $version)"
done | paste -sd, | sed 's/,/, /g')
mkdir -p "$work"/base/{DEBIAN,usr/bin,usr/share/man/man1,etc/apt/apt.conf.d}
printf 'Package: scratch-base\nVersion: 1\nArchitecture: all\nMaintainer: T <t@lx.invalid>\nProvides: %s\nDescription: base\n' \
  "$provides" >"$work/base/DEBIAN/control"
# Today's layout: one package owning its version directory and the command.
single_tree=$work/single
mkdir -p "$single_tree"/{DEBIAN,opt/orvalo/"$single_dir",usr/bin,usr/share/applications}
install -m 755 /dev/null "$single_tree/opt/orvalo/$single_dir/launcher"
ln -s "/opt/orvalo/$single_dir/launcher" "$single_tree/usr/bin/orvalo"
cp "$build/packaging/orvalo.desktop" "$single_tree/usr/share/applications/"
printf 'Package: orvalo-client\nVersion: %s\nArchitecture: amd64\nMaintainer: T <t@lx.invalid>\nDescription: single\n' \
  "$single" >"$single_tree/DEBIAN/control"
for tree in "$work/base" "$single_tree"; do dpkg-deb --root-owner-group -b "$tree" "$repo" >/dev/null; done
(cd "$repo" && dpkg-scanpackages --multiversion . >Packages 2>/dev/null)

mkdir -p "$root"/var/lib/dpkg/{info,updates,alternatives} "$root"/etc/alternatives "$root"/var/log/apt \
  "$root"/etc/apt/{preferences.d,sources.list.d} "$root"/var/{lib/apt/lists,cache/apt/archives}/partial
touch "$root/var/lib/dpkg/status"
# As on a real system, base-files made /opt and no package owns it.
mkdir -p "$root/opt"
echo "deb [trusted=yes] file:$repo ./" >"$root/etc/apt/sources.list"
# Plain --root would run the maintainer scripts chrooted into the root.
dpkg_options=(--root="$root" --force-script-chrootless --log="$root/var/log/dpkg.log")
[[ $(id -u) -eq 0 ]] || dpkg_options+=(--force-not-root)
{
  echo "Dir \"$root/\"; Dir::State::status \"$root/var/lib/dpkg/status\"; APT::Sandbox::User \"root\";"
  echo 'APT::Architecture "amd64"; APT::Architectures { "amd64"; }; Acquire::Languages "none"; Dpkg::Use-Pty "false";'
  printf 'DPkg::Options:: "%s";\n' "${dpkg_options[@]}"
} >"$work/apt.conf"
export APT_CONFIG=$work/apt.conf

in_root() { echo "\$ $*" && "$@" || fail "$*"; }
apt_get() { in_root apt-get -q -y "$@"; }
alternatives() { update-alternatives --root "$root" "$@"; }
expect_installed() {
  expect "installed" "$(dpkg-query --root="$root" -W -f='${db:Status-Abbrev}${Package} ${Version}\n' 'orvalo-client*' |
    sed -n 's/^ii //p' | sort)" "$(printf '%s\n' "$@")"
}
# A path as the root's links lead, through absolute targets within the root.
follow() {
  local path=$1 chain=$1
  while [[ -L $root$path ]]; do path=$(readlink "$root$path") && chain+=" -> $path"; done
  echo "$chain"
}
expect_command_of() {
  expect "command" "$(follow /usr/bin/orvalo)" "/usr/bin/orvalo -> /etc/alternatives/orvalo -> /opt/orvalo/$1/launcher"
  expect "manual" "$(follow /usr/share/man/man1/orvalo.1.gz)" \
    "/usr/share/man/man1/orvalo.1.gz -> /etc/alternatives/orvalo.1.gz -> /usr/share/man/man1/orvalo-$1.1.gz"
  [[ -f $root/usr/share/man/man1/orvalo-$1.1.gz ]] || fail "no manual page for $1"
  expect "doctor" "$(follow /usr/bin/orvalo-doctor)" \
    "/usr/bin/orvalo-doctor -> /etc/alternatives/orvalo-doctor -> /opt/orvalo/$1/launcher-doctor"
  expect "doctor's manual" "$(follow /usr/share/man/man1/orvalo-doctor.1.gz)" \
    "/usr/share/man/man1/orvalo-doctor.1.gz -> /etc/alternatives/orvalo-doctor.1.gz -> /usr/share/man/man1/orvalo-doctor-$1.1.gz"
  [[ -f $root/usr/share/man/man1/orvalo-doctor-$1.1.gz ]] || fail "no doctor's manual page for $1"
}
root_files() {
  (cd "$root" && find . \( -path ./var/log -o -path ./var/cache -o -path ./var/lib/apt -o -path './var/lib/dpkg/status*' \
    -o -path './var/lib/dpkg/lock*' -o -path ./var/lib/dpkg/triggers \) -prune -o -printf '%p %y %l\n' | sort)
}
purge_all() {
  apt_get purge 'orvalo-client*'
  [[ -d $root/opt ]] || fail "purging the last version removed the system's /opt"
  expect "files after purge" "$(root_files)" "$base"
}
# Starts /usr/bin/orvalo as the root's links lead; sets status, and library:
# the main-application library whose client ran.
run_orvalo() {
  rm -f "$work/calls.jsonl"
  mkdir -p -m 0700 "$work/home/.config/orvalo/2.0/Logs"
  status=0
  (export HOME="$work/home" LX_APP_RECORD_FILE="$work/calls.jsonl" LX_APP_RESULT=5 && unset LD_LIBRARY_PATH &&
    exec -a /usr/bin/orvalo "$root$(follow /usr/bin/orvalo | sed 's/.* -> //')" --check) || status=$?
  for _ in $(seq 100); do [[ -s $work/calls.jsonl ]] && break || sleep 0.1; done
  library=$(grep -o '"library":"[^"]*"' "$work/calls.jsonl" | cut -d'"' -f4) || true
  echo "\$ /usr/bin/orvalo --check   -> exit status $status, the client of ${library#"$root"}"
}

step "Both versions and the metapackage install together"
in_root dpkg "${dpkg_options[@]}" -i "$repo/scratch-base_1_all.deb" >/dev/null
apt_get update >/dev/null
base=$(root_files)
apt_get install orvalo-client "$old_pkg"
# An upgrade in place (prerm upgrade, postinst configure) keeps the
# alternative, even as the user's manual choice.
alternatives --set orvalo "/opt/orvalo/$new_dir/launcher" >/dev/null
apt_get install --reinstall "$new_pkg" >/dev/null
expect "mode after an upgrade in place" "$(alternatives --query orvalo | sed -n 's/^Status: //p')" manual
alternatives --auto orvalo
expect_installed "orvalo-client $newer" "$old_pkg $older" "$new_pkg $newer"
alternatives --display orvalo
expect_command_of "$new_dir"

step "/usr/bin/orvalo starts the newest version's client"
run_orvalo
expect "exit status" "$status" 5
expect "client" "$library" "$root/opt/orvalo/$new_dir/libLxAppStartProcess.so"

step "Without its main application the newest version falls back to the older one"
mv "$root/opt/orvalo/$new_dir/libLxAppStartProcess.so" "$work/"
run_orvalo
expect "exit status" "$status" 0
expect "client" "$library" "$root/opt/orvalo/$old_dir/libLxAppStartProcess.so"
grep 'Invoke Process' "$work/home/.config/orvalo/2.0/Logs/Launcher.log" || fail "no fallback in the launcher log"
mv "$work/libLxAppStartProcess.so" "$root/opt/orvalo/$new_dir/"

step "Removing the newest version moves /usr/bin/orvalo to the older one"
apt_get remove "$new_pkg"
expect_command_of "$old_dir"
[[ ! -e $root/opt/orvalo/$new_dir ]] || fail "the removed version's directory is left"

step "Purge leaves nothing behind"
purge_all

step "apt upgrade installs the newer version beside the older one; apt autoremove keeps it"
apt_get install "orvalo-client=$older"
in_root apt -q -y upgrade 2>&1
expect "auto-installed" "$(apt-mark showauto)" "$(printf '%s\n' "$old_pkg" "$new_pkg")"
# Without the metapackage's rule apt would remove the older version.
mv "$root/etc/apt/apt.conf.d/50orvalo-client" "$work/"
apt-get -s autoremove | grep -q "^Remv $old_pkg " || fail "the older version is not autoremovable without the rule"
mv "$work/50orvalo-client" "$root/etc/apt/apt.conf.d/"
apt_get autoremove
expect_installed "orvalo-client $newer" "$old_pkg $older" "$new_pkg $newer"
expect_command_of "$new_dir"
purge_all

# Upgrading, or installing a versioned package directly: for the latter,
# Breaks makes apt upgrade the old package first; otherwise that upgrade
# would later delete the alternatives link along with the old plain one.
for migrate in "apt -q -y upgrade" "apt-get -q -y install $new_pkg"; do
  step "$migrate migrates the single-package layout"
  apt_get install "orvalo-client=$single" >/dev/null
  expect "command owner" "$(dpkg-query --root="$root" -S /usr/bin/orvalo)" "orvalo-client: /usr/bin/orvalo"
  in_root $migrate 2>&1
  in_root apt -q -y upgrade >/dev/null 2>&1
  expect_installed "orvalo-client $newer" "$new_pkg $newer"
  expect_command_of "$new_dir"
  [[ ! -e $root/opt/orvalo/$single_dir ]] || fail "the single package's version directory is left"
  purge_all
done

step "Done; the host is checked on exit"
