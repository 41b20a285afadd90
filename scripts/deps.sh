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
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine64 wine32:i386 unzip
"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

# Wine runs 32-bit Windows programs with its 32-bit loader, a 32-bit Linux program. Where the
# kernel runs no 32-bit programs (some virtual machines), they run under QEMU's user-mode
# emulation: slowly, but they run.
emulate_i386() {
  if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    return 0
  fi
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q "install ok installed"; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
      qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  if [ ! -e $binfmt/qemu-i386 ]; then
    # 32-bit x86 ELF programs (ET_EXEC and ET_DYN), with the emulator opened at registration (F).
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      $sudo tee $binfmt/register >/dev/null
  fi
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -z "$missing" ]; then
  emulate_i386
  exit 0
fi

echo "Installing:$missing"
# 32-bit Windows programs run under Wine's 32-bit loader, an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
# shellcheck disable=SC2086  # the list is meant to split into words
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
emulate_i386
