#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#   scripts/fuzz.sh --smoke        every target, a short fixed number of runs (the test command)
#   scripts/fuzz.sh --long [SECS]  every target for SECS seconds (default 300), two at a time
# Crashes are written to build-fuzz/crashes/; turn each into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:---smoke}
secs=${2:-300}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSENTREL_FUZZ=ON -DSENTREL_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)"
mkdir -p build-fuzz/crashes
targets=()
for f in fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done

run_one() {
  local t=$1 name=${1%_fuzz}
  local corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  [[ -d fuzz/corpus/$name ]] && cp -n fuzz/corpus/$name/* "$corpus"/ 2>/dev/null || true
  local args=(-artifact_prefix=build-fuzz/crashes/"$name"- -max_len=65536 -rss_limit_mb=2048)
  if [[ $mode == --smoke ]]; then
    args+=(-runs=20000 -seed=1)
  else
    args+=(-max_total_time="$secs")
  fi
  if ASAN_OPTIONS=detect_leaks=1 build-fuzz/bin/"$t" "${args[@]}" "$corpus" fuzz/corpus/"$name" \
      >build-fuzz/"$name".log 2>&1; then
    echo "fuzz $name: ok ($(grep -Eo 'stat::number_of_executed_units: [0-9]+|Done [0-9]+ runs' build-fuzz/"$name".log | tail -1))"
  else
    echo "fuzz $name: FAILED, see build-fuzz/$name.log"; tail -30 build-fuzz/"$name".log; return 1
  fi
}

status=0
if [[ $mode == --smoke ]]; then
  for t in "${targets[@]}"; do run_one "$t" || status=1; done
else
  # Two at a time on the two cores.
  for ((i = 0; i < ${#targets[@]}; i += 2)); do
    run_one "${targets[i]}" & p1=$!
    p2=
    if ((i + 1 < ${#targets[@]})); then run_one "${targets[i+1]}" & p2=$!; fi
    wait $p1 || status=1
    [[ -n $p2 ]] && { wait $p2 || status=1; }
  done
fi
exit $status
