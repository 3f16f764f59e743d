#!/usr/bin/env bash
# Installs what is missing, builds zfsrep and runs the whole test suite.
# End-to-end tests need root (they build a private mount namespace with a
# simulated appliance and a real sshd); without root they are reported as
# skipped, never as passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZFSREP_BUILD_DIR:-$here/build}
jobs=${ZFSREP_JOBS:-$(nproc)}

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" "$@"
