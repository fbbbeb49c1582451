#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the acceptance runs need.
# Only what is missing is installed, so a machine that has everything pays nothing.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  qt6-base-dev
  attr
  xorriso genisoimage libarchive-tools p7zip-full qemu-system-x86
  # The Windows cross build (make windows): MinGW-w64 with the posix thread
  # model, which std::thread and std::mutex need.
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  # Runs the Windows suites (make test-windows); 64-bit only, as Debian's
  # 32-bit Wine needs the i386 architecture this machine's package set lacks.
  wine wine64
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
