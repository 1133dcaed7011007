#!/usr/bin/env bash
# The station's systemd unit: systemd's own check passes (with the program as built in place of
# the installed one), it runs the station mode with its record in its state folder, and it
# starts only when an operator enables it.
#
#   check_systemd_unit.sh UNIT_FILE VEXILORA_FLASH
set -euo pipefail
unit=$1
program=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

sed "s|/usr/bin/vexilora-flash|$program|" "$unit" >"$scratch/$(basename "$unit")"
out=$(systemd-analyze verify --man=no "$scratch/$(basename "$unit")" 2>&1) || fail "systemd-analyze verify: $out"
[[ -z $out ]] || fail "systemd-analyze verify says: $out"

exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start == "/usr/bin/vexilora-flash update --wait --log %S/vexilora-flash/station.csv \$VEXILORA_FLASH_OPTIONS" ]] ||
  fail "ExecStart=$exec_start"
grep -qx 'StateDirectory=vexilora-flash' "$unit" || fail "no StateDirectory"
grep -qx 'SupplementaryGroups=dialout' "$unit" || fail "cannot open the devices"
# Enabled only by the operator: the unit says where it goes when enabled, and the package
# carries no enabling link of its own (its file list has none).
grep -qx 'WantedBy=multi-user.target' "$unit" || fail "no [Install] target"
# The documented drop-in is the one the README gives.
grep -q '^#   Environment="VEXILORA_FLASH_OPTIONS=--password-file %d/password --image ' "$unit" ||
  fail "the drop-in is not documented"
echo "unit: checked"
