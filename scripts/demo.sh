#!/usr/bin/env bash
# The main job. Builds, installs the client into a scratch prefix, starts the
# installed launcher on an X display (the user's, or a private Xvfb), and
# shows the whole chain: launcher -> main application -> Sarnel -> statistics
# event, with a screenshot of the client's window. Then shows the fallback to
# an older installed version, and what launcher-doctor says about it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir="$root/build"
echo "Building (first run: installs packages and compiles, a few minutes)..."
"$root/scripts/build.sh" "$build_dir" >/dev/null

demo="$build_dir/demo"
rm -rf "$demo"
prefix="$demo/opt/orvalo"
export HOME="$demo/home"
mkdir -p "$HOME"
cmake --install "$build_dir" --prefix "$prefix" --component Runtime >/dev/null
launcher=$(printf '%s\n' "$prefix"/*.*.*/launcher | sort -V | tail -n 1)
version_dir=$(dirname "$launcher")
log="$HOME/.config/orvalo/2.0/Logs/Launcher.log"
calls="$demo/client-calls.jsonl"
events="$demo/statistics-events.jsonl"
screenshot="$demo/screenshot.png"
unset LD_LIBRARY_PATH

section() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/  /' "$@"; }

# An X display: the user's when it answers, otherwise a private Xvfb.
xvfb_pid=
cleanup() { if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if [[ -z ${DISPLAY:-} ]] || ! xdpyinfo >/dev/null 2>&1; then
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 -u "$fd" display_number
  exec {fd}>&-
  export DISPLAY=":$display_number"
  echo "No X display answered; started Xvfb on $DISPLAY."
fi

section "Installation ($prefix)"
find "$prefix" -mindepth 1 | sed "s|$prefix/|  |" | sort

section "Run: $launcher --demo --demo-seconds=4   (DISPLAY=$DISPLAY)"
LX_APP_RECORD_FILE="$calls" LX_REPORT_SINK_FILE="$events" "$launcher" --demo --demo-seconds=4 &
client_pid=$!
for _ in $(seq 150); do
  grep -q '"demo":"shown"' "$calls" 2>/dev/null && break
  sleep 0.1
done
echo "screenshot: $("$build_dir/Tools/Screenshot/lxscreenshot" "$screenshot" 2>/dev/null || true) -> $screenshot"
set +e
wait "$client_pid"
status=$?
set -e
echo "launcher exit status: $status"
echo "the client recorded:"; indent "$calls"
echo "statistics events:"; indent "$events"
echo "launcher log ($log):"; indent "$log"

section "Fallback: an older version installed beside it, the newer one's main application removed"
older="$prefix/16.22.9000"
cp -a "$version_dir" "$older"
rm "$version_dir/libLxAppStartProcess.so"
: >"$log"
: >"$calls"
set +e
LX_APP_RECORD_FILE="$calls" "$launcher" --demo
status=$?
set -e
echo "launcher exit status: $status"
for _ in $(seq 50); do [[ -s $calls ]] && break; sleep 0.1; done
sleep 0.3
echo "the client recorded (started by the older launcher, without the user's arguments):"; indent "$calls"
echo "launcher log:"; indent "$log"
echo
echo "Invoked: $(grep -o 'Invoke Process: .*' "$log")"

section "Doctor: $version_dir/launcher-doctor (\"orvalo\" on PATH links to $launcher)"
mkdir -p "$demo/bin"
ln -sfn "$launcher" "$demo/bin/orvalo"
set +e
PATH="$demo/bin:$PATH" "$version_dir/launcher-doctor"
status=$?
set -e
echo "doctor exit status: $status (0 runs, 1 needs a fallback, 2 no client)"
