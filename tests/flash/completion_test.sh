#!/usr/bin/env bash
# The bash completion of vexilora-flash: registered for the program, completing its commands,
# each command's options and file names where a file is wanted.
#
#   completion_test.sh COMPLETION_FILE
set -u
# shellcheck source=/dev/null
source "$1" || exit 1
failed=0

if ! registered=$(complete -p vexilora-flash 2>&1) || [[ $registered != *"-F _vexilora_flash"* ]]; then
  echo "FAIL: not registered: $registered"
  failed=1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/firmware.bin" "$scratch/firmware-old.bin" "$scratch/pass"

# The words typed so far (the last one is being completed) | what completion offers.
cases=(
  "vexilora-flash ''|--help --version help list update"
  "vexilora-flash u|update"
  "vexilora-flash list --|--help --json --query --version"
  "vexilora-flash list --query --j|--json"
  "vexilora-flash update --p|--password --password-file"
  "vexilora-flash update --wait --co|--count"
  "vexilora-flash update --a|--all --allow-downgrade"
  "vexilora-flash update --image $scratch/firm|$scratch/firmware-old.bin $scratch/firmware.bin"
  "vexilora-flash update --password-file $scratch/pa|$scratch/pass"
  "vexilora-flash update --password ''|"
  "vexilora-flash update --timeout ''|"
  "vexilora-flash update --s|--sha256"
  "vexilora-flash update --sha256 ''|"
)
for c in "${cases[@]}"; do
  typed=${c%%|*}
  expected=${c#*|}
  eval "COMP_WORDS=($typed)"
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _vexilora_flash
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
  got=${got% }
  if [[ $got != "$expected" ]]; then
    echo "FAIL: '$typed': expected '$expected', got '$got'"
    failed=1
  fi
done
((failed)) || echo "completion: ${#cases[@]} cases passed"
exit $failed
