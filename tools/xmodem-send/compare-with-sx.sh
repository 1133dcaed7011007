#!/usr/bin/env bash
# Times one transfer of a 4 MiB file over a pty with xmodem-send and with lrzsz's own
# `sx -k`, each to the same receiver set-up (rx behind socat with pipes), checks that both
# arrived byte-exact, and prints the two times and their ratio.
#
#   tools/xmodem-send/compare-with-sx.sh [build-folder]     (default: build)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${1:-$ROOT/build}
SENDER=$BUILD/tools/xmodem-send
[[ -x $SENDER ]] || { echo "no $SENDER: build first" >&2; exit 2; }

WORK=$(mktemp -d)
SOCAT_PID=
cleanup() {
  [[ -n $SOCAT_PID ]] && kill "$SOCAT_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

head -c $((4 * 1024 * 1024)) /dev/urandom >"$WORK/source.bin"

# Starts rx behind socat in a fresh folder; rx begins a moment after the sender opens the
# pty, so its first 'C' is not discarded by a sender that clears its input on start.
start_receiver() {
  local dir=$1
  mkdir -p "$dir"
  (cd "$dir" && exec socat PTY,link="$dir/ttyV0",raw,echo=0,wait-slave,pty-interval=0.02 \
    "SYSTEM:sleep 0.5; exec rx -c -b out.bin,pipes" 2>"$dir/receiver.log") &
  SOCAT_PID=$!
  for _ in $(seq 200); do [[ -e $dir/ttyV0 ]] && return 0; sleep 0.05; done
  echo "socat made no pty link:" >&2
  cat "$dir/receiver.log" >&2
  exit 1
}

finish_receiver() {
  local dir=$1
  wait "$SOCAT_PID" || { echo "receiver failed:" >&2; cat "$dir/receiver.log" >&2; exit 1; }
  SOCAT_PID=
  cmp -s "$dir/out.bin" "$WORK/source.bin" || { echo "$dir: received file differs" >&2; exit 1; }
}

now() { date +%s.%N; }

start_receiver "$WORK/ours"
t0=$(now)
"$SENDER" "$WORK/ours/ttyV0" "$WORK/source.bin" 2>"$WORK/ours/sender.log"
t1=$(now)
finish_receiver "$WORK/ours"

start_receiver "$WORK/sx"
t2=$(now)
sx -k "$WORK/source.bin" <"$WORK/sx/ttyV0" >"$WORK/sx/ttyV0" 2>"$WORK/sx/sender.log"
t3=$(now)
finish_receiver "$WORK/sx"

awk -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" 'BEGIN { a = t1 - t0; b = t3 - t2
  printf "xmodem-send: %.2f s\nsx -k:       %.2f s\nratio xmodem-send / sx: %.2f\n", a, b, a / b }'
