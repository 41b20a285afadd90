#!/bin/sh
# Installs the Debian packages a task needs, if any are missing. Runs apt-get as root, or through
# sudo.
#   deps.sh demo      build the program alone and run it on a pseudo-terminal
#   deps.sh linux     build and test everything on Linux: the window module, the unit tests, the
#                     window tests under Xvfb, the packages
#   deps.sh windows   cross-compile the Windows programs and test them under Wine
#   deps.sh [all]     all of these: the test command and CI
set -eu

demo="cmake ninja-build g++ python3"
linux="$demo pkg-config qt6-base-dev qt6-qpa-plugins libxcb1-dev libx11-dev
  googletest libgtest-dev util-linux mount xvfb openbox fonts-dejavu-core clang-format
  systemd man-db dpkg-dev lintian"
windows="cmake ninja-build g++ python3 util-linux mount libx11-dev xvfb openbox
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix googletest
  wine wine64 wine32:i386 unzip"

case ${1:-all} in
  demo) packages=$demo ;;
  linux) packages=$linux ;;
  windows) packages=$windows ;;
  all) packages="$linux $windows" ;;
  *)
    echo "usage: deps.sh [demo|linux|windows|all]" >&2
    exit 2
    ;;
esac

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for package in $packages; do
  case " $missing " in *" $package "*) continue ;; esac
  installed "$package" || missing="$missing $package"
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Wine runs 32-bit Windows programs with its 32-bit loader, a 32-bit Linux program. Where the
# kernel runs no 32-bit programs (some virtual machines), they run under QEMU's user-mode
# emulation. Debian 12's QEMU (7.2) ignores MAP_FIXED_NOREPLACE, and Wine then spends a minute at
# every start reserving its address space 64 KiB at a time (65,000 mmap and munmap calls); the
# QEMU of bookworm-backports (10) honours it, and a 32-bit program starts in about a second.
emulate_i386() {
  binfmt=/proc/sys/fs/binfmt_misc
  registered=$(sed -n 's/^interpreter //p' $binfmt/qemu-i386 2>/dev/null || true)
  if [ "$registered" = /usr/bin/qemu-i386 ] ||
    { [ -z "$registered" ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; }; then
    return 0  # this emulator, or none needed
  fi
  if ! /usr/bin/qemu-i386 --version 2>/dev/null | grep -q 'version [1-9][0-9]\.'; then
    backports=/etc/apt/sources.list.d/bookworm-backports.sources
    if ! [ -f $backports ]; then
      printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
        $sudo tee $backports >/dev/null
      $sudo apt-get update -q
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
      -t bookworm-backports qemu-user
  fi
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  # An older registration (Debian 12's qemu-i386-static) gives way to this one.
  if [ -n "$registered" ]; then
    echo -1 | $sudo tee $binfmt/qemu-i386 >/dev/null
  fi
  # 32-bit x86 ELF programs (ET_EXEC and ET_DYN), with the emulator opened at registration (F).
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
    $sudo tee $binfmt/register >/dev/null
}

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  # 32-bit Windows programs run under Wine's 32-bit loader, an i386 package.
  case $missing in
    *:i386*)
      dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
      ;;
  esac
  $sudo apt-get update -q
  # shellcheck disable=SC2086  # the list is meant to split into words
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
fi
case ${1:-all} in
  windows | all) emulate_i386 ;;
esac
