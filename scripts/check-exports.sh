#!/bin/bash
# Checks that the built library exports exactly the functions listed in the .def file; the host
# library also the host-only functions named in the linker script beside it (flashbridge.map).
# Usage: check-exports.sh <library file> <def file>
set -euo pipefail
LIB="$1"
DEF="$2"
expected=$(sed -n '/^EXPORTS/,$p' "$DEF" | tail -n +2 | awk 'NF {print $1}' | sort)
case "$LIB" in
  *.dll)
    actual=$(x86_64-w64-mingw32-objdump -p "$LIB" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
             awk '/^\t\[/ {print $NF}' | sort) ;;
  *)
    extras=$(sed -n 's/^[[:space:]]*\(QXHOST_[A-Za-z0-9_]*\);.*/\1/p' "$(dirname "$DEF")/flashbridge.map")
    expected=$(printf '%s\n%s\n' "$expected" "$extras" | awk 'NF' | sort)
    actual=$(nm -D --defined-only "$LIB" | awk '{print $NF}' | sort) ;;
esac
if [ "$expected" != "$actual" ]; then
  echo "exports of $LIB differ from $DEF:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exports as listed"
