#!/bin/sh
# Runs one fuzz target over its corpus, then for FUZZ_SECONDS (10 unless set) of new inputs, and
# prints libFuzzer's last words ("Done N runs in S second(s)"); on a failure, the input that shows
# it is kept in ARTIFACTS and its path printed.
#   run.sh TARGET CORPUS DICTIONARY ARTIFACTS [LIBFUZZER-OPTIONS...]
set -u
target=$1 corpus=$2 dictionary=$3 artifacts=$4
shift 4
seconds=${FUZZ_SECONDS:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/new" "$artifacts"
# AddressSanitizer keeps freed memory out of use for a while to catch a use after it is freed:
# by default up to 256 MB of it, which alone would reach the limit on memory. 16 MB of it still
# catches a use within thousands of allocations.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16:detect_leaks=1"
# New inputs go to a folder of the run's own: the corpus in the repository stays as it was chosen.
"$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=256 -malloc_limit_mb=256 \
  -dict="$dictionary" -artifact_prefix="$artifacts/" -print_final_stats=1 "$@" \
  "$work/new" "$corpus" >"$work/log" 2>&1
status=$?
if [ $status -ne 0 ]; then
  tail -n 60 "$work/log"
  echo "fuzz: $(basename "$target") failed (status $status); its input is kept in $artifacts"
  exit 1
fi
grep -E '^(INFO: seed corpus|Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb)' \
  "$work/log"
