#!/usr/bin/env bash
# The window's self-driving mode (VEXILORA_DEMO=1) against the simulated USB device: it must end
# with 0 exactly when the device took the update and reports the image's version, and with 1,
# saying why, on every way the update cannot happen, never waiting without end.
#
#   self_driving_mode.sh VEXILORA_UPDATE VEXILORA_UPDATE_WITHOUT_IMAGE VEXILORA_USB_SIM
set -uo pipefail

UTILITY=$1
NO_IMAGE_UTILITY=$2
USB_SIM=$3
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexilora-demo-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -m 700 "$WORK/runtime"

failures=0
# name | device options | demo password | expected exit | line the output must hold
# ("no image" runs the utility built without its image)
CASES=(
  "plain||-|0|^demo: done: the device reports software 2.0.0.3452$"
  "bootloader|--bootloader|-|0|^demo: device found: hardware 2.0, software Загрузчик, image 2.0.0.3452$"
  "password typed|--password секрет|секрет|0|^demo: the device asks for its password: typing it$"
  "no password given|--password secret|-|1|^demo: failed: the device asks for a password"
  "wrong password|--password secret|wrong|1|^demo: failed: "
  "older hardware|--hw 1.0|-|1|^demo: gave up: nothing finished within 15 s"
  "no image||-|1|^demo: failed: В исполняемом файле утилиты .* отсутствует программное"
)
for entry in "${CASES[@]}"; do
  IFS='|' read -r name options password expected line <<<"$entry"
  read -r -a device <<<"$options"
  program=$UTILITY
  [[ $name == "no image" ]] && program=$NO_IMAGE_UTILITY
  # The Russian texts the lines below name: the window speaks English under an English locale.
  env=(QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 VEXILORA_DEMO=1 VEXILORA_DEMO_TIMEOUT=15
    XDG_RUNTIME_DIR="$WORK/runtime")
  [[ $password != - ]] && env+=(VEXILORA_DEMO_PASSWORD="$password")
  status=0
  (cd "$WORK" && env -u DISPLAY -u WAYLAND_DISPLAY "${env[@]}" \
    "$USB_SIM" --quiet "${device[@]}" -- "$program") >"$WORK/out.log" 2>&1 </dev/null ||
    status=$?
  ok=1
  [[ $status -eq $expected ]] || ok=0
  grep -Eq "$line" "$WORK/out.log" || ok=0
  if ((expected == 0)); then
    grep -q "^demo: done: the device reports software 2.0.0.3452$" "$WORK/out.log" || ok=0
  fi
  if ((ok)); then
    echo "ok   $name"
  else
    echo "FAIL $name: exit $status (expected $expected), wanted a line /$line/:"
    sed 's/^/  | /' "$WORK/out.log"
    failures=$((failures + 1))
  fi
done
((failures == 0))
