#!/bin/bash
# Configures and builds one target: host (native, sanitizers on, with the tests; build/host),
# host-tsan (the host unit tests under ThreadSanitizer; build/host-tsan), release (the plain
# host library a user loads, without sanitizers, with the tests compiled but not run;
# build/host-release), windows (mingw-w64;
# build/windows), or all of them; fuzz (the libFuzzer harnesses, clang; build/fuzz) only on request.
# Usage: scripts/build.sh [host|host-tsan|release|windows|all|fuzz] [extra cmake build args]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
WHICH="${1:-all}"
shift || true
JOBS="${FB_JOBS:-$(nproc)}"
GEN=()
if command -v ninja >/dev/null; then GEN=(-G Ninja); fi
# A compiler cache, when present, makes rebuilds in several checkouts of the tree cheap.
if command -v ccache >/dev/null; then
  # Paths below the checkout are hashed relative to it (and the build folder not at all), so
  # other checkouts share the cache; debug information then names the first checkout.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
  GEN+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

build_host() {
  cmake -S "$ROOT" -B "$ROOT/build/host" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DFB_SANITIZE=ON >/dev/null
  cmake --build "$ROOT/build/host" -j "$JOBS" "$@"
}
# The host unit tests under ThreadSanitizer (only the test binary; its threaded tests run).
build_host_tsan() {
  cmake -S "$ROOT" -B "$ROOT/build/host-tsan" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DFB_TSAN=ON >/dev/null
  cmake --build "$ROOT/build/host-tsan" -j "$JOBS" --target fb_unit_tests "$@"
}
# The tests are built here as well (without sanitizers, optimised), so that a plain Release
# build of every target keeps compiling; scripts/test.sh runs only the examples from it.
build_release() {
  cmake -S "$ROOT" -B "$ROOT/build/host-release" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DFB_SANITIZE=OFF \
    -DFB_BUILD_TESTS=ON >/dev/null
  cmake --build "$ROOT/build/host-release" -j "$JOBS" "$@"
}
build_windows() {
  cmake -S "$ROOT" -B "$ROOT/build/windows" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$ROOT/build/windows" -j "$JOBS" "$@"
}
# The libFuzzer harnesses: clang, the library instrumented for coverage, under ASan and UBSan.
build_fuzz() {
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$ROOT/build/fuzz" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DFB_FUZZ=ON \
    -DFB_BUILD_TESTS=OFF >/dev/null
  cmake --build "$ROOT/build/fuzz" -j "$JOBS" --target fb_fuzzers "$@"
}
case "$WHICH" in
  host) build_host "$@" ;;
  host-tsan) build_host_tsan "$@" ;;
  release) build_release "$@" ;;
  windows) build_windows "$@" ;;
  fuzz) build_fuzz "$@" ;;
  all) build_host "$@"; build_host_tsan "$@"; build_release "$@"; build_windows "$@" ;;
  *) echo "usage: $0 [host|host-tsan|release|windows|all|fuzz]" >&2; exit 2 ;;
esac
