#!/bin/sh
# Builds checkfeed and prints its benchmark figures beside a shell loop's, then checkfeed.exe's
# under Wine (about eight minutes; --only-windows for the last part alone).
set -eu
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target checkfeed checkfeed_window tick_bench xwindow responder
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 --target checkfeed
exec python3 bench/bench.py build/default/shell/checkfeed build/default/bench/tick_bench \
  --responder build/default/bench/responder --xwindow build/default/tests/xwindow --exe build/windows-x64/shell/checkfeed.exe \
  --wine-dir build/windows-x64/wine "$@"
