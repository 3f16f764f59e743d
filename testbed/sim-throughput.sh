#!/usr/bin/env bash
# Measures the simulator on this machine: a full `zfs send` of SIZE (default
# 1G) random bytes to /dev/null, and `zfs send | zfs recv` of the same into a
# second pool. Needs no root; uses a temporary state root that it removes.
#
#   testbed/sim-throughput.sh [SIZE]        SIZE like 1G or 256M
set -eu
here=$(cd "$(dirname "$0")" && pwd)
size=${1:-1G}
bin=${ZFSREP_BINARY_DIR:-$here/../build}/sim
[ -x "$bin/zfs-sim" ] || { echo "build zfs-sim first ($bin/zfs-sim missing)" >&2; exit 1; }
export PATH="$bin:$PATH"
export ZFS_SIM_ROOT=$(mktemp -d /tmp/zfssim-speed.XXXXXX)
trap 'rm -rf "$ZFS_SIM_ROOT"' EXIT

bytes=$(numfmt --from=iec "$size")
zpool create src $((bytes / 1048576 * 3 + 256))M
zpool create dst $((bytes / 1048576 * 3 + 256))M
zfs create src/data
head -c "$bytes" /dev/urandom > "$(zfs sim-path src/data)/payload"
zfs snapshot src/data@s
sync

rate() { # seconds -> MB/s (10^6 bytes)
    awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / s / 1e6 }'
}
t0=$(date +%s.%N); zfs send src/data@s > /dev/null; t1=$(date +%s.%N)
send=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
t0=$(date +%s.%N); zfs send src/data@s | zfs recv dst/data; t1=$(date +%s.%N)
both=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
cmp "$(zfs sim-path src/data)/payload" "$(zfs sim-path dst/data)/payload"
printf 'zfs send %s > /dev/null:     %.2f s  %s MB/s\n' "$size" "$send" "$(rate "$send")"
printf 'zfs send %s | zfs recv:      %.2f s  %s MB/s\n' "$size" "$both" "$(rate "$both")"
