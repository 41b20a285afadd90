#!/bin/sh
# Builds checkfeed and runs the whole test suite; then builds the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again; then builds the Windows
# programs, 64-bit and 32-bit (cross-compiled with mingw-w64), and runs their tests under Wine;
# then the ARM programs, arm64 and armhf (cross-compiled with Debian's toolchains), with their
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

if [ "$(uname -m)" != x86_64 ]; then
  echo "Skipping the Windows and ARM cross builds: mingw-w64 and Wine need a PC ($(uname -m) here)."
  exit 0
fi

for preset in windows-x64 windows-x86 linux-arm64 linux-armhf; do
  cmake --preset $preset
  cmake --build --preset $preset
  ctest --preset $preset
done
