#!/bin/sh
# The tests' Wine prefix, made once in a build folder. A new prefix maps COM1 to /dev/ttyS0, which
# on these machines is the console: here Wine never sees this machine's serial ports (every Wine
# process runs where they do not exist, tests/tools/wine/without-serial-ports.sh), and every COM name,
# COM1 to COM255, is a link in DIR/ports that a test points at a pseudo-terminal of its own (a
# link that is not there is a port that is not there).
#   prefix.sh setup DIR   makes the prefix if need be, checks every COM name, starts its server
#   prefix.sh stop DIR    ends its server and every Wine program in it
set -eu
action=$1
dir=$(realpath -m "$2")
. "$(dirname "$0")/env.sh"

if [ "$action" = stop ]; then
  wineserver -k 2>/dev/null || true
  exit 0
fi
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || [ ! -x /usr/lib/wine/wine64 ]; then
  echo "prefix.sh: needs root (for a private mount namespace), unshare and wine: skipped" >&2
  exit 77
fi
# Wine's own tools by its 64-bit loader: the 32-bit one may be emulated, and slow.
wine=/usr/lib/wine/wine64

mkdir -p "$dir/ports"
rm -f "$dir"/ports/com*  # no test's port outlives it
# A prefix made before Wine's 32-bit loader was installed cannot run 32-bit programs.
if [ -x /usr/lib/wine/wine ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
  rm -f "$WINEPREFIX/ports-mapped"
fi
if [ ! -f "$WINEPREFIX/ports-mapped" ]; then
  rm -rf "$WINEPREFIX"
  covered $wine wineboot --init </dev/null >/dev/null 2>&1
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    n=1
    while [ $n -le 255 ]; do
      printf '"COM%d"="%s/ports/com%d"\r\n' $n "$dir" $n
      n=$((n + 1))
    done
  } >"$dir/ports.reg"
  covered $wine reg import "$dir/ports.reg" </dev/null >/dev/null 2>&1
  # Wine draws its windows' frames itself, so an X window is a Windows window's outer rectangle
  # even without a window manager (the window tests' bare Xvfb).
  covered $wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
    </dev/null >/dev/null 2>&1
  # Wine makes the links of dosdevices from the registry when its server starts.
  covered wineserver -k </dev/null >/dev/null 2>&1 || true
  covered wineserver -w </dev/null >/dev/null 2>&1
fi

# A server for the tests, ended by "stop", or 60 s after its last program. Nothing of Wine's may
# keep this script's output open, or whoever reads it waits for the server to end.
covered wineserver -p60 </dev/null >/dev/null 2>&1 || true  # maybe running already
covered $wine cmd /c exit </dev/null >/dev/null 2>&1
mapped=0
for link in "$WINEPREFIX"/dosdevices/com*; do
  case $(readlink "$link") in
    "$dir/ports/com${link##*/com}") mapped=$((mapped + 1)) ;;
    *)
      echo "prefix.sh: $link points to $(readlink "$link"), not into $dir/ports" >&2
      exit 1
      ;;
  esac
done
if [ $mapped -ne 255 ]; then
  echo "prefix.sh: $mapped COM names are mapped, not 255" >&2
  exit 1
fi
touch "$WINEPREFIX/ports-mapped"
echo "prefix.sh: $WINEPREFIX ready, COM1 to COM255 in $dir/ports"
