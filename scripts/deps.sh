#!/bin/sh
# Installs the Debian packages a task needs, if any are missing. Runs apt-get as root, or through
# sudo.
#   deps.sh demo      build the program alone and run it on a pseudo-terminal
#   deps.sh linux     build and test everything on Linux: the window module, the unit tests, the
#                     window tests under Xvfb, the packages
#   deps.sh windows   cross-compile the Windows programs and test them under Wine
#   deps.sh arm-build cross-compile the ARM programs (arm64, armhf) and their packages
#   deps.sh arm       the same, and test them under QEMU
#   deps.sh fuzz      build the fuzz targets (clang-16, libFuzzer) and run them
#   deps.sh [all]     all of these: the test command and CI. On a machine that is not a PC (an ARM
#                     board) that is linux and fuzz: it builds and tests its own programs natively.
set -eu

demo="cmake ninja-build g++ python3"
linux="$demo pkg-config qt6-base-dev qt6-qpa-plugins libxcb1-dev libx11-dev
  googletest libgtest-dev util-linux mount xvfb openbox fonts-dejavu-core clang-format
  systemd man-db dpkg-dev lintian ser2net nftables iproute2 python3-junitparser"
windows="cmake ninja-build g++ python3 util-linux mount libx11-dev xvfb openbox
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix googletest
  wine wine64 wine32:i386 unzip ser2net python3-junitparser"
# Debian's cross toolchains, and the target's libraries beside this machine's own (multiarch):
# the C and C++ runtimes the programs run with under QEMU, and Qt and xcb for the window module.
arm="cmake ninja-build g++ python3 util-linux mount googletest dpkg-dev lintian
  crossbuild-essential-arm64 crossbuild-essential-armhf"
# clang's libFuzzer and sanitizers, for the fuzz targets.
fuzz="cmake ninja-build clang-16 libclang-rt-16-dev"
for target in arm64 armhf; do
  arm="$arm libc6:$target libstdc++6:$target qt6-base-dev:$target libxcb1-dev:$target"
done

task=${1:-all}
if [ "$task" = all ] && [ "$(uname -m)" != x86_64 ]; then
  task=native  # the Windows and ARM programs are cross-compiled on a PC
fi
case $task in
  demo) packages=$demo ;;
  linux) packages=$linux ;;
  windows) packages=$windows ;;
  arm | arm-build) packages=$arm ;;
  fuzz) packages=$fuzz ;;
  native) packages="$linux $fuzz" ;;
  all) packages="$linux $windows $arm $fuzz" ;;
  *)
    echo "usage: deps.sh [demo|linux|windows|arm-build|arm|fuzz|all]" >&2
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
qemu_10() {
  if ! /usr/bin/qemu-i386 --version 2>/dev/null | grep -q 'version [1-9][0-9]\.'; then
    backports=/etc/apt/sources.list.d/bookworm-backports.sources
    if ! [ -f $backports ]; then
      mirror=$(debian_mirror)
      if [ -z "$mirror" ]; then
        echo "deps.sh: no Debian mirror for bookworm in this machine's apt sources" >&2
        exit 1
      fi
      printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$mirror" | $sudo tee $backports >/dev/null
      apt_update
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
      -t bookworm-backports qemu-user
  fi
}

# apt's lists, fetched again: a mirror caught mid-sync serves index files that do not match their
# Release file for a minute or two, so a failed update is tried again twice, a little later.
apt_update() {
  for wait in 30 60 0; do
    $sudo apt-get update -q && return 0
    [ $wait -eq 0 ] && break
    echo "deps.sh: apt-get update failed; trying again in $wait s" >&2
    sleep $wait
  done
  echo "deps.sh: apt-get update failed three times; the mirror is not usable now" >&2
  exit 1
}

# The mirror this machine takes Debian 12 (bookworm) from, as its own apt sources name it: in a
# deb822 .sources file or a one-line sources.list. Backports come from the same mirror.
debian_mirror() {
  for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] || continue
    # Stanzas are separated by blank lines; the first URI of one whose suites include bookworm.
    awk 'function done() { if (suites ~ /(^| )bookworm( |$)/ && uri != "") { print uri; exit } }
         /^[ \t]*$/ { done(); uri = ""; suites = ""; next }
         tolower($1) == "uris:" { uri = $2 }
         tolower($1) == "suites:" { $1 = ""; suites = $0 " " }
         END { done() }' "$sources"
  done | head -n 1 | grep . && return 0
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                       if ($(i + 1) == "bookworm") { print $i; exit } }'
}

# ARM programs run here under QEMU's user-mode emulation, started by binfmt_misc as if they were
# this machine's own: the tests run them as they are, in the same namespaces as the PC's. QEMU
# 10, like the i386 emulation's, registered anew each time with the flag that opens the emulator
# at registration (F), so that it works in every mount namespace and survives an upgrade. Its
# package keeps the registrations in /usr/share/qemu/binfmt.d; /usr/lib/binfmt.d has them only
# where the recommended qemu-user-binfmt was installed too. An old registration is taken away only
# once the new one is at hand.
emulate_arm() {
  binfmt=/proc/sys/fs/binfmt_misc
  qemu_10
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  for cpu in aarch64 arm; do
    conf=""
    for folder in /usr/share/qemu/binfmt.d /usr/lib/binfmt.d; do
      if [ -f $folder/qemu-$cpu.conf ]; then
        conf=$folder/qemu-$cpu.conf
        break
      fi
    done
    if [ -z "$conf" ]; then
      echo "deps.sh: QEMU has no binfmt registration for $cpu (looked in /usr/share/qemu/binfmt.d and /usr/lib/binfmt.d)" >&2
      exit 1
    fi
    interpreter=$(awk -F: '{ print $7 }' "$conf")
    if ! [ -x "$interpreter" ]; then
      echo "deps.sh: $conf names $interpreter, which is not there" >&2
      exit 1
    fi
    if [ -e $binfmt/qemu-$cpu ]; then
      echo -1 | $sudo tee $binfmt/qemu-$cpu >/dev/null
    fi
    $sudo tee $binfmt/register <"$conf" >/dev/null
  done
}

emulate_i386() {
  binfmt=/proc/sys/fs/binfmt_misc
  registered=$(sed -n 's/^interpreter //p' $binfmt/qemu-i386 2>/dev/null || true)
  if [ "$registered" = /usr/bin/qemu-i386 ] ||
    { [ -z "$registered" ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; }; then
    return 0  # this emulator, or none needed
  fi
  qemu_10
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
  # 32-bit Windows programs run under Wine's 32-bit loader, an i386 package; the ARM programs'
  # libraries are arm64 and armhf packages.
  for foreign in i386 arm64 armhf; do
    case $missing in
      *:$foreign*)
        dpkg --print-foreign-architectures | grep -qx $foreign ||
          $sudo dpkg --add-architecture $foreign
        ;;
    esac
  done
  apt_update
  # ser2net's package starts its service with a configuration that serves /dev/ttyS0 and
  # /dev/ttyS1 on ports of localhost; the tests run ser2net themselves, with their own. Kept from
  # starting while it installs, and disabled for later boots.
  policy=""
  case " $missing " in
    *" ser2net "*)
      if ! [ -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | $sudo tee $policy >/dev/null
        $sudo chmod 755 $policy
      fi
      ;;
  esac
  # shellcheck disable=SC2086  # the list is meant to split into words
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing ||
    { [ -z "$policy" ] || $sudo rm -f $policy; exit 1; }
  [ -z "$policy" ] || $sudo rm -f $policy
  # The ser2net installed here is the tests' alone: its service is disabled for later boots. One
  # that was there before is the developer's own, and left as it was.
  case " $missing " in
    *" ser2net "*)
      if [ -e /etc/systemd/system/multi-user.target.wants/ser2net.service ]; then
        $sudo systemctl disable ser2net.service >/dev/null 2>&1 ||
          $sudo rm -f /etc/systemd/system/multi-user.target.wants/ser2net.service
      fi
      if ls /etc/rc[2-5].d/S*ser2net >/dev/null 2>&1; then
        $sudo update-rc.d ser2net disable >/dev/null 2>&1 || true
      fi
      ;;
  esac
fi
case $task in
  windows) emulate_i386 ;;
  arm) emulate_arm ;;
  all) emulate_i386 && emulate_arm ;;
esac
