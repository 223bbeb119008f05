# shellcheck shell=bash
# Sourced by fresh-check.sh (and its tests): finding, stopping, unmounting
# and removing what a run left in its root, without ever reaching the host
# outside that root.

# The mount points at or under $1, last mounted first. $2: the mountinfo to
# read (this process's by default). Paths with spaces are never matched: the
# check only makes plain ones.
fresh_mounts_under() {
  awk -v r="$1" '$5 == r || index($5, r "/") == 1 { print $5 }' "${2:-/proc/self/mountinfo}" | tac
}

# The processes whose root directory is $1 or inside it.
fresh_processes_inside() {
  local root=$1 d pid link
  for d in /proc/[0-9]*; do
    pid=${d#/proc/}
    ((pid != $$ && pid != BASHPID)) || continue
    link=$(readlink "$d/root" 2>/dev/null) || continue
    if [[ $link == "$root" || $link == "$root"/* || $d/root -ef $root ]]; then
      echo "$pid"
    fi
  done
}

# Stops every process inside root $1: politely first, then with SIGKILL.
fresh_stop_processes_inside() {
  local root=$1 round
  local -a pids
  for round in 1 2 3 4 5 6; do
    mapfile -t pids < <(fresh_processes_inside "$root")
    ((${#pids[@]})) || return 0
    if ((round <= 3)); then
      echo "stopping processes left in the root: ${pids[*]}"
      kill -TERM "${pids[@]}" 2>/dev/null || true
    else
      kill -KILL "${pids[@]}" 2>/dev/null || true
    fi
    sleep 1
  done
  mapfile -t pids < <(fresh_processes_inside "$root")
  ((${#pids[@]} == 0)) || { echo "processes still in the root: ${pids[*]}" >&2; return 1; }
}

# Unmounts everything at or under $1, innermost first; lazily when busy.
fresh_unmount_all_under() {
  local dir=$1 round m
  local -a mounts
  for round in 1 2 3 4 5; do
    mapfile -t mounts < <(fresh_mounts_under "$dir")
    ((${#mounts[@]})) || return 0
    for m in "${mounts[@]}"; do
      umount "$m" 2>/dev/null || umount --lazy "$m" || true
    done
  done
  [[ -z $(fresh_mounts_under "$dir") ]]
}

# Removes run directory $1, but only one this check made under base $2 and
# only when nothing is mounted below it any more.
fresh_remove_run_dir() {
  local run_dir=$1 base=$2
  if [[ $run_dir != "$base"/lx-fresh-check.* || $run_dir == */../* || ! -d $run_dir || -L $run_dir ]]; then
    echo "not a run directory of this check, left alone: $run_dir" >&2
    return 1
  fi
  if [[ -n $(fresh_mounts_under "$run_dir") ]]; then
    echo "still mounted under $run_dir, left in place:" >&2
    fresh_mounts_under "$run_dir" >&2
    return 1
  fi
  rm -rf --one-file-system -- "$run_dir"
}
