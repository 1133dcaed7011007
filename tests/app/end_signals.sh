#!/usr/bin/env bash
# SIGTERM, SIGINT and SIGHUP to the utility, as built, in the middle of an update of the
# simulated USB device (its line held to the real rate, so that the transfer takes seconds):
# the utility exits 0, the update does not go on, and no temporary image is left; outside an
# update it just ends with 0. (That the device receives the cancel sequence is checked by the
# window's tests on a plain pty: under umockdev a tty cannot tell how much output it still
# holds, so what the simulator had not read yet is dropped at the close.)
#
#   end_signals.sh VEXILORA_UPDATE VEXILORA_USB_SIM
set -uo pipefail

USB_SIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexilora-signals-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# A copy of its own: the temporary image goes beside it, where no other test's goes.
mkdir "$WORK/bin"
cp "$1" "$WORK/bin/vexilora-update"
UTILITY=$WORK/bin/vexilora-update

failures=0
fail() {
  echo "FAIL $1"
  sed 's/^/  | /' "$WORK/out.log"
  failures=$((failures + 1))
}

# Waits up to $2 seconds for a line matching $1 in the output.
wait_for() {
  local deadline=$((SECONDS + $2))
  while ((SECONDS < deadline)); do
    grep -Eq "$1" "$WORK/out.log" && return 0
    sleep 0.05
  done
  return 1
}

for when in transfer idle; do
  for sig in TERM INT HUP; do
    name="$sig during the $when"
    rm -rf "$WORK/runtime" "$WORK/out.log"
    mkdir -m 700 "$WORK/runtime"
    env=(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$WORK/runtime" XDG_STATE_HOME="$WORK/state")
    # The idle case: the device is locked and no password is given, so the window waits.
    [[ $when == transfer ]] && env+=(VEXILORA_DEMO=1 VEXILORA_DEMO_TIMEOUT=60)
    device=(--pace)
    (cd "$WORK" && exec env -u DISPLAY -u WAYLAND_DISPLAY "${env[@]}" \
      "$USB_SIM" --quiet "${device[@]}" -- "$UTILITY") >"$WORK/out.log" 2>&1 </dev/null &
    sim=$!
    if [[ $when == transfer ]]; then
      ready='^demo: transfer: '
    else
      ready=''
    fi
    # The utility: the launcher's child (the launcher forwards every signal as SIGTERM, so the
    # signal goes to the utility itself).
    utility=
    deadline=$((SECONDS + 30))
    while ((SECONDS < deadline)) && [[ -z $utility ]]; do
      utility=$(pgrep -P "$sim" | head -n1)
      sleep 0.05
    done
    if [[ -z $utility ]]; then
      fail "$name: the utility did not start"
      kill "$sim" 2>/dev/null
      wait "$sim" 2>/dev/null
      continue
    fi
    if [[ -n $ready ]] && ! wait_for "$ready" 60; then
      fail "$name: no transfer began"
      kill "$sim" 2>/dev/null
      wait "$sim" 2>/dev/null
      continue
    fi
    [[ $when == idle ]] && sleep 1
    kill -s "$sig" "$utility"
    status=0
    wait "$sim" || status=$?
    ok=1
    why=()
    [[ $status -eq 0 ]] || { ok=0; why+=("exit $status"); }
    # The single-window lock file stays by design (removing it would let two starts lock two
    # different files); anything else left there is the run's.
    left=$(find "$WORK/runtime" -mindepth 1 ! -path "$WORK/runtime/vexilora-update.lock")
    if [[ -n $left ]]; then
      ok=0
      why+=("left in the runtime folder: $left")
    fi
    [[ -e $WORK/bin/WBlock ]] && { ok=0; why+=("WBlock left beside the program"); }
    if [[ $when == transfer ]]; then
      grep -q '^demo: done' "$WORK/out.log" && { ok=0; why+=("the update finished anyway"); }
    fi
    if ((ok)); then
      echo "ok   $name"
    else
      fail "$name: ${why[*]}"
    fi
  done
done
((failures == 0))
