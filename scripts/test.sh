#!/bin/sh
# Builds checkfeed and runs the whole test suite; then builds the unit tests once more under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them again.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset sanitize
cmake --build --preset sanitize --target checkfeed_unit_tests
ctest --preset sanitize
