#!/bin/sh
# Builds checkfeed and runs the whole test suite; then builds the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again; then builds the Windows
# program (cross-compiled with mingw-w64) and runs its tests under Wine.
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
