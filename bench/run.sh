#!/bin/sh
# Builds checkfeed and prints its benchmark figures beside a shell loop's (about five minutes).
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target checkfeed checkfeed_window tick_bench xwindow
exec python3 bench/bench.py build/default/shell/checkfeed build/default/bench/tick_bench \
  --xwindow build/default/tests/xwindow "$@"
