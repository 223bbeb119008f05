#!/usr/bin/env bash
# The main job: builds, installs a sample installation into a scratch prefix,
# starts the installed launcher and shows what happened; then shows the
# fallback to an older installed version.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$root/build"
"$root/scripts/build.sh" "$build_dir" >/dev/null

demo="$build_dir/demo"
rm -rf "$demo"
prefix="$demo/opt/lxclient"
export HOME="$demo/home"
mkdir -p "$HOME"
cmake --install "$build_dir" --prefix "$prefix" --component Runtime >/dev/null

version_dir=$(find "$prefix" -mindepth 1 -maxdepth 1 -type d -name '*.*.*' | sort -V | tail -n 1)
log="$HOME/.config/orvalo/2.0/Logs/Launcher.log"
record="$demo/client-calls.jsonl"

section() { printf '\n== %s\n' "$*"; }

section "Installation"
find "$prefix" -mindepth 1 | sed "s|$prefix/|  |" | sort

section "Run: $version_dir/launcher --account demo"
set +e
LX_APP_RECORD_FILE="$record" LX_APP_RESULT=0 "$version_dir/launcher" --account demo
status=$?
set -e
echo "exit status: $status"
echo "the client was called with:"; sed 's/^/  /' "$record"
echo "launcher log ($log):"; sed 's/^/  /' "$log"

section "Fallback: an older version beside it, the newer one's main application removed"
older="$prefix/16.22.9000"
cp -a "$version_dir" "$older"
rm "$version_dir/libLxAppStartProcess.so"
: > "$log"; : > "$record"
set +e
LX_APP_RECORD_FILE="$record" "$version_dir/launcher" --account demo
status=$?
set -e
echo "exit status: $status"
for _ in $(seq 50); do [[ -s "$record" ]] && break; sleep 0.1; done
sleep 0.2
echo "the client was called with:"; sed 's/^/  /' "$record"
echo "launcher log:"; sed 's/^/  /' "$log"
