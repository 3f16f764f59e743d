#!/usr/bin/env bash
# Builds the tests twice more: once with AddressSanitizer + UndefinedBehavior-
# Sanitizer (runs the unit tests), once with ThreadSanitizer (runs the
# concurrency tests).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=${ZFSREP_JOBS:-$(nproc)}

"$here/scripts/install-deps.sh"

asan=${ZFSREP_ASAN_DIR:-$here/build-asan}
cmake -S "$here" -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DZFSREP_SANITIZE=address -DZFSREP_BUILD_BENCH=OFF >/dev/null
cmake --build "$asan" -j "$jobs"
(cd "$asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" -L unit)

tsan=${ZFSREP_TSAN_DIR:-$here/build-tsan}
cmake -S "$here" -B "$tsan" -DCMAKE_BUILD_TYPE=Debug -DZFSREP_SANITIZE=thread -DZFSREP_BUILD_BENCH=OFF >/dev/null
cmake --build "$tsan" -j "$jobs"
(cd "$tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan.supp" \
  ctest --output-on-failure -j "$jobs" -L concurrency)
