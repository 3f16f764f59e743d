#!/usr/bin/env bash
# parallel_bench.sh: two full sends to two backup hosts run side by side
# against the same two run one after the other, through the real zfsrep
# service: the wall time from the minute both fall due until both finished,
# and the ratio one-after-the-other / side-by-side. Runs itself inside the
# testbed (testbed/run-in-testbed.sh, which has two remote hosts), so it
# needs root; everything it creates goes away with the testbed. Bounded: the
# testbed run is stopped after 40 minutes.
#
#   bench/parallel_bench.sh [REPEATS] [SIZE]    default 2 512M; REPEATS 1..5, SIZE 1M..1G
#
# Builds zfsrep, zfsrepctl and zfs-sim in $ZFSREP_BUILD_DIR (default build/)
# first. SIZE random bytes go into tank/p1 and the same bytes into tank/p2.
# Each repetition measures both orders of the service's configuration, one
# after the other (the order alternates between repetitions):
#   sequential  maxparallel 1 (one run at a time, the service's default)
#   parallel    maxparallel 2 (maxperhost 1: one run per host)
# For each, the service is restarted with that configuration (key login with
# the testbed's client key through "sshidentity", no password anywhere), two
# send missions are added with `zfsrepctl add --once` in the same minute
# (tank/p1 to backup on host 1, tank/p2 to backup on host 2; fresh targets,
# so both are full sends of SIZE), both fall due at the next minute change,
# and the script polls `zfsrepctl history` of both every 0.25 s until both
# runs ended. wall = the moment both had ended - the minute change at which
# they fell due (the scheduler's pick included, the same in both modes).
# Every copy is compared with the original (cmp); the targets are destroyed
# and the missions removed after each measurement. Every measurement starts
# at least ZFSREP_BENCH_SETTLE seconds (default 10) after the copies before
# it were destroyed (see transfer_bench.sh: memory the VM's balloon took
# back makes a receive slower).
#
# ZFSREP_BENCH_RATE (e.g. 20M; default none) caps every local `zfs send` at
# that many bytes per second (the simulator's knob send-rate), so that each
# transfer is bound by its own "link" as over a real network instead of by
# the CPU the two transfers share on this machine.
#
# A service that does not know the key maxparallel (it warns "unknown key"
# at start-up) runs the "parallel" missions one after the other too; the
# report says so.
set -euo pipefail

repeats=${1:-2}
size=${2:-512M}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
say() { printf '%s\n' "$*" >&2; }
die() { say "parallel_bench: $*"; exit 1; }

[[ $repeats =~ ^[1-5]$ ]] || die "REPEATS must be 1..5"
bytes=$(numfmt --from=iec "$size" 2>/dev/null) || die "SIZE must look like 256M or 1G"
settle=${ZFSREP_BENCH_SETTLE:-10}
[[ $settle =~ ^[0-9]{1,2}$ ]] || die "ZFSREP_BENCH_SETTLE must be 0..99 seconds"
if ((bytes < 1048576 || bytes > 1073741824)); then die "SIZE must be 1M..1G"; fi
rate=${ZFSREP_BENCH_RATE:-}
[[ -z $rate || $rate =~ ^[1-9][0-9]{0,5}[KMG]?$ ]] || die "ZFSREP_BENCH_RATE must look like 20M"

if [ -z "${ZFSREP_TB_ACTIVE:-}" ]; then
    build=${ZFSREP_BUILD_DIR:-$repo/build}
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" -j2 --target zfsrep zfsrepctl zfs-sim >/dev/null
    export ZFSREP_BINARY_DIR=$build
    exec timeout --kill-after=30 2400 "$repo/testbed/run-in-testbed.sh" "$here/$(basename "$0")" "$repeats" "$size"
fi

# ---------------------------------------------------------------------------
# Inside the testbed.
# ---------------------------------------------------------------------------
# calc, ticks, stats
# shellcheck source=bench/benchlib.sh
. "$here/benchlib.sh"
bin=$ZFSREP_BINARY_DIR
work=$ZFSREP_TB_DIR/bench
mkdir -p "$work" /tarn/run
socket=/tarn/run/zfsrep-bench.sock
ctl() { "$bin/zfsrepctl/zfsrepctl" --socket "$socket" --timeout 30 "$@"; }
remote1() { ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs "$@"; }
remote2() { ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE2_ROOT zfs "$@"; }

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
say "writing $size of random data into tank/p1 and tank/p2 ..."
zfs create tank/p1
zfs create tank/p2
head -c "$bytes" /dev/urandom >"$(zfs sim-path tank/p1)/big.bin"
cp "$(zfs sim-path tank/p1)/big.bin" "$(zfs sim-path tank/p2)/big.bin"
original=$(zfs sim-path tank/p1)/big.bin
sync
if [ -n "$rate" ]; then echo "$rate" >"$ZFS_SIM_ROOT/faults/send-rate"; fi

zpid=""
cleanup() {
    [ -n "$zpid" ] && kill -TERM "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# (Re)starts the service with maxparallel $1 and maxperhost 1.
knows_maxparallel=yes
start_service() {
    local parallel=$1
    if [ -n "$zpid" ]; then
        kill -TERM "$zpid" 2>/dev/null
        wait "$zpid" 2>/dev/null || true
        zpid=""
    fi
    printf '{"lpcid":"%s","debugging":"no","sshidentity":"%s","maxparallel":%d,"maxperhost":1}\n' \
        "$socket" "$ZFSREP_TB_SSH_KEY" "$parallel" >"$work/config.json"
    : >"$work/zfsrep.log"
    "$bin/zfsrep/zfsrep" --cfg "$work/config.json" >>"$work/zfsrep.log" 2>&1 &
    zpid=$!
    for _ in $(seq 150); do ctl help_interfaces >/dev/null 2>&1 && break; sleep 0.1; done
    ctl help_interfaces >/dev/null || die "the service does not answer ($(cat "$work/zfsrep.log"))"
    if grep -q 'maxparallel: unknown key' "$work/zfsrep.log"; then knows_maxparallel=no; fi
}

# A field of the newest run of mission $1 from `zfsrepctl history --json`
# (one field a line, e.g. `      "ended": 1765152301,`); empty when none.
run_field() {
    ctl history "$1" --limit 1 --json | sed -n "s/^ *\"$2\": *\"\{0,1\}\([^\",]*\)\"\{0,1\},\{0,1\}$/\1/p" | head -1
}

# Adds a once-only send of tank/$1 to backup on host $2 ($3 its port); prints
# the mission's number.
add_send() {
    local added
    added=$(ctl add --caption "bench $1" --send "tank/$1" --to "$ZFSREP_TB_SSH_USER@$2:$3/backup" \
        --series bench --no-password --once) || die "zfsrepctl add failed: $added"
    sed -n 's/^mission \([0-9]*\) added.*/\1/p' <<<"$added"
}

results=$work/results.txt
: >"$results"

# One measurement: maxparallel $2 in repetition $1.
measure() {
    local rep=$1 parallel=$2 a b due now t_end m0 m1 busy0 total0 busy1 total1 load sa ea sb eb
    start_service "$parallel"
    sync
    sleep "$settle"
    # Both missions must fall due at the same minute change: add them when
    # at least 5 s are left before it.
    now=$(date +%s)
    if (((now % 60) >= 55)); then sleep $((61 - now % 60)); fi
    now=$(date +%s)
    due=$(((now / 60 + 1) * 60))
    a=$(add_send p1 "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT")
    b=$(add_send p2 "$ZFSREP_TB_SSH2_HOST" "$ZFSREP_TB_SSH2_PORT")
    [ -n "$a" ] && [ -n "$b" ] || die "no mission numbers"
    (($(date +%s) < due)) || die "the two missions were added across a minute change"
    load=$(cut -d' ' -f1 /proc/loadavg)
    say "repetition $rep, maxparallel $parallel: missions $a and $b fall due in $((due - $(date +%s))) s ..."
    until [ "$(date +%s)" -ge "$due" ]; do sleep 0.2; done
    m0=$(ticks)
    t_end=""
    ea=0
    eb=0
    # At most 10 minutes for the two transfers; a mission whose run ended is
    # not asked again.
    for _ in $(seq 2400); do
        if [ "${ea:-0}" = 0 ]; then ea=$(run_field "$a" ended); fi
        if [ "${eb:-0}" = 0 ]; then eb=$(run_field "$b" ended); fi
        if [ "${ea:-0}" != 0 ] && [ "${eb:-0}" != 0 ]; then
            t_end=$EPOCHREALTIME
            break
        fi
        sleep 0.25
    done
    m1=$(ticks)
    [ -n "$t_end" ] || die "the runs did not end within 10 minutes: $(ctl list)"
    for m in "$a" "$b"; do
        [ "$(run_field "$m" outcome)" = succeeded ] || die "mission $m: $(ctl history "$m" --limit 1)"
    done
    cmp -s "$original" "$(remote1 sim-path backup/p1)/big.bin" || die "the copy on host 1 differs"
    cmp -s "$original" "$(remote2 sim-path backup/p2)/big.bin" || die "the copy on host 2 differs"
    sa=$(run_field "$a" started)
    sb=$(run_field "$b" started)
    read -r busy0 total0 <<<"$m0"
    read -r busy1 total1 <<<"$m1"
    # mode rep wall startA-due endA-due startB-due endB-due bytesA bytesB busy% load
    echo "$parallel $rep $(calc 'b - a' "$due" "$t_end") $((sa - due)) $((ea - due)) $((sb - due)) $((eb - due))" \
        "$(run_field "$a" bytes) $(run_field "$b" bytes)" \
        "$(calc '(c - a) / (d - b) * 100' "$busy0" "$total0" "$busy1" "$total1") $load" >>"$results"
    ctl remove "$a" --yes >/dev/null
    ctl remove "$b" --yes >/dev/null
    remote1 destroy -r backup/p1
    remote2 destroy -r backup/p2
}

for rep in $(seq "$repeats"); do
    if ((rep % 2)); then order="1 2"; else order="2 1"; fi
    for parallel in $order; do measure "$rep" "$parallel"; done
done

# ---------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------
cap="no rate limit"
[ -z "$rate" ] || cap="each zfs send capped at $rate B/s"
printf '\ntwo full sends of %s (%d bytes): tank/p1 to %s, tank/p2 to %s; %s; %d cores\n' \
    "$size" "$bytes" "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH2_HOST" "$cap" "$(nproc)"
fmt='%-4s %-12s %8s %13s %13s %9s %9s %7s %6s\n'
# shellcheck disable=SC2059
printf "$fmt" rep maxparallel wall_s "run1_s" "run2_s" overlap_s "MB/s" "busy_%" load
while read -r parallel rep wall sa ea sb eb ba bb busy load; do
    overlap=$(((ea < eb ? ea : eb) - (sa > sb ? sa : sb)))
    # shellcheck disable=SC2059
    printf "$fmt" "$rep" "$parallel" "$(printf '%.2f' "$wall")" "$sa..$ea" "$sb..$eb" "$((overlap > 0 ? overlap : 0))" \
        "$(printf '%.1f' "$(calc '(a + b) / c / 1e6' "$ba" "$bb" "$wall")")" "$(printf '%.0f' "$busy")" "$load"
done <"$results"
awk '$1 == 1 { print $3 }' "$results" >"$work/wall.1"
awk '$1 == 2 { print $3 }' "$results" >"$work/wall.2"
# per repetition: sequential wall / parallel wall
awk '{ w[$2, $1] = $3 } END { for (k in w) { split(k, p, SUBSEP); if (p[2] == 1) print w[p[1], 1] / w[p[1], 2] } }' \
    "$results" >"$work/ratio"
read -r smin smed smax < <(stats 1 "$work/wall.1")
read -r pmin pmed pmax < <(stats 1 "$work/wall.2")
read -r rmin rmed rmax < <(stats 1 "$work/ratio")
printf '\nwall time (s) min / median / max: one after the other %.1f / %.1f / %.1f, side by side %.1f / %.1f / %.1f\n' \
    "$smin" "$smed" "$smax" "$pmin" "$pmed" "$pmax"
printf 'ratio one after the other / side by side, per repetition: min %.2f, median %.2f, max %.2f\n' "$rmin" "$rmed" "$rmax"
printf 'load average (1, 5, 15 min) at start: %s, at end: %s\n' "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$knows_maxparallel" = no ]; then
    printf 'NOTE: this service does not know the key maxparallel: the maxparallel 2 runs went one after the other too.\n'
fi
cat <<'EOF'
columns: maxparallel 1 = one run at a time, 2 = side by side (maxperhost 1); wall_s from the minute change at
which both missions fell due until both runs had ended (polled every 0.25 s); run1_s/run2_s the runs' start..end
from the run history, in whole seconds after that minute change; overlap_s how long both ran at once; MB/s both
runs' bytes over wall_s; busy_% the whole machine's CPU use during the measurement (% of all cores); load the
1-minute load average when the missions were added.
EOF
