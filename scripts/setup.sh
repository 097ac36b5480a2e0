#!/bin/bash
# Installs what a fresh Debian machine lacks to build and test both targets.
set -euo pipefail
PACKAGES=(cmake ninja-build g++ python3 googletest libsimpleini-dev
          g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 ccache
          libwine-dev libbenchmark-dev zlib1g-dev clang libclang-rt-14-dev
          python3-pip python3-rich python3-pytest pkg-config
          libusb-1.0-0-dev umockdev libumockdev-dev libumockdev0)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
