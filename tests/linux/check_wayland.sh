#!/usr/bin/env bash
# The window on a Wayland compositor (weston's headless back-end, no screen needed), through
# Qt's Wayland platform plugin: the self-driving mode updates the simulated USB device, and a
# second start hands over to the running window and exits 0. QT_QPA_PLATFORM=wayland makes a
# window that cannot reach the compositor fail instead of falling back to another platform.
#
#   check_wayland.sh VEXILORA_UPDATE VEXILORA_USB_SIM
set -euo pipefail

UTILITY=$1
USB_SIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexilora-wayland-XXXXXX")
RUNTIME="$WORK/runtime"
mkdir -m 700 "$RUNTIME"
weston_pid=
window_pid=
cleanup() {
  [[ -n $window_pid ]] && kill "$window_pid" 2>/dev/null || true
  [[ -n $weston_pid ]] && kill "$weston_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

XDG_RUNTIME_DIR="$RUNTIME" weston --backend=headless-backend.so --socket=wayland-vexilora \
  --idle-time=0 --no-config >"$WORK/weston.log" 2>&1 &
weston_pid=$!
if ! wait_for 60 test -S "$RUNTIME/wayland-vexilora"; then
  sed 's/^/  | /' "$WORK/weston.log" >&2
  echo "FAIL: weston's headless compositor did not start" >&2
  exit 1
fi
echo "weston is up ($(weston --version 2>&1 | head -n1))"

on_wayland=(env -u DISPLAY -u QT_SCALE_FACTOR XDG_RUNTIME_DIR="$RUNTIME"
  WAYLAND_DISPLAY=wayland-vexilora QT_QPA_PLATFORM=wayland LC_ALL=C.UTF-8)

# ---- an update through the window on Wayland ---------------------------------------------------
status=0
(cd "$WORK" && "${on_wayland[@]}" VEXILORA_DEMO=1 VEXILORA_DEMO_TIMEOUT=120 \
  "$USB_SIM" --quiet -- "$UTILITY") >"$WORK/update.log" 2>&1 </dev/null || status=$?
sed 's/^/  | /' "$WORK/update.log"
[[ $status -eq 0 ]] || fail "the self-driving update on Wayland exited $status"
grep -q "^demo: done: the device reports software " "$WORK/update.log" ||
  fail "the update on Wayland did not end with the device's new version"

# ---- a second start on Wayland ------------------------------------------------------------------
(cd "$WORK" && exec "${on_wayland[@]}" "$UTILITY") >"$WORK/first.log" 2>&1 </dev/null &
window_pid=$!
if ! wait_for 60 test -S "$RUNTIME/vexilora-update.socket"; then
  fail "the first window never listened for a second start"
  sed 's/^/  | /' "$WORK/first.log" >&2
fi
status=0
(cd "$WORK" && "${on_wayland[@]}" XDG_ACTIVATION_TOKEN=token "$UTILITY") >"$WORK/second.log" 2>&1 \
  </dev/null || status=$?
sed 's/^/  | /' "$WORK/second.log"
[[ $status -eq 0 ]] || fail "the second start on Wayland exited $status"
grep -q "already running" "$WORK/second.log" || fail "the second start did not hand over"
kill -0 "$window_pid" 2>/dev/null || fail "the first window did not survive the second start"

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "Wayland checks passed"
