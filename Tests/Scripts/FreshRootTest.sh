#!/usr/bin/env bash
# Cases for the fresh-check's cleanup helpers (scripts/fresh-root.sh).
#   FreshRootTest.sh HELPERS CASE
# Exit 77 marks a case skipped: the ones that mount need root.
set -uo pipefail
source "${1:?helpers}"
case_name=${2:?case}

fail() { echo "FAIL: $*" >&2; exit 1; }
need_root() { [[ $(id -u) -eq 0 ]] || { echo "needs root to mount"; exit 77; }; }

scratch=$(mktemp -d)
base="$scratch/base"
run_dir="$base/lx-fresh-check.test"
root="$run_dir/root"
mkdir -p "$root"
host_pid=
# Whatever a case leaves, undone here without the helpers under test.
finish() {
  [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null
  awk -v r="$scratch" 'index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | tac |
    while read -r m; do umount --lazy "$m"; done
  rm -rf --one-file-system "$scratch"
}
trap finish EXIT

case $case_name in
MountsUnderMatchesOnlyTheRootAndBelow)
  cat >"$scratch/mountinfo" <<'EOF'
22 1 254:0 / / rw - ext4 /dev/vda rw
90 22 254:0 /var/tmp/r/root /var/tmp/r/root rw - ext4 /dev/vda rw
91 90 0:5 / /var/tmp/r/root/proc rw - proc proc rw
92 22 0:6 / /var/tmp/r/root2 rw - tmpfs none rw
93 22 0:7 / /var/tmp/r/rootfs/dev rw - tmpfs none rw
94 91 0:8 / /var/tmp/r/root/proc/sys/fs/binfmt_misc rw - binfmt_misc none rw
EOF
  got=$(fresh_mounts_under /var/tmp/r/root "$scratch/mountinfo" | paste -sd ' ')
  [[ $got == "/var/tmp/r/root/proc/sys/fs/binfmt_misc /var/tmp/r/root/proc /var/tmp/r/root" ]] ||
    fail "got: $got"
  ;;

UnmountsNestedMountsAndRemovesTheRunDirectory)
  need_root
  mount --bind "$root" "$root" && mount --make-private "$root" || fail "cannot bind the root"
  mkdir -p "$root/a" && mount -t tmpfs none "$root/a" && mkdir "$root/a/b" &&
    mount -t tmpfs none "$root/a/b" || fail "cannot mount below the root"
  sleep 300 </dev/null >"$root/a/b/busy" 2>&1 & # keeps the innermost mount busy
  host_pid=$!
  fresh_unmount_all_under "$run_dir" || fail "mounts left: $(fresh_mounts_under "$run_dir")"
  fresh_remove_run_dir "$run_dir" "$base" || fail "not removed"
  [[ ! -e $run_dir ]] || fail "$run_dir still exists"
  ;;

RemovalLeavesARunDirectoryWithAMountBelowIt)
  need_root
  mkdir -p "$scratch/host" "$root/host" && echo keep >"$scratch/host/sentinel"
  mount --bind "$scratch/host" "$root/host" || fail "cannot bind"
  fresh_remove_run_dir "$run_dir" "$base" 2>/dev/null && fail "removal went ahead"
  [[ -f $scratch/host/sentinel && -d $root ]] || fail "removed through the mount"
  ;;

RemovalLeavesDirectoriesItDidNotMake)
  mkdir -p "$scratch/other"
  fresh_remove_run_dir "$scratch/other" "$base" 2>/dev/null && fail "removed $scratch/other"
  fresh_remove_run_dir "$base/lx-fresh-check.test/../../other" "$base" 2>/dev/null && fail "followed .."
  ln -s "$scratch/other" "$base/lx-fresh-check.link"
  fresh_remove_run_dir "$base/lx-fresh-check.link" "$base" 2>/dev/null && fail "followed a link"
  [[ -d $scratch/other ]] || fail "$scratch/other is gone"
  ;;

StopsOnlyProcessesInsideTheRoot)
  need_root
  # A root that can run the host's programs: /usr bound in, merged-usr links.
  mkdir -p "$root/usr" && mount --bind -o ro /usr "$root/usr" || fail "cannot bind /usr"
  for d in bin sbin lib lib64; do [[ -e /$d ]] && ln -s "usr/$d" "$root/$d"; done
  sleep 300 &
  host_pid=$!
  chroot "$root" /usr/bin/sleep 300 &
  inside_pid=$!
  sleep 0.5
  [[ $(fresh_processes_inside "$root") == "$inside_pid" ]] || fail "found: $(fresh_processes_inside "$root")"
  fresh_stop_processes_inside "$root" >/dev/null || fail "could not stop $inside_pid"
  wait "$inside_pid" 2>/dev/null
  kill -0 "$inside_pid" 2>/dev/null && fail "$inside_pid still runs"
  kill -0 "$host_pid" 2>/dev/null || fail "stopped a host process"
  ;;

*) fail "no case $case_name" ;;
esac
echo "ok: $case_name"
