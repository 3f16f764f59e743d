#!/usr/bin/env bash
# Builds the tests twice more and runs them: once with AddressSanitizer +
# UndefinedBehaviorSanitizer (the tests labelled "unit"), once with
# ThreadSanitizer (the tests labelled "concurrency"). Only the test programs
# of each label are built.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=${ZFSREP_JOBS:-$(nproc)}

"$here/scripts/install-deps.sh"

# build_and_run DIR SANITIZER LABEL ENV...
build_and_run() {
  local dir=$1 sanitizer=$2 label=$3
  shift 3
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DZFSREP_SANITIZE="$sanitizer" -DZFSREP_BUILD_BENCH=OFF >/dev/null
  local targets
  targets=$(cd "$dir" && ctest -N -L "$label" | sed -n 's/^ *Test *#[0-9]*: *//p')
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
  (cd "$dir" && env "$@" ctest --output-on-failure -j "$jobs" -L "$label")
}

build_and_run "${ZFSREP_ASAN_DIR:-$here/build-asan}" address unit \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_run "${ZFSREP_TSAN_DIR:-$here/build-tsan}" thread concurrency \
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan.supp"
