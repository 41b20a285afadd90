#!/bin/sh
# Installs the Debian packages checkfeed needs to build, test and demonstrate, if any are missing.
# Runs apt-get as root, or through sudo.
set -eu

packages="
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-qpa-plugins libxcb1-dev libx11-dev
  googletest libgtest-dev
  python3 util-linux mount
  xvfb openbox fonts-dejavu-core
  clang-format
  systemd man-db dpkg-dev lintian
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64
"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
# shellcheck disable=SC2086  # the list is meant to split into words
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
