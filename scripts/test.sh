#!/bin/sh
# Builds checkfeed and runs the whole test suite; then builds the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again; then builds the Windows
# programs, 64-bit and 32-bit (cross-compiled with mingw-w64), and runs their tests under Wine.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset sanitize
cmake --build --preset sanitize --target checkfeed_unit_tests
ctest --preset sanitize

cmake --preset windows-x64
cmake --build --preset windows-x64
ctest --preset windows-x64

cmake --preset windows-x86
cmake --build --preset windows-x86
ctest --preset windows-x86
