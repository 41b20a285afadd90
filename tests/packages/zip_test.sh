#!/bin/sh
# The zip a Windows user downloads: what it holds, that its programs need nothing but Windows' own
# DLLs, that the programs unpacked from it run (under Wine, with nothing installed beside them),
# and that its readme names every option --help names.
#   zip_test.sh BUILD_DIR VERSION ARCH      (ARCH: win64 or win32)
set -eu
build=$1
version=$2
arch=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
  cat "$out/cpack.log"
  exit 1
}
zip="$out/checkfeed-$version-$arch.zip"
[ -f "$zip" ] || fail "no $(basename "$zip"): $(ls "$out")"
unzip -q "$zip" -d "$out/unpacked"
folder="$out/unpacked/checkfeed-$version-$arch"
(cd "$folder" && find . | sort) >"$out/list"
printf '.\n./LICENSE.txt\n./README.txt\n./checkfeed.exe\n./checkfeedc.exe\n' | diff - "$out/list" ||
  fail "the zip holds something else"

# Windows' own DLLs and nothing else; one windowed program and one for the console.
for program in checkfeed checkfeedc; do
  x86_64-w64-mingw32-objdump -p "$folder/$program.exe" >"$out/$program.dump"
  for dll in $(awk '/DLL Name:/ {print tolower($3)}' "$out/$program.dump"); do
    case $dll in
      kernel32.dll | user32.dll | gdi32.dll | shell32.dll | advapi32.dll | winmm.dll | msvcrt.dll | \
        setupapi.dll | ws2_32.dll) ;;
      *) fail "$program.exe needs $dll" ;;
    esac
  done
done
grep -q 'Subsystem.*(Windows GUI)' "$out/checkfeed.dump" || fail "checkfeed.exe is not windowed"
grep -q 'Subsystem.*(Windows CUI)' "$out/checkfeedc.dump" || fail "checkfeedc.exe is no console program"
case $arch in
  win64) grep -q 'file format pei-x86-64' "$out/checkfeed.dump" || fail "not a 64-bit program" ;;
  win32) grep -q 'file format pei-i386' "$out/checkfeed.dump" || fail "not a 32-bit program" ;;
esac

# Run from where it was unpacked: it answers, and its readme knows every option. Its output goes
# to a file, not a pipe: the Wine processes a first program starts (the desktop, services) keep
# its output open until Wine's server ends, a minute later.
run() {
  "$(dirname "$0")/../tools/wine/wine.sh" "$folder/checkfeedc.exe" "$@" >"$out/output"
  tr -d '\r' <"$out/output"
}
[ "$(run --version)" = "checkfeed $version" ] || fail "checkfeedc.exe --version: $(run --version)"
for option in $(run --help | grep -o -- '--[a-z-]*' | sort -u); do
  grep -q -- "$option" "$folder/README.txt" || fail "README.txt does not name $option"
done
[ "$(grep -c "$(printf '\r')\$" "$folder/README.txt")" -eq "$(wc -l <"$folder/README.txt")" ] ||
  fail "README.txt has lines without CR LF"
echo "ok: $(basename "$zip"), $(wc -c <"$zip") bytes"
