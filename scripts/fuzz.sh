#!/bin/sh
# Runs every fuzz target at once for a given time (default 600 s), each on its own corpus and on
# what it finds: what is new is kept apart, in build/fuzz/found/TARGET (to look through, and add to
# tests/fuzz/corpus by hand when it is worth keeping), and the input that makes a target fail, in
# build/fuzz/crashes/TARGET. Says, for each target, how many runs in how long, and what became of
# it.
#   scripts/fuzz.sh [SECONDS]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
./scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=build/fuzz
mkdir -p "$out/logs"
export ASAN_OPTIONS="quarantine_size_mb=16:detect_leaks=1"
for binary in "$out"/tests/fuzz/fuzz_*; do
  name=${binary##*/fuzz_}
  mkdir -p "$out/found/$name" "$out/crashes/$name"
  # The same options as the test command's (tests/fuzz/CMakeLists.txt), and its own.
  options=$(sed -n "s/^checkfeed_fuzz_target($name .*OPTIONS \(.*\))$/\1/p" tests/fuzz/CMakeLists.txt)
  # shellcheck disable=SC2086  # the options split into words
  "$binary" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=256 -malloc_limit_mb=256 \
    -dict="tests/fuzz/dictionaries/$name.dict" -artifact_prefix="$out/crashes/$name/" \
    -print_final_stats=1 $options "$out/found/$name" "tests/fuzz/corpus/$name" \
    >"$out/logs/$name.log" 2>&1 &
done
echo "Fuzzing every target for $seconds s at once..."
failed=0
wait || failed=1
for log in "$out"/logs/*.log; do
  name=$(basename "$log" .log)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  done_line=$(grep -E '^Done [0-9]+ runs' "$log" || true)
  crashes=$(find "$out/crashes/$name" -type f | wc -l)
  found=$(find "$out/found/$name" -type f | wc -l)
  if [ -n "$done_line" ] && [ "$crashes" -eq 0 ]; then
    echo "$name: $done_line ($runs runs), nothing found wrong; $found new inputs in $out/found/$name"
  else
    failed=1
    echo "$name: FAILED after ${runs:-?} runs; see $log, and the input in:"
    find "$out/crashes/$name" -type f
  fi
done
exit $failed
