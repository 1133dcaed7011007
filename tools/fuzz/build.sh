#!/usr/bin/env bash
# Builds the packet-matching fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer. Not part of the normal build or of scripts/test.
#
#   tools/fuzz/build.sh [output folder]          (default: build-fuzz)
#   build-fuzz/packet_fuzz -max_total_time=600 build-fuzz/corpus
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(realpath -m "${1:-$root/build-fuzz}")
export CXX=${CXX:-clang++}
jobs=${JOBS:-2}
mkdir -p "$out/obj" "$out/corpus"

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra
       -fsanitize=address,undefined -fno-sanitize-recover=all -I "$root")
export FLAGS="${flags[*]}"

# The libraries the target needs, compiled without the fuzzer's own main. A library object
# is rebuilt when its source or any library header is newer.
newest_header=$(find "$root/platform" "$root/comm" "$root/packet" -name '*.h' -printf '%T@\n' |
                sort -n | tail -1)
objects=()
stale=()
for src in "$root"/platform/*.cpp "$root"/comm/*.cpp "$root"/packet/*.cpp; do
  rel=${src#"$root"/}
  obj="$out/obj/${rel//\//_}.o"
  objects+=("$obj")
  if [[ ! -f "$obj" || "$src" -nt "$obj" ]] ||
     (( $(echo "$newest_header > $(stat -c %Y "$obj")" | bc) )); then
    stale+=("$src=$obj")
  fi
done
if (( ${#stale[@]} > 0 )); then
  printf '%s\n' "${stale[@]}" |
    xargs -P "$jobs" -I{} sh -c 'pair="{}"; $CXX $FLAGS -fsanitize=fuzzer-no-link -c "${pair%%=*}" -o "${pair#*=}"'
fi

"$CXX" "${flags[@]}" -fsanitize=fuzzer "$root/tools/fuzz/packet_fuzz.cpp" "${objects[@]}" \
  -pthread -o "$out/packet_fuzz"
echo "built $out/packet_fuzz"
