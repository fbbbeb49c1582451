#!/usr/bin/env bash
# The Windows build's acceptance run, under Wine: qnzb-cli.exe builds an image
# of a tree shaped like users' trees and burns two sessions onto the virtual
# recorder; independent readers and the Linux build read the results back, and
# the Linux build's own image and disc of the same trees must be the same but
# for what the build time and the file system's 8.3 aliases explain.
# One line per check, PASS or FAIL; the exit status is 1 when any failed.
#
#   tests/windows/acceptance.sh BUILD_WIN64 BUILD_LINUX
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_WIN64 BUILD_LINUX" >&2
  exit 2
fi
win_cli=$(realpath "$1")/bin/qnzb-cli.exe
linux_cli=$(realpath "$2")/bin/qnzb-cli
tools=$(dirname "$(realpath "$0")")/acceptance.py
for f in "$win_cli" "$(dirname "$win_cli")/WNASPI32.DLL" "$linux_cli"; do
  [ -f "$f" ] || { echo "missing: $f (build it first)" >&2; exit 2; }
done
for t in wine wineboot wineserver xorriso isoinfo 7z bsdtar python3 iconv; do
  command -v "$t" >/dev/null || { echo "missing tool: $t (make deps)" >&2; exit 2; }
done

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/tmp}/qnzb-windows-acceptance.XXXXXX")
race_pid=""
own_server=""
cleanup() {
  if [ -n "$race_pid" ]; then
    kill "$race_pid" 2>/dev/null || true
    wait "$race_pid" 2>/dev/null || true
  fi
  [ -z "$own_server" ] || wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Wine: its own prefix in the Windows build, no debug noise, and our
# WNASPI32.DLL rather than Wine's built-in one of that name.
export WINEPREFIX=${WINEPREFIX:-$(realpath "$1")/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n
# UTF-8 file names on Linux and the ANSI code page 1252 under Wine, which holds
# every name of the trees; UTC, so both sides write the same dates.
export LC_ALL=C.UTF-8 LANG=C.UTF-8 TZ=UTC
# No real drives, no settings of the user's, the job's time rather than a fixed one.
export QNZB_DRIVES=
unset SOURCE_DATE_EPOCH QNZB_INI QNZB_VDRIVE QNZB_LOCK_DIR
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # The registry files appear when the wineserver ends.
  { wineboot -i && wineserver -w; } >"$work/wineboot.log" 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || { cat "$work/wineboot.log" >&2; echo "wineboot -i made no prefix" >&2; exit 2; }
fi
# One wineserver for the whole run, ended with it. Left to itself the server
# ends a few seconds after each Wine program, and a program that connects just
# then fails ("wine client error: recvmsg"). When one already runs (make
# test-windows starts its own), that one serves.
if wineserver -p 2>/dev/null; then
  own_server=1
fi
# Wine runs its programs on the drive its current folder maps to; ours is Z:.
cd "$work"

# Paths for the Windows program as Z:\..., as a Windows user gives them (the
# first build below takes a Unix path, which Wine maps to Z: too).
winpath() {
  local p
  p=$(realpath -m -- "$1")
  printf 'Z:%s' "${p//\//\\}"
}
# DISC: the virtual recorder's folder for the next commands.
DISC=$work/disc
wcli() {
  QNZB_INI=$(winpath "$work/wine.ini") QNZB_LOCK_DIR=$(winpath "$work/locks") QNZB_VDRIVE=$(winpath "$DISC") \
    wine "$win_cli" "$@"
}
lcli() {
  QNZB_INI=$work/linux.ini QNZB_LOCK_DIR=$work/locks QNZB_VDRIVE=$DISC "$linux_cli" "$@"
}
# What the Windows program prints, as Linux text: CRLF line ends, code page 1252.
from_wine() { tr -d '\r' | iconv -f CP1252 -t UTF-8; }

checks=0
failed=0
# check NAME FUNCTION ARGS...: one line for the check, and on failure what it printed.
# The functions chain their steps with && or return on failure themselves (errexit
# does not reach into a function run as a condition). They run in this shell, so
# a signal waits for the command under way and the traps then clean up.
check() {
  local name=$1
  shift
  checks=$((checks + 1))
  if "$@" >"$work/check.log" 2>&1; then
    echo "PASS $name"
  else
    echo "FAIL $name"
    tail -n 25 "$work/check.log" | sed 's/^/    /'
    failed=$((failed + 1))
  fi
}

# ---- the trees, and what must come back: folders that hold nothing are left off
python3 "$tools" tree "$work/first" first
python3 "$tools" tree "$work/second" second
expected() { # OUT SOURCE...
  local out=$1
  shift
  mkdir -p "$out"
  for s in "$@"; do cp -a "$s/." "$out/"; done
  find "$out" -depth -type d -empty -delete
}
expected "$work/expect-1" "$work/first"
expected "$work/expect-2" "$work/first" "$work/second"
VOLUME=QNZB_ACCEPT

# ---- b: image files
build_wine() { wcli build-iso --volume "$VOLUME" --save-path unchecked "$(winpath "$1")" "$(winpath "$2")"; }
build_wine_unix_out() { wcli build-iso --volume "$VOLUME" --save-path unchecked "$1" "$(winpath "$2")"; }
build_linux() { lcli build-iso --volume "$VOLUME" --save-path unchecked "$1" "$2"; }
check "wine build-iso of the tree (a Unix path for the image)" build_wine_unix_out "$work/wine.iso" "$work/first"
check "linux build-iso of the same tree" build_linux "$work/linux.iso" "$work/first"
check "the images are the same but for the build time and 8.3 aliases" \
  python3 "$tools" compare "$work/linux.iso" "$work/wine.iso"

# A source folder whose own name is not ASCII, as given on the command line.
named_source() {
  mkdir -p "$work/Données" && cp -a "$work/first/Reports" "$work/Données/" &&
    build_wine "$work/named.iso" "$work/Données" &&
    rm -rf "$work/out-named" && mkdir "$work/out-named" && 7z x -y -o"$work/out-named" "$work/named.iso" >/dev/null &&
    diff -r "$work/first/Reports" "$work/out-named/Reports"
}
check "wine build-iso of a source folder named Données" named_source

# ---- c: the Windows program's image through independent readers
read_xorriso() {
  local out=$work/out-xorriso listed
  # xorriso quotes each path as the shell does; xargs takes the quotes off.
  listed=$(xorriso -indev "$work/wine.iso" -find / -type f 2>/dev/null | xargs -n1 printf '%s\n' | sort) &&
    diff <(cd "$work/expect-1" && find . -type f | sed 's/^\.//' | sort) <(printf '%s\n' "$listed") &&
    xorriso -osirrox on -indev "$work/wine.iso" -extract / "$out" >/dev/null 2>&1 &&
    chmod -R u+w "$out" && diff -r "$work/expect-1" "$out"
}
read_isoinfo() {
  local out=$work/out-isoinfo
  mkdir -p "$out" && python3 "$tools" isoinfo-extract "$work/wine.iso" "$out" &&
    python3 "$tools" strip-dots "$out" && diff -r "$work/expect-1" "$out"
}
read_7z() {
  local out=$work/out-7z
  7z x -y -o"$out" "$work/wine.iso" >/dev/null && diff -r "$work/expect-1" "$out"
}
read_bsdtar() {
  local out=$work/out-bsdtar
  mkdir -p "$out" && bsdtar -xf "$work/wine.iso" -C "$out" &&
    python3 "$tools" strip-dots "$out" && diff -r "$work/expect-1" "$out"
}
check "xorriso lists and extracts the wine image" read_xorriso
check "isoinfo -J lists and extracts the wine image" read_isoinfo
check "7z extracts the wine image" read_7z
check "bsdtar extracts the wine image" read_bsdtar

# ---- d: two sessions on the virtual recorder, burnt under Wine
burn_two() { # CLI: the second session carries the first one's files over
  "$1" vdrive insert cd-r &&
    "$1" burn --virtual --volume "$VOLUME" --save-path unchecked "$2" &&
    "$1" burn --virtual --volume "$VOLUME" --save-path unchecked --import-session -1 "$3"
}
# The names `ls` must show: the top of the expected tree, folders with "/".
top_names() { (cd "$1" && for f in *; do if [ -d "$f" ]; then echo "$f/"; else echo "$f"; fi; done) | sort; }
sessions_wine() {
  wcli sessions --virtual | from_wine >"$work/sessions-wine" || return 1
  cat "$work/sessions-wine"
  [ "$(grep -cE '^ +00[12] ' "$work/sessions-wine")" = 2 ]
}
ls_wine() { # SESSION
  wcli ls --virtual --session "$1" | from_wine >"$work/ls-wine-$1" &&
    diff <(top_names "$work/expect-$1") <(python3 "$tools" ls-names <"$work/ls-wine-$1")
}
extract_wine() { # SESSION; what came out is compared even when some files did not
  local out=$work/out-wine-$1 rc=0
  wcli extract --virtual --session "$1" / "$(winpath "$out")" || rc=$?
  diff -r "$work/expect-$1" "$out" && [ "$rc" = 0 ]
}
DISC=$work/disc-wine
check "wine burns two sessions onto a CD-R" burn_two wcli "$(winpath "$work/first")" "$(winpath "$work/second")"
check "wine sessions lists both" sessions_wine
check "wine ls of session 1" ls_wine 1
check "wine ls of session 2" ls_wine 2
check "wine extract of session 1" extract_wine 1
check "wine extract of session 2 (both trees)" extract_wine 2

# The Linux build on the disc the Windows program burnt: the same answers.
sessions_linux() { lcli sessions --virtual >"$work/sessions-linux" && diff "$work/sessions-wine" "$work/sessions-linux"; }
ls_linux() { lcli ls --virtual --session "$1" >"$work/ls-linux-$1" && diff "$work/ls-wine-$1" "$work/ls-linux-$1"; }
extract_linux() {
  local out=$work/out-linux-$1
  lcli extract --virtual --session "$1" / "$out" && diff -r "$work/expect-$1" "$out"
}
check "linux sessions of the wine disc" sessions_linux
check "linux ls of the wine disc's session 1" ls_linux 1
check "linux ls of the wine disc's session 2" ls_linux 2
check "linux extract of the wine disc's session 2" extract_linux 2

# The Linux build's own disc of the same trees: the same sectors and state.
same_disc() {
  local start
  start=$(awk '$1 == "002" { print $2 }' "$work/sessions-wine")
  [ -n "$start" ] || { echo "no session 2 in: $(cat "$work/sessions-wine")"; return 1; }
  python3 "$tools" compare "$work/disc-linux/disc.img" "$work/disc-wine/disc.img" 0 "$start" &&
    diff "$work/disc-linux/drive.state" "$work/disc-wine/drive.state"
}
DISC=$work/disc-linux
check "linux burns the same two sessions" burn_two lcli "$work/first" "$work/second"
check "the virtual discs are the same but for the build time and 8.3 aliases" same_disc

# One recorder, two Windows programs: while one burns, the other must find the
# drive in use. (A Linux program beside a Wine one is not kept off: their lock
# keys come from the folder's path, which Wine spells Z:\...)
race() {
  local first_rc=0 second_rc=0
  wcli vdrive insert cd-r || return 1
  wcli burn --virtual --save-path unchecked "$(winpath "$work/second")" >"$work/race-first.log" 2>&1 &
  race_pid=$!
  python3 "$tools" wait-locked "$DISC/drive.lock" 60 || return 1
  wcli burn --virtual --save-path unchecked "$(winpath "$work/second")" >"$work/race-second.log" 2>&1 || second_rc=$?
  wait "$race_pid" || first_rc=$?
  race_pid=""
  echo "first burn: status $first_rc, $(tail -n 1 "$work/race-first.log")"
  echo "second burn during it: status $second_rc, $(tail -n 1 "$work/race-second.log")"
  [ "$first_rc" = 0 ] && [ "$second_rc" = 1 ] && grep -q "in use by another program" "$work/race-second.log"
}
DISC=$work/disc-race
check "a second wine burn is refused while the first holds the recorder" race

echo "windows acceptance: $((checks - failed)) of $checks checks passed in $(($(date +%s) - started)) s"
[ "$failed" = 0 ]
