#!/bin/sh
# The Debian packages: checkfeed (no toolkit) and checkfeed-window (the window module), built from
# one build. Checks their names, dependency fields and file lists, that the program from the
# checkfeed package alone runs (an ARM one under QEMU's emulation), and lintian where it is
# installed.
#   deb_test.sh BUILD_DIR VERSION [ARCH]     ARCH: Debian's name for a cross build's target
set -eu
build=$1
version=$2
arch=${3:-$(dpkg --print-architecture)}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
core="$out/checkfeed_${version}_${arch}.deb"
window="$out/checkfeed-window_${version}_${arch}.deb"
for deb in "$core" "$window"; do
  [ -f "$deb" ] || { ls "$out"; fail "no $deb"; }
done

for deb in "$core" "$window"; do
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] ||
    fail "$(basename "$deb") is for $(dpkg-deb -f "$deb" Architecture), not $arch"
done

# has FIELD DEB PACKAGE...: each package is named in the field (with or without a version).
has() {
  field=$(dpkg-deb -f "$2" "$1")
  deb=$2
  shift 2
  for needed in "$@"; do
    case ", $field," in
      *", $needed,"* | *", $needed ("*) ;;
      *) fail "$(basename "$deb") $1 lacks $needed: $field" ;;
    esac
  done
}
lacks() {
  if dpkg-deb -f "$2" "$1" | grep -Eq "$3"; then
    fail "$(basename "$2") $1 names $3: $(dpkg-deb -f "$2" "$1")"
  fi
}

# checkfeed: the C and C++ runtimes only, and the window recommended.
has Depends "$core" libc6 libstdc++6
lacks Depends "$core" 'qt|xcb|libx11|libgl'
has Recommends "$core" checkfeed-window
# checkfeed-window: this very checkfeed, Qt and xcb.
has Depends "$window" "checkfeed (= $version)" libqt6widgets6 libqt6gui6 libqt6core6 \
  qt6-qpa-plugins libxcb1

dpkg-deb -c "$core" | awk '{print $6}' >"$out/core.list"
dpkg-deb -c "$window" | awk '{print $6}' >"$out/window.list"
for file in ./usr/bin/checkfeed ./usr/share/man/man1/checkfeed.1.gz \
  ./usr/lib/systemd/system/checkfeed@.service ./usr/share/doc/checkfeed/copyright \
  ./usr/share/doc/checkfeed/changelog.gz; do
  grep -qx "$file" "$out/core.list" || fail "checkfeed lacks $file"
done
! grep -Ei 'qt|xcb|window' "$out/core.list" || fail "checkfeed holds a part of the window"
grep -Eq '^\./usr/lib/[^/]+/checkfeed/checkfeed-window\.so$' "$out/window.list" ||
  fail "checkfeed-window holds no module: $(cat "$out/window.list")"

# The checkfeed package alone, as on a headless machine: it runs, and links no toolkit.
dpkg-deb -x "$core" "$out/root"
[ "$("$out/root/usr/bin/checkfeed" --version)" = "checkfeed $version" ] ||
  fail "the packaged program does not answer --version with $version"
if readelf -d "$out/root/usr/bin/checkfeed" | grep NEEDED | grep -Ei 'qt|xcb|libX'; then
  fail "the packaged program links a toolkit"
fi

# The copyright file carries the licence LICENSE states, word for word.
source=$(dirname "$0")/../..
awk '/^License: MIT$/ { last = NR } { line[NR] = $0 }
     END { for (i = last + 1; i <= NR; i++) print line[i] }' "$source/packaging/copyright" |
  sed 's/^ //; s/^\.$//' >"$out/terms"
tail -n +5 "$source/LICENSE" | diff - "$out/terms" >/dev/null ||
  fail "packaging/copyright and LICENSE state different terms"

if command -v lintian >/dev/null; then
  # Errors and warnings fail; the README names the informational tags that remain.
  lintian --fail-on error,warning "$core" "$window" >"$out/lintian.log" 2>&1 || {
    cat "$out/lintian.log"
    fail "lintian"
  }
else
  echo "lintian is not installed: skipped"
fi
echo "ok: $(basename "$core"), $(basename "$window")"
