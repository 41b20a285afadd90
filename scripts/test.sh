#!/bin/sh
# Builds checkfeed and runs the whole test suite; then builds the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again; then runs the fuzz targets
# of every parser of outside input (libFuzzer, clang-16) for a few seconds each; then builds the
# Windows programs, 64-bit and 32-bit (cross-compiled with mingw-w64), and runs their tests under
# Wine; then the ARM programs, arm64 and armhf (cross-compiled with Debian's toolchains), with their
# tests and packages under QEMU's user-mode emulation. On an ARM board it builds and tests what
# the board itself runs.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset sanitize
cmake --build --preset sanitize --target checkfeed_unit_tests
ctest --preset sanitize

# Every parser of outside input under libFuzzer, over its corpus and for FUZZ_SECONDS (10) more.
cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz

if [ "$(uname -m)" != x86_64 ]; then
  echo "Skipping the Windows and ARM cross builds: mingw-w64 and Wine need a PC ($(uname -m) here)."
  exit 0
fi

cmake --preset windows-x64
cmake --build --preset windows-x64
# The other cross builds go on at the lowest priority while the 64-bit Windows programs' tests run:
# those mostly wait (for Wine, for a beat, for a window), and builds that waited for them would
# only add their time to the tests'.
mkdir -p build
(
  for preset in windows-x86 linux-arm64 linux-armhf; do
    cmake --preset $preset && nice -n 19 cmake --build --preset $preset || exit 1
  done
) >build/cross-builds.log 2>&1 &
builds=$!
tested=0
ctest --preset windows-x64 || tested=$?
if ! wait $builds; then
  cat build/cross-builds.log
  exit 1
fi
[ $tested -eq 0 ] || exit $tested
for preset in windows-x86 linux-arm64 linux-armhf; do
  ctest --preset $preset
done
