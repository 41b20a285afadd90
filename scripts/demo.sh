#!/bin/sh
# Installs what is missing, builds checkfeed, and shows it at work on a virtual serial port.
# Options are passed to demo.py (--seconds N: how long to watch; default one rotation and back).
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh demo
cmake --preset headless >/dev/null
cmake --build --preset headless --target checkfeed
exec python3 scripts/demo.py build/headless/shell/checkfeed "$@"
