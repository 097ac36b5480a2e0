#!/bin/bash
# Runs a windows program under Wine with the project's own prefix (null graphics driver,
# quiet debug channels). Used by CTest as the cross-compiling emulator.
set -e
export WINEPREFIX="${WINEPREFIX:-${FB_WINEPREFIX:-$HOME/.wine-flashbridge}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/.fb-ready" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w || true
  touch "$WINEPREFIX/.fb-ready"
fi
exec wine "$@"
