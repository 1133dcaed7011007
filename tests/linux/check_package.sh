#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it as a user's system would take it:
# its file list and modes, its control fields (with the library dependencies computed),
# Debian's package checker lintian (no error, no warning), the desktop entry, metainfo,
# manual pages, copyright file and changelog it installs, the hardening of its programs, and
# the installed utility itself: unpacked into a scratch root whose bin folder is read-only,
# started offscreen in its self-driving mode (in English) against the simulated USB device, it
# must find its embedded image and complete an update, leaving nothing in its own folder.
#
#   check_package.sh BUILD_DIR SOURCE_DIR VERSION VEXILORA_USB_SIM
set -euo pipefail

BUILD=$1
SOURCE=$2
VERSION=$3
USB_SIM=$4

WORK=$(mktemp -d "${TMPDIR:-/tmp}/vexilora-package-XXXXXX")
ROOTFS="$WORK/root"
cleanup() {
  chmod -R u+w "$WORK" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# ---- the package -----------------------------------------------------------------------------
if ! cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  echo "FAIL: cpack did not build the package" >&2
  exit 1
fi
shopt -s nullglob
debs=("$WORK"/out/*.deb)
if ((${#debs[@]} != 1)); then
  echo "FAIL: expected one .deb, got: ${debs[*]:-none}" >&2
  exit 1
fi
DEB=${debs[0]}
ARCH=$(dpkg --print-architecture)
[[ $(basename "$DEB") == "vexilora-update_${VERSION}_${ARCH}.deb" ]] ||
  fail "package file name $(basename "$DEB")"
echo "package: $(basename "$DEB"), $(stat -c %s "$DEB") bytes"

# ---- file list: exactly the programs and the desktop files, with their modes -----------------
# dpkg-deb -c: mode owner size date time path; directories end in '/'.
actual=$(dpkg-deb -c "$DEB" | awk '$6 !~ /\/$/ { print $1, $2, $6 }' | sort)
expected=$(sort <<'LIST'
-rwxr-xr-x root/root ./usr/bin/vexilora-flash
-rwxr-xr-x root/root ./usr/bin/vexilora-update
-rw-r--r-- root/root ./usr/lib/systemd/system/vexilora-flash-station.service
-rw-r--r-- root/root ./usr/lib/udev/rules.d/70-vexilora.rules
-rw-r--r-- root/root ./usr/share/bash-completion/completions/vexilora-flash
-rw-r--r-- root/root ./usr/share/applications/vexilora-update.desktop
-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/vexilora-update.svg
-rw-r--r-- root/root ./usr/share/metainfo/org.vexilora.Update.metainfo.xml
-rw-r--r-- root/root ./usr/share/doc/vexilora-update/copyright
-rw-r--r-- root/root ./usr/share/doc/vexilora-update/changelog.gz
-rw-r--r-- root/root ./usr/share/man/man1/vexilora-update.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vexilora-flash.1.gz
LIST
)
if [[ "$actual" != "$expected" ]]; then
  fail "file list differs (expected, then actual):"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

# ---- control fields ----------------------------------------------------------------------------
field() { dpkg-deb -f "$DEB" "$1"; }
[[ $(field Package) == vexilora-update ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$VERSION" ]] || fail "Version: $(field Version)"
[[ $(field Architecture) == "$ARCH" ]] || fail "Architecture: $(field Architecture)"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
description=$(field Description)
[[ -n $description ]] || fail "no Description"
# A list that slipped into the description shows as ';' at the start of its lines.
if grep -q '^ *;' <<<"$description"; then fail "Description has stray ';' lines"; fi
[[ $(field Section) == utils ]] || fail "Section: $(field Section)"
[[ $(field Maintainer) != *@localhost* ]] || fail "Maintainer at localhost: $(field Maintainer)"
# What dpkg-shlibdeps cannot see: Qt's Wayland platform plugin, loaded at run time.
[[ ", $(field Recommends)" == *", qt6-wayland"* ]] || fail "Recommends: $(field Recommends)"
depends=$(field Depends)
echo "Depends: $depends"
# Computed by dpkg-shlibdeps from the programs: every library they link, with a version.
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 libudev1 libelf1; do
  [[ ", $depends" == *", $lib (>= "* ]] || fail "Depends lacks a versioned $lib"
done
# Nothing of the tests or the simulator.
for lib in libumockdev libgtest libglib; do
  if grep -q "$lib" <<<"$depends"; then fail "Depends names $lib"; fi
done

# ---- Debian's package checker ------------------------------------------------------------------
# Errors and warnings fail; informational tags do not. (Run as root here, which it only warns
# about.)
lintian_out=$(lintian --allow-root --tag-display-limit 0 "$DEB" 2>&1) || true
echo "lintian: ${lintian_out:-no tags}"
if grep -Eq '^[EW]: ' <<<"$lintian_out"; then fail "lintian reports errors or warnings"; fi

# ---- the installed files -----------------------------------------------------------------------
dpkg -x "$DEB" "$ROOTFS"
for f in 70-vexilora.rules:usr/lib/udev/rules.d vexilora-update.desktop:usr/share/applications \
  vexilora-update.svg:usr/share/icons/hicolor/scalable/apps \
  org.vexilora.Update.metainfo.xml:usr/share/metainfo; do
  name=${f%%:*}
  dir=${f#*:}
  cmp -s "$SOURCE/resources/linux/$name" "$ROOTFS/$dir/$name" ||
    fail "$dir/$name is not the project's file"
done
if ! out=$(desktop-file-validate "$ROOTFS/usr/share/applications/vexilora-update.desktop" 2>&1); then
  fail "desktop-file-validate: $out"
fi
if ! out=$(appstreamcli validate --no-net \
  "$ROOTFS/usr/share/metainfo/org.vexilora.Update.metainfo.xml" 2>&1); then
  fail "appstreamcli validate: $out"
fi

# The copyright file is machine-readable; the changelog is the release being packaged.
DOC="$ROOTFS/usr/share/doc/vexilora-update"
head -n1 "$DOC/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
  fail "copyright: not in the machine-readable format"
zcat "$DOC/changelog.gz" >"$WORK/changelog"
changelog_version=$(dpkg-parsechangelog -l "$WORK/changelog" -S Version 2>&1) ||
  fail "changelog does not parse: $changelog_version"
[[ $changelog_version == "$VERSION" ]] || fail "changelog's version $changelog_version"

# The manual pages read without a complaint from man, and say what the programs are and what
# they take (an option of each).
for entry in vexilora-update:--version vexilora-flash:--password-file; do
  program=${entry%%:*}
  option=${entry#*:}
  page="$ROOTFS/usr/share/man/man1/$program.1.gz"
  # In plain ASCII, so that a hyphen reads as one.
  if ! text=$(MANWIDTH=80 LC_ALL=C man --warnings -E ascii -l "$page" 2>"$WORK/man.err"); then
    fail "man -l $program.1.gz failed: $(cat "$WORK/man.err")"
    continue
  fi
  [[ -s "$WORK/man.err" ]] && fail "man warns about $program.1.gz: $(cat "$WORK/man.err")"
  for heading in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
    grep -q "^$heading" <<<"$text" || fail "$program.1: no $heading section"
  done
  grep -Eq "^ *$program +- " <<<"$text" || fail "$program.1: the NAME line does not name $program"
  grep -q -- "$option" <<<"$text" || fail "$program.1: $option is not described"
done

# ---- the programs are hardened as Debian's are ----------------------------------------------------
for program in vexilora-update vexilora-flash; do
  exe="$ROOTFS/usr/bin/$program"
  readelf -hW "$exe" | grep -q 'Type: *DYN' || fail "$program is not position-independent"
  readelf -dW "$exe" | grep -Eq 'FLAGS_1.*PIE' || fail "$program is not marked PIE"
  readelf -lW "$exe" | grep -q 'GNU_RELRO' || fail "$program has no read-only relocations"
  readelf -dW "$exe" | grep -Eq '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' ||
    fail "$program does not bind at start-up (-z now)"
  symbols=$(readelf --dyn-syms -W "$exe")
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
  grep -Eq '__[a-z]+_chk@' <<<"$symbols" || fail "$program calls no fortified function"
done

# --version reads the installed program's own version record and embedded image.
version_out=$("$ROOTFS/usr/bin/vexilora-update" --version 2>&1) || fail "--version failed: $version_out"
[[ $version_out == "vexilora-update $VERSION"$'\n'"firmware image "* ]] ||
  fail "--version printed: $version_out"

# ---- the installed utility updates a device from a read-only folder ------------------------------
BIN="$ROOTFS/usr/bin"
chmod a-w "$BIN"
mkdir -m 700 "$WORK/runtime"
mkdir "$WORK/tmp" "$WORK/cwd"
run=(env -u DISPLAY -u WAYLAND_DISPLAY -u LC_ALL -u LC_MESSAGES -u LANGUAGE QT_QPA_PLATFORM=offscreen
  LANG=en_US.UTF-8 VEXILORA_DEMO=1 VEXILORA_DEMO_TIMEOUT=240 VEXILORA_DEMO_SCREENSHOTS="$WORK/shots"
  XDG_RUNTIME_DIR="$WORK/runtime" TMPDIR="$WORK/tmp"
  "$USB_SIM" --quiet --pace -- "$BIN/vexilora-update")
if [[ $(id -u) -eq 0 ]]; then
  # The mode bits do not stop root: a read-only bind mount in a mount namespace of its own
  # does, as a system folder mounted read-only would.
  run=(unshare --mount -- sh -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" &&
       shift && exec "$@"' sh "$BIN" "${run[@]}")
fi
status=0
(cd "$WORK/cwd" && "${run[@]}") >"$WORK/run.log" 2>&1 || status=$?
sed 's/^/  | /' "$WORK/run.log"
[[ $status -eq 0 ]] || fail "the installed utility exited $status"
grep -q "^demo: done: the device reports software " "$WORK/run.log" ||
  fail "the installed utility did not report the device's new version"
# Its translation is compiled in: under an English locale the window speaks English.
grep -q '^demo: pressing "Update Vexilora"$' "$WORK/run.log" ||
  fail "the installed utility's window is not in English under an English locale"
leftover=$(find "$BIN" -mindepth 1 ! -name vexilora-update ! -name vexilora-flash)
[[ -z $leftover ]] || fail "left in the program's folder: $leftover"
# The single-window lock file stays (removing it would let two starts lock two files); the
# socket beside it goes with the window.
leftover=$(find "$WORK/runtime" "$WORK/tmp" -mindepth 1 ! -path "$WORK/runtime/vexilora-update.lock")
[[ -z $leftover ]] || fail "private run folder left behind: $leftover"
for shot in 1-device-found 2-updating 3-success-box 4-updated; do
  [[ -s "$WORK/shots/$shot.png" ]] || fail "no screenshot $shot.png"
done

if ((failures > 0)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
