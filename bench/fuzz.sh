#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (ASan + UBSan) in their
# own build directory and runs them side by side, one per core, each on a copy
# of its seed corpus in a temporary directory. SECONDS is the whole run's
# wall-clock budget: each harness gets SECONDS x cores / harnesses. Prints one table: harness, executions,
# crashes (crash, timeout, out-of-memory and sanitizer reports) and the CPU
# seconds the harness got (on a shared machine far fewer than its wall
# seconds), then the totals and the load average. The inputs
# of crashes are kept in $ZFSREP_FUZZ_DIR/artifacts/<harness>/. Exits 1 when
# any harness crashed.
#
#   bench/fuzz.sh [SECONDS]          # default 84 (24 s per harness on 2 cores)
#
# Environment: ZFSREP_FUZZ_DIR (build directory, default build-fuzz/),
# ZFSREP_JOBS (build jobs, default nproc), ZFSREP_FUZZ_LANES (harnesses at
# a time, default nproc).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
budget=${1:-84}
build=${ZFSREP_FUZZ_DIR:-$here/build-fuzz}
jobs=${ZFSREP_JOBS:-$(nproc)}
harnesses=(datagram compact router progress zfsoutput schedule sqlcatalogue)

case $budget in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac

"$here/scripts/install-deps.sh"
# clang and its runtime (libFuzzer, sanitizers); asked for only when missing.
has_libfuzzer() {
  command -v clang++ >/dev/null || return 1
  local probe
  probe=$(mktemp)
  printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *, std::size_t) { return 0; }\n' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$probe" 2>/dev/null
  local status=$?
  rm -f "$probe"
  return $status
}
if ! has_libfuzzer; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: clang with libFuzzer is missing (apt-get install clang libclang-rt-14-dev, as root)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  "${launcher[@]}" -DZFSREP_BUILD_FUZZ=ON -DZFSREP_BUILD_TESTS=OFF -DZFSREP_BUILD_BENCH=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >/dev/null

# The harnesses run side by side, one per core, so the budget buys cores x
# SECONDS of fuzzing; each harness gets its share of that.
lanes=${ZFSREP_FUZZ_LANES:-$(nproc)}
[ "$lanes" -ge 1 ] || lanes=1
each=$((budget * lanes / ${#harnesses[@]}))
[ "$each" -ge 1 ] || each=1
# Memory-backed when possible: the RPC harness writes its SQLite files there.
scratch=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm
work=$(mktemp -d "$scratch/zfsrep-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Qt 5.15's JSON parser leaks the replaced value of a duplicate key; leak
# reports would stop every harness that reads JSON, so only memory errors
# and undefined behaviour count.
# Short allocation stacks keep Qt's many small allocations cheap; rerun an
# input alone for full stacks.
export ASAN_OPTIONS=detect_leaks=0:malloc_context_size=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs one harness in its own directory (TMPDIR inside it, so whatever it
# writes stays there) and leaves "executions crashes cpu" in its result file.
run_one() {
  local h=$1 dir=$work/$1 dict=() cpu executions crashes
  mkdir -p "$dir/tmp"
  cp -r "$here/fuzz/corpus/$h" "$dir/corpus"
  [ -f "$here/fuzz/$h.dict" ] && dict=(-dict="$here/fuzz/$h.dict")
  set +e
  cpu=$( { TIMEFORMAT='%U %S'; time (cd "$dir" && TMPDIR=$dir/tmp "$build/fuzz/fuzz_$h" -max_total_time="$each" \
    -rss_limit_mb=1536 -timeout=20 -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/" "${dict[@]}" corpus \
    >"$dir/log" 2>&1); } 2>&1 )
  set -e
  cpu=$(echo "$cpu" | awk '{ printf "%.0f", $1 + $2 }')
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  crashes=$(find "$dir" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) | wc -l)
  echo "${executions:-0} $crashes ${cpu:-0}" > "$dir/result"
}

running=0
for h in "${harnesses[@]}"; do
  run_one "$h" &
  running=$((running + 1))
  if [ "$running" -ge "$lanes" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

total=0
total_cpu=0
failed=0
rows=()
for h in "${harnesses[@]}"; do
  dir=$work/$h
  read -r executions crashes cpu < "$dir/result"
  if [ "$crashes" -gt 0 ]; then
    failed=1
    mkdir -p "$build/artifacts/$h"
    find "$dir" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'leak-*' \) \
      -exec cp {} "$build/artifacts/$h/" \;
    cp "$dir/log" "$build/artifacts/$h/log"
    echo "fuzz: $h crashed; input and log in $build/artifacts/$h/" >&2
    grep -m5 -E 'ERROR|runtime error|property failed|SUMMARY' "$dir/log" >&2 || true
  fi
  total=$((total + executions))
  total_cpu=$((total_cpu + cpu))
  rows+=("$(printf '%-14s %14s %8s %8s' "$h" "$executions" "$crashes" "$cpu")")
done

printf '%-14s %14s %8s %8s\n' harness executions crashes 'cpu s'
printf '%s\n' "${rows[@]}"
printf '%-14s %14s %8s %8s   (%s s per harness, %s at a time; load average %s)\n' total "$total" "" "$total_cpu" "$each" "$lanes" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
exit "$failed"
