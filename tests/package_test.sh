#!/bin/sh
# The Debian package builds, is named checkfeed_<version>_<arch>.deb, holds the program in
# /usr/bin and names its runtime dependencies.
#   package_test.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
deb="$out/checkfeed_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "no $deb"; ls "$out"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins libxcb1; do
  case ", $depends," in
    *", $needed,"*) ;;
    *) echo "Depends lacks $needed: $depends"; exit 1 ;;
  esac
done

dpkg-deb -x "$deb" "$out/root"
[ "$("$out/root/usr/bin/checkfeed" --version)" = "checkfeed $version" ] || {
  echo "the packaged program does not answer --version with $version"
  exit 1
}
echo "ok: $(basename "$deb"), Depends: $depends"
