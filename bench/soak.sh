#!/usr/bin/env bash
# soak.sh: the zfsrep service's resident memory over many short send missions.
# Runs itself inside the testbed (testbed/run-in-testbed.sh), so it needs
# root; everything it creates goes away with the testbed.
#
#   bench/soak.sh [MISSIONS] [MINUTES]     default 1000 30; MISSIONS 10..2000, MINUTES 2..60
#
# Builds zfsrep, zfsrepctl and zfs-sim in $ZFSREP_BUILD_DIR (default build/)
# first. Appends MISSIONS send missions of tank/data (a few hundred KiB) to
# the remote host, each without schedules and with erase=1, so that the
# scheduler runs them all, one after another, from the next minute change:
# every run logs in over ssh, lists both sides, estimates, snapshots and
# sends an incremental stream through script, pv and ssh. Every 5 s the
# script removes the finished missions (the store stays small, so what grows
# is the service, not its data) and samples the service's VmRSS. The whole
# run stops after MINUTES (the testbed run after MINUTES + 5), whatever
# count it reached.
#
# Output: one line per sample, "t_s finished rss_kib", then the RSS at the
# first sample after 10 % of the missions had finished (start), at the end,
# its maximum after start, the growth per 100 runs by a least-squares fit
# over the samples after start, the count of failed runs, and the mappings
# whose resident size changed most between start and end (from smaps).
# ZFSREP_SOAK_HEAPTRACK=1 runs the service under heaptrack instead (much
# slower; for finding where memory goes, not for the RSS figures); the
# heaptrack file lands in $ZFSREP_SOAK_OUT (default /tmp).
set -euo pipefail

missions=${1:-1000}
minutes=${2:-30}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
say() { printf '%s\n' "$*" >&2; }
die() { say "soak: $*"; exit 1; }

[[ $missions =~ ^[0-9]+$ ]] && ((missions >= 10 && missions <= 2000)) || die "MISSIONS must be 10..2000"
[[ $minutes =~ ^[0-9]+$ ]] && ((minutes >= 2 && minutes <= 60)) || die "MINUTES must be 2..60"

if [ -z "${ZFSREP_TB_ACTIVE:-}" ]; then
    build=${ZFSREP_BUILD_DIR:-$repo/build}
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$build" -j2 --target zfsrep zfsrepctl zfs-sim >/dev/null
    export ZFSREP_BINARY_DIR=$build
    exec timeout --kill-after=30 $(((minutes + 5) * 60)) "$repo/testbed/run-in-testbed.sh" \
        "$here/$(basename "$0")" "$missions" "$minutes"
fi

# ---------------------------------------------------------------------------
# Inside the testbed.
# ---------------------------------------------------------------------------
bin=$ZFSREP_BINARY_DIR
work=$ZFSREP_TB_DIR/soak
mkdir -p "$work" /tarn/run
socket=/tarn/run/zfsrep-soak.sock
ctl() { "$bin/zfsrepctl/zfsrepctl" --socket "$socket" --timeout 60 "$@"; }

zpid=""
cleanup() {
    [ -n "$zpid" ] && kill -TERM "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null
    return 0
}
trap cleanup EXIT

printf '{"lpcid":"%s","debugging":"no"}\n' "$socket" >"$work/config.json"
if [ -n "${ZFSREP_SOAK_HEAPTRACK:-}" ]; then
    heaptrack -o "${ZFSREP_SOAK_OUT:-/tmp}/zfsrep-soak" "$bin/zfsrep/zfsrep" --cfg "$work/config.json" \
        >"$work/zfsrep.log" 2>&1 &
    zpid=$!
    sleep 2
    # heaptrack starts the service as its child: watch that one
    zpid=$(pgrep -P "$zpid" -x zfsrep || echo "$zpid")
else
    "$bin/zfsrep/zfsrep" --cfg "$work/config.json" >"$work/zfsrep.log" 2>&1 &
    zpid=$!
fi
for _ in $(seq 300); do ctl help_interfaces >/dev/null 2>&1 && break; sleep 0.1; done
ctl help_interfaces >/dev/null || die "the service does not answer ($(cat "$work/zfsrep.log"))"

say "appending $missions missions ..."
for i in $(seq "$missions"); do
    # The parameters (with the password) go through standard input.
    printf '{"caption":"soak %s","action":1,"pool":"tank","name":"data","path":"backup","host":"%s","port":%s,"userid":"%s","passwd":"%s","snapname":"soak","erase":1,"schedules":[]}' \
        "$i" "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER" "$ZFSREP_TB_SSH_PASSWORD" |
        ctl zfsrep_mission_append --json - >/dev/null || die "mission_append $i failed"
done

rss() { awk '$1 == "VmRSS:" { print $2 }' "/proc/$zpid/status"; }
samples=$work/samples.txt
: >"$samples"
finished=0
failed=0
t0=$SECONDS
deadline=$((t0 + minutes * 60))
say "waiting for the runs (at most $minutes minutes) ..."
while ((finished < missions && SECONDS < deadline)); do
    sleep 5
    kill -0 "$zpid" 2>/dev/null || die "the service ended"
    listing=$(ctl zfsrep_mission_alload)
    # one "msnno done" pair per finished mission
    done_now=$(jq -r '.. | objects | select(has("msnno") and ((.finishedtime // "") | test("^[0-9]"))) | "\(.msnno) \(.done)"' \
        <<<"$listing" 2>/dev/null || true)
    while read -r msnno ok; do
        [ -n "$msnno" ] || continue
        ctl zfsrep_mission_remove msnno="$msnno" >/dev/null
        finished=$((finished + 1))
        [ "$ok" = 1 ] || failed=$((failed + 1))
    done <<<"$done_now"
    echo "$((SECONDS - t0)) $finished $(rss)" | tee -a "$samples"
    if [ ! -f "$work/smaps.start" ] && ((finished >= missions / 10)); then
        cp "/proc/$zpid/smaps" "$work/smaps.start"
    fi
done
cp "/proc/$zpid/smaps" "$work/smaps.end"

awk -v n="$missions" -v failed="$failed" '
    { t[NR] = $1; f[NR] = $2; r[NR] = $3 }
    END {
        s = 0
        for (i = 1; i <= NR; i++) if (f[i] >= n / 10) { s = i; break }
        if (s == 0) { print "too few runs finished for a figure"; exit 1 }
        max = 0; sx = sy = sxx = sxy = 0; k = 0
        for (i = s; i <= NR; i++) {
            if (r[i] > max) max = r[i]
            k++; sx += f[i]; sy += r[i]; sxx += f[i] * f[i]; sxy += f[i] * r[i]
        }
        slope = (k > 1 && k * sxx - sx * sx != 0) ? (k * sxy - sx * sy) / (k * sxx - sx * sx) : 0
        printf "\nruns finished: %d of %d (%d failed)\n", f[NR], n, failed
        printf "VmRSS (MiB): start %.1f (after %d runs), end %.1f (after %d runs), max %.1f, change %+.2f\n",
            r[s] / 1024, f[s], r[NR] / 1024, f[NR], max / 1024, (r[NR] - r[s]) / 1024
        printf "fitted growth: %+.1f KiB per 100 runs\n", slope * 100
    }' "$samples"

# Resident kB per mapping (address range and name) at start and at end.
if [ -f "$work/smaps.start" ]; then
    echo "mappings whose Rss changed most (kB, start -> end):"
    mapRss() {
        awk '/^[0-9a-f]+-[0-9a-f]+ / { key = $1 " " ($6 == "" ? "[anon]" : $6) } $1 == "Rss:" { print key, $2 }' "$1"
    }
    join -a1 -a2 -e0 -o 0,1.2,2.2 <(mapRss "$work/smaps.start" | awk '{ print $1 "|" $2, $3 }' | sort) \
        <(mapRss "$work/smaps.end" | awk '{ print $1 "|" $2, $3 }' | sort) |
        awk '{ d = $3 - $2; if (d != 0) printf "%+8d %8d -> %8d  %s\n", d, $2, $3, $1 }' | sort -k1,1gr | head -8
fi
