#!/bin/sh
# Runs a Windows program under Wine for the tests: in the prefix tests/tools/wine/prefix.sh made, whose
# COM names are links in its ports folder that only a test points at a pseudo-terminal, and where
# this machine's own serial ports do not exist (tests/tools/wine/without-serial-ports.sh).
#   CHECKFEED_WINE_DIR=DIR wine.sh PROGRAM.exe [ARGUMENT...]
set -eu
dir=${CHECKFEED_WINE_DIR:?"names the tests' Wine folder"}
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
  echo "wine.sh: needs root (for a private mount namespace), unshare and wine: skipped" >&2
  exit 77
fi
if [ ! -f "$dir/prefix/ports-mapped" ]; then
  echo "wine.sh: $dir/prefix has not been prepared by tests/tools/wine/prefix.sh" >&2
  exit 1
fi
. "$(dirname "$0")/env.sh"
# The server first, on its own: one started by the program would hold the program's output open.
covered wineserver -p60 </dev/null >/dev/null 2>&1 || true  # maybe running already
# A 32-bit program needs Wine's 32-bit loader; everything else, Wine's own tools included, gets
# the 64-bit one, which never runs emulated.
loader=/usr/lib/wine/wine64
if [ -f "$1" ] && [ "$(od -An -tx1 -N2 "$1" | tr -d ' ')" = 4d5a ]; then
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  if [ "$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')" = 014c ]; then
    loader=/usr/lib/wine/wine
  fi
fi
exec "$(dirname "$0")/without-serial-ports.sh" "$dir/dev" "$loader" "$@"
