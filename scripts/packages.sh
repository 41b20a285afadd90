#!/bin/sh
# Builds the Debian packages of a release into packages/: checkfeed and checkfeed-window for this
# machine (amd64 on a PC), and on a PC for arm64 and armhf too, cross-compiled.
set -eu
cd "$(dirname "$0")/.."
presets=default
if [ "$(uname -m)" = x86_64 ]; then
  ./scripts/deps.sh arm-build  # toolchains and the targets' libraries: no emulator
  presets="default linux-arm64 linux-armhf"
fi
./scripts/deps.sh linux
for preset in $presets; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  cpack --config "build/$preset/CPackConfig.cmake" -B packages
done
rm -rf packages/_CPack_Packages
ls packages/*.deb
