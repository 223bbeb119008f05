#!/usr/bin/env bash
# Runs the README's quick start the way a new user would: bootstraps a
# brand-new minimal Debian 12 root with mmdebstrap, clones this repository's
# HEAD commit into it (so only committed files count) and runs
# scripts/demo.sh, then scripts/test.sh, inside it as root with a clean
# environment. Fails when either fails. Whatever happens, it stops what it
# started inside the root, unmounts what it mounted and removes the root.
#
# Needs root (it bootstraps, mounts and chroots). Settings, all optional:
#   LX_FRESH_SUITE  Debian release to bootstrap               (bookworm)
#   LX_FRESH_BASE   where the per-run root is made             (/var/tmp)
#   LX_FRESH_CACHE  apt's .deb files, kept between runs        (/var/cache/lx-fresh-check/apt)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=fresh-root.sh
source "$(dirname "${BASH_SOURCE[0]}")/fresh-root.sh"

suite=${LX_FRESH_SUITE:-bookworm}
base=${LX_FRESH_BASE:-/var/tmp}
cache=${LX_FRESH_CACHE:-/var/cache/lx-fresh-check/apt}
min_free_gib=4 # a full run leaves about 2 GiB in the root
project=/root/lx-client # where the clone lives inside the root

die() { echo "fresh-check: $*" >&2; exit 1; }

# ---- steps, timed --------------------------------------------------------

step_names=() step_secs=() step_results=()
step_pid=
current_step='' step_start=''

# Runs one step in the background and waits for it, so a signal reaches the
# trap at once instead of after the step ends.
step() {
  local name=$1 start status
  shift
  current_step=$name step_start=$(date +%s)
  printf '\n==== %s\n' "$name"
  start=$step_start
  set +e
  "$@" &
  step_pid=$!
  wait "$step_pid"
  status=$?
  set -e
  step_pid=
  current_step=
  step_names+=("$name") step_secs+=($(($(date +%s) - start)))
  if ((status == 0)); then step_results+=(ok); else step_results+=("failed ($status)"); fi
  printf '==== %s: %s in %ss\n' "$name" "${step_results[-1]}" "${step_secs[-1]}"
  return "$status"
}

# ---- the steps -----------------------------------------------------------

install_mmdebstrap() {
  command -v mmdebstrap >/dev/null && return 0
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends mmdebstrap
}

# Only Debian's archive may be reachable: the root gets the host's apt sources.
host_sources() {
  local f
  if [[ -f /etc/apt/sources.list ]] && grep -q '^[[:space:]]*deb' /etc/apt/sources.list; then
    echo /etc/apt/sources.list
  fi
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] && echo "$f"
  done
  return 0
}

bootstrap() {
  local -a sources
  mapfile -t sources < <(host_sources)
  ((${#sources[@]})) || die "no apt sources on this host"
  mkdir -p "$cache"
  # The cached .deb files are linked (or copied) in before apt downloads, and
  # kept in the root afterwards so the project's own apt-get finds them too.
  # The hook's shell expands these, not this one.
  # shellcheck disable=SC2016
  local seed='set -e; a="$1/var/cache/apt/archives"; mkdir -p "$a/partial";'
  seed+=" for f in $cache/*.deb; do [ -f \"\$f\" ] || continue;"
  # shellcheck disable=SC2016
  seed+=' ln "$f" "$a/" 2>/dev/null || cp "$f" "$a/"; done'
  mmdebstrap --mode=root --variant=minbase --skip=essential/unlink,cleanup/apt/cache \
    --setup-hook="$seed" "$suite" "$root" "${sources[@]}"
}

clone() {
  git clone --quiet --no-checkout --no-hardlinks "$repo" "$root$project"
  git -C "$root$project" checkout --quiet --detach "$commit"
  git -C "$root$project" log -1 --format='%h %s'
}

mount_into_root() {
  # A chroot whose / is a mount point, as on a real system: `unshare --mount`
  # needs that to make its mounts private.
  mount --bind "$root" "$root"
  mount --make-private "$root"
  local m
  for m in /proc /sys /dev /dev/pts /dev/shm; do
    mkdir -p "$root$m"
    mount --bind "$m" "$root$m"
  done
  findmnt --list --output TARGET,FSTYPE | awk -v r="$root" '$1 == r || index($1, r "/") == 1'
}

# A root login's environment and nothing else.
in_root() {
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM="${TERM:-dumb}" \
    chroot "$root" /bin/bash -l -c "cd $project && $1"
}

# ---- cleanup -------------------------------------------------------------

# Keeps the .deb files this run downloaded for the next run; hard links when
# the cache is on the same file system.
save_debs() {
  local f name
  mkdir -p "$cache"
  for f in "$root"/var/cache/apt/archives/*.deb; do
    [[ -f $f ]] || continue
    name=${f##*/}
    [[ -e $cache/$name ]] && continue
    ln "$f" "$cache/$name" 2>/dev/null ||
      { cp "$f" "$cache/.$name.part" && mv "$cache/.$name.part" "$cache/$name"; } || true
  done
}

# After a good run, drops the cached files it did not use (older versions).
prune_debs() {
  local f
  for f in "$cache"/*.deb; do
    [[ -f $f && ! -e $root/var/cache/apt/archives/${f##*/} ]] && rm -f -- "$f"
  done
  return 0
}

# Cleanup's progress, with the seconds since the last mark.
mark() {
  local now
  now=$(date +%s)
  echo "$1 ($((now - mark_at))s)"
  mark_at=$now
}

passed=false
cleanup() {
  local status=$? start mark_at disk=unknown debs=0 i
  trap - EXIT INT TERM
  set +e
  start=$(date +%s) mark_at=$(date +%s)
  if [[ -n $current_step ]]; then
    step_names+=("$current_step") step_secs+=($((start - step_start))) step_results+=(interrupted)
  fi
  printf '\n==== cleanup\n'
  [[ -n $step_pid ]] && kill -TERM "$step_pid" 2>/dev/null
  fresh_stop_processes_inside "$root" || status=1
  mark "no process left inside"
  if [[ -n $step_pid ]]; then
    # mmdebstrap runs outside the root: give it time to undo its own mounts.
    for _ in $(seq 30); do kill -0 "$step_pid" 2>/dev/null || break; sleep 1; done
    kill -KILL "$step_pid" 2>/dev/null
    wait "$step_pid" 2>/dev/null
    mark "interrupted step ended"
  fi
  fresh_unmount_all_under "$run_dir" || status=1
  mark "unmounted"
  if [[ -d $root ]]; then
    disk=$(du -sxh "$root" 2>/dev/null | cut -f1)
    debs=$(du -sch "$root"/var/cache/apt/archives/*.deb 2>/dev/null | tail -n 1 | cut -f1)
    save_debs
    $passed && prune_debs
    mark "measured ($disk) and kept the .deb files"
  fi
  fresh_remove_run_dir "$run_dir" "$base" || status=1
  mark "removed $run_dir"
  step_names+=(cleanup) step_secs+=($(($(date +%s) - start))) step_results+=("done")

  printf '\n==== fresh-check of %s (%s, %s)\n' "$commit" "$suite" "$run_dir"
  for i in "${!step_names[@]}"; do
    printf '  %-22s %6ss  %s\n' "${step_names[$i]}" "${step_secs[$i]}" "${step_results[$i]}"
  done
  printf '  disk used by the root: %s (apt .deb files in it: %s)\n' "$disk" "${debs:-0}"
  if $passed && ((status == 0)); then
    echo "fresh-check: PASSED (scripts/demo.sh and scripts/test.sh in a fresh $suite root)"
  else
    echo "fresh-check: FAILED" >&2
    ((status != 0)) || status=1
  fi
  exit "$status"
}

main() {
  [[ $(id -u) -eq 0 ]] || die "needs root: it bootstraps a Debian root, mounts into it and chroots"
  # The paths end up in mountinfo matching and in a hook's shell text: keep them plain.
  local p
  for p in "$base" "$cache"; do
    [[ $p == /* && $p =~ ^[A-Za-z0-9/._-]+$ ]] || die "use a plain absolute path, not '$p'"
  done

  repo=$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)
  commit=$(git -C "$repo" rev-parse HEAD)
  if [[ -n $(git -C "$repo" status --porcelain --untracked-files=no) ]]; then
    echo "fresh-check: note: uncommitted changes are not checked, only commit $commit"
  fi

  mkdir -p "$base"
  local free_kib
  free_kib=$(df --output=avail -k "$base" | tail -n 1)
  ((free_kib >= min_free_gib * 1024 * 1024)) ||
    die "$base has $((free_kib / 1024 / 1024)) GiB free, needs $min_free_gib; set LX_FRESH_BASE"

  run_dir=$(mktemp -d "$base/lx-fresh-check.XXXXXXXX")
  chmod 0755 "$run_dir" # apt's download sandbox user must reach the root
  root="$run_dir/root"
  trap cleanup EXIT
  trap 'echo "fresh-check: interrupted" >&2; exit 130' INT
  trap 'echo "fresh-check: terminated" >&2; exit 143' TERM

  step "install mmdebstrap" install_mmdebstrap
  step "bootstrap $suite" bootstrap
  step "clone $(git -C "$repo" rev-parse --short HEAD)" clone
  step "mount" mount_into_root
  step "scripts/demo.sh" in_root scripts/demo.sh
  step "scripts/test.sh" in_root scripts/test.sh
  passed=true
}

main "$@"
