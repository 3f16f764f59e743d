#!/usr/bin/env bash
# The service's main job on a simulated appliance: installs what is missing,
# builds, brings up the testbed (a local pool "tank" and a remote host
# reached through a real sshd on 127.0.0.1, in a private mount namespace),
# starts zfsrep on it with the testbed's ssh key, creates a send mission with
# `zfsrepctl add`, starts it with `zfsrepctl run` and shows its progress live,
# then runs an incremental send that moves only new data (bytes from
# `zfsrepctl history`), and leaves the service running until Ctrl-C. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ZFSREP_BUILD_DIR:-$here/build}

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (the testbed needs a private mount namespace and an sshd)" >&2
  exit 1
fi
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target zfsrep zfsrepctl zfs-sim
export ZFSREP_BINARY_DIR=$build
exec "$here/testbed/run-in-testbed.sh" "$here/scripts/demo-inside.sh"
