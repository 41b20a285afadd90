#!/bin/sh
# Installs what is missing, builds checkfeed, and shows it at work on a virtual serial port.
# Options are passed to demo.py (--seconds N: how long to watch; default one rotation and back).
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target checkfeed
exec python3 scripts/demo.py build/default/shell/checkfeed "$@"
