#!/bin/bash
# Installs what a fresh Debian machine lacks. Without arguments: everything to build and test
# both targets (scripts/test.sh). With --main: only what the main job needs, the host compiler
# CMake and libusb for the plain host library and flashtool (scripts/run-main.sh).
set -euo pipefail
MAIN_PACKAGES=(cmake ninja-build g++ python3 libsimpleini-dev ccache pkg-config libusb-1.0-0-dev)
ALL_PACKAGES=("${MAIN_PACKAGES[@]}" googletest
              g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
              libwine-dev libbenchmark-dev zlib1g-dev clang libclang-rt-14-dev
              python3-pip python3-venv python3-rich python3-pytest
              umockdev libumockdev-dev libumockdev0)
APT_OPTIONS=()
case "${1:-}" in
  --main) PACKAGES=("${MAIN_PACKAGES[@]}"); APT_OPTIONS=(--no-install-recommends) ;;
  "") PACKAGES=("${ALL_PACKAGES[@]}") ;;
  *) echo "usage: $0 [--main]" >&2; exit 2 ;;
esac
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${APT_OPTIONS[@]}" "${missing[@]}" >/dev/null
fi
