#!/usr/bin/env bash
# Installs the build under a scratch prefix and runs the installed programs
# from there: the command line must find the virtual recorder's library beside
# itself, and the desktop entry must name the installed program and icon.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/qnzb-cli bin/WNASPI32.DLL; do
  test -f "$prefix/$f" || { echo "not installed: $f"; exit 1; }
done
export QNZB_VDRIVE=$prefix/vdrive QNZB_INI=$prefix/QNZB.ini QNZB_DRIVES= QNZB_LOCK_DIR=$prefix/locks
"$prefix/bin/qnzb-cli" vdrive insert cd-r >/dev/null
"$prefix/bin/qnzb-cli" drives | grep -q "VIRTUAL RECORDER" || { echo "installed qnzb-cli finds no virtual recorder"; exit 1; }
if [ "${2:-}" = gui ]; then
  desktop=$prefix/share/applications/qnzb.desktop
  test -x "$prefix/bin/qnzb" || { echo "not installed: bin/qnzb"; exit 1; }
  test -f "$prefix/share/icons/hicolor/scalable/apps/qnzb.svg" || { echo "not installed: the icon"; exit 1; }
  grep -qx "Exec=qnzb %F" "$desktop" && grep -qx "Icon=qnzb" "$desktop" || { echo "desktop entry does not name the program and icon"; exit 1; }
fi
echo "installed layout ok"
