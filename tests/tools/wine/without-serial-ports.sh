#!/bin/sh
# Runs a command in a private mount namespace whose /dev has no serial ports: every other entry
# of /dev is still there (as a link to the real one), but /dev/ttyS*, ttyUSB* and ttyACM* are
# not (nor /dev/console), so neither Wine nor anything it starts can find or open this machine's
# own ports (on these machines /dev/ttyS0 is the console). Wine's server keeps the namespace of
# the program that started it. Needs root.
#   without-serial-ports.sh MOUNT_POINT COMMAND [ARGUMENT...]
set -eu
mkdir -p "$1"
exec unshare -m --propagation private sh -c '
  set -eu
  real=$1
  shift
  mount --rbind /dev "$real"
  mount -t tmpfs -o mode=755 checkfeed-dev /dev
  for entry in "$real"/* "$real"/.[!.]*; do
    name=${entry##*/}
    case $name in
      ttyS* | ttyUSB* | ttyACM* | console | "*" | ".[!.]*") ;;
      *) ln -s "$entry" "/dev/$name" ;;
    esac
  done
  exec "$@"' sh "$@"
