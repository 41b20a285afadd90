# Sourced by wine.sh and prefix.sh, with $dir the tests' Wine folder: the one prefix, Wine quiet
# and without its Mono and Gecko prompts, and every Wine process where this machine's serial
# ports do not exist (without-serial-ports.sh).
export WINEPREFIX="$dir/prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe="
covered() {
  "$(dirname "$0")/without-serial-ports.sh" "$dir/dev" "$@"
}
