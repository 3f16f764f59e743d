#!/usr/bin/env bash
# export_bench.sh: throughput of export and restore pipelines with gzip (one
# core) and pigz (every core), against `zfs send -R > /dev/null` as the
# ceiling, on random and on compressible data. Runs itself inside the testbed
# (testbed/run-in-testbed.sh), so it needs root; everything it creates goes
# away with the testbed. Bounded: the testbed run is stopped after 25 minutes.
#
#   bench/export_bench.sh [SIZE] [REPEATS]    default 1G 1; SIZE 1M..1G, REPEATS 1..3
#
# Builds zfs-sim in $ZFSREP_BUILD_DIR (default build/) first. For each kind of
# data (random: /dev/urandom; compressible: a tar of /usr/share, /usr/include
# and /usr/lib cut to SIZE) it writes SIZE bytes into tank/bench, snapshots
# tank/bench@b, then times the pipelines the service runs (pv included, its
# display discarded), REPEATS times each, and reports the median:
#   ceiling      zfs send -R tank/bench@b > /dev/null
#   export       zfs send -R tank/bench@b | pv -r -p -s N | TOOL > FILE   (gzip -6 | pigz -6 -p CORES)
#   fsync        sync FILE (the flush the service does before the rename)
#   check        cat FILE | pv … | TOOL -t                               (the read-back check)
#   export+check export + fsync + check: what an export mission costs now
#   restore      cat FILE | pv … | TOOL -dc | zfs recv -Fu tank/restored  (restored data compared by sha256)
# MB/s is the replication stream's size (MB = 10^6 bytes) over the time, for
# every step (also the check and the restore, which read the smaller file);
# ratio is that over the ceiling's MB/s. The machine is shared: the busy
# column is the whole machine's CPU use during the step (% of all cores),
# so runs taken while others build are visibly noisy.
set -euo pipefail

size=${1:-1G}
repeats=${2:-1}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
say() { printf '%s\n' "$*" >&2; }
die() { say "export_bench: $*"; exit 1; }

[[ $repeats =~ ^[1-3]$ ]] || die "REPEATS must be 1..3"
bytes=$(numfmt --from=iec "$size" 2>/dev/null) || die "SIZE must look like 256M or 1G"
if ((bytes < 1048576 || bytes > 1073741824)); then die "SIZE must be 1M..1G"; fi
command -v pigz >/dev/null || die "pigz is not installed (scripts/install-deps.sh)"

if [ -z "${ZFSREP_TB_ACTIVE:-}" ]; then
    build=${ZFSREP_BUILD_DIR:-$repo/build}
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" -j2 --target zfs-sim >/dev/null
    export ZFSREP_BINARY_DIR=$build
    exec timeout --kill-after=30 1500 "$repo/testbed/run-in-testbed.sh" "$here/$(basename "$0")" "$size" "$repeats"
fi

# ---------------------------------------------------------------------------
# Inside the testbed.
# ---------------------------------------------------------------------------
work=$ZFSREP_TB_DIR/bench
mkdir -p "$work"
cores=$(nproc)
calc() { local e=$1; shift; awk -v a="${1:-0}" -v b="${2:-0}" -v c="${3:-0}" -v d="${4:-0}" "BEGIN { print $e }"; }
# /proc/stat's first line: busy and total ticks of all cores
ticks() {
    local cpu u n s i w q sq st
    read -r cpu u n s i w q sq st _ </proc/stat
    echo "$((u + n + s + q + sq + st)) $((u + n + s + i + w + q + sq + st))"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

results=$work/results.txt
: >"$results"
# timed KIND STEP TOOL REP -- bash text: runs it under pipefail, appends
# "KIND STEP TOOL REP SECONDS BUSY%" to the results.
timed() {
    local kind=$1 step=$2 tool=$3 rep=$4 script=$6 t0 t1 m0 m1 b0 n0 b1 n1
    m0=$(ticks)
    t0=$EPOCHREALTIME
    bash -c "set -o pipefail; $script" 2>"$work/step.err" || die "$kind $step $tool failed: $(cat "$work/step.err")"
    t1=$EPOCHREALTIME
    m1=$(ticks)
    read -r b0 n0 <<<"$m0"
    read -r b1 n1 <<<"$m1"
    echo "$kind $step $tool $rep $(calc 'b - a' "$t0" "$t1") $(calc '(c - a) / (d - b) * 100' "$b0" "$n0" "$b1" "$n1")" \
        >>"$results"
}

bench_kind() {
    local kind=$1 data stream rep tool file sum
    zfs create tank/bench
    data=$(zfs sim-path tank/bench)
    say "$kind: writing $size into tank/bench ..."
    if [ "$kind" = random ]; then
        head -c "$bytes" /dev/urandom >"$data/big.bin"
    else
        { tar -cf - /usr/share /usr/include /usr/lib 2>/dev/null || true; } | head -c "$bytes" >"$data/big.bin"
    fi
    sum=$(sha256sum <"$data/big.bin" | cut -d' ' -f1)
    zfs snapshot tank/bench@b
    # The snapshot keeps the data; without the live copy the pool holds the
    # restored dataset too.
    rm -f "$data/big.bin"
    stream=$(zfs send -R tank/bench@b | wc -c) # also warms the page cache
    echo "$kind stream $stream" >>"$work/sizes.txt"
    for rep in $(seq "$repeats"); do
        timed "$kind" ceiling zfs "$rep" -- "zfs send -R tank/bench@b > /dev/null"
        for tool in gzip pigz; do
            local stage="$tool -6"
            [ "$tool" = pigz ] && stage="pigz -6 -p $cores"
            file=$work/bench@b.$tool.gz.zsa.part
            say "$kind, repetition $rep: $tool ..."
            timed "$kind" export "$tool" "$rep" -- \
                "zfs send -R tank/bench@b | pv -r -p -s $stream | $stage > '$file'"
            timed "$kind" fsync "$tool" "$rep" -- "sync '$file'"
            timed "$kind" check "$tool" "$rep" -- "cat -- '$file' | pv -r -p -s $(stat -c %s "$file") | $tool -t"
            echo "$kind file $tool $(stat -c %s "$file")" >>"$work/sizes.txt"
            timed "$kind" restore "$tool" "$rep" -- \
                "cat -- '$file' | pv -r -p -s $(stat -c %s "$file") | $tool -dc | zfs recv -Fu tank/restored"
            [ "$(sha256sum <"$(zfs sim-path tank/restored)/big.bin" | cut -d' ' -f1)" = "$sum" ] ||
                die "$kind: the $tool restore differs from the original"
            zfs destroy -r tank/restored
            rm -f "$file"
        done
    done
    zfs destroy -r tank/bench
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
bench_kind random
bench_kind compressible

# ---------------------------------------------------------------------------
# Report: medians over the repetitions.
# ---------------------------------------------------------------------------
secs() { awk -v k="$1" -v s="$2" -v t="$3" '$1 == k && $2 == s && $3 == t { print $5 }' "$results" | median; }
busy() { awk -v k="$1" -v s="$2" -v t="$3" '$1 == k && $2 == s && $3 == t { print $6 }' "$results" | median; }
fmt='%-13s %-13s %-5s %8s %9s %7s %8s %6s\n'
printf '\nexport and restore of %s (%d bytes of file data) on the testbed; %d cores; pigz -p %d; level 6; %d repetition(s), medians\n' \
    "$size" "$bytes" "$cores" "$cores" "$repeats"
# shellcheck disable=SC2059
printf "$fmt" data step tool seconds "MB/s" ratio "file_MB" "busy%"
for kind in random compressible; do
    stream=$(awk -v k="$kind" '$1 == k && $2 == "stream" { print $3 }' "$work/sizes.txt")
    ceiling=$(secs "$kind" ceiling zfs)
    # shellcheck disable=SC2059
    printf "$fmt" "$kind" ceiling zfs "$(calc 'sprintf("%.2f", a)' "$ceiling")" "$(calc 'sprintf("%.1f", a / b / 1e6)' "$stream" "$ceiling")" \
        1.00 - "$(calc 'sprintf("%.0f", a)' "$(busy "$kind" ceiling zfs)")"
    for step in export fsync check export+check restore; do
        for tool in gzip pigz; do
            if [ "$step" = export+check ]; then
                s=$(calc 'a + b + c' "$(secs "$kind" export "$tool")" "$(secs "$kind" fsync "$tool")" "$(secs "$kind" check "$tool")")
                b=-
            else
                s=$(secs "$kind" "$step" "$tool")
                b=$(calc 'sprintf("%.0f", a)' "$(busy "$kind" "$step" "$tool")")
            fi
            file=$(awk -v k="$kind" -v t="$tool" '$1 == k && $2 == "file" && $3 == t { print $4 }' "$work/sizes.txt" | tail -1)
            # shellcheck disable=SC2059
            printf "$fmt" "$kind" "$step" "$tool" "$(calc 'sprintf("%.2f", a)' "$s")" \
                "$(calc 'sprintf("%.1f", a / b / 1e6)' "$stream" "$s")" "$(calc 'sprintf("%.2f", c / b)' "$stream" "$s" "$ceiling")" \
                "$(calc 'sprintf("%.1f", a / 1e6)' "$file")" "$b"
        done
    done
    printf '%s: pigz export %.2fx gzip export; pigz export+check %.2fx gzip export; check %.2f s/GiB (pigz -t) %.2f s/GiB (gzip -t), per GiB of stream\n' \
        "$kind" "$(calc 'a / b' "$(secs "$kind" export gzip)" "$(secs "$kind" export pigz)")" \
        "$(calc 'a / (b + c + d)' "$(secs "$kind" export gzip)" "$(secs "$kind" export pigz)" "$(secs "$kind" fsync pigz)" "$(secs "$kind" check pigz)")" \
        "$(calc 'a / b * 1073741824' "$(secs "$kind" check pigz)" "$stream")" \
        "$(calc 'a / b * 1073741824' "$(secs "$kind" check gzip)" "$stream")"
done
printf 'load average (1, 5, 15 min) at start: %s, at end: %s\n' "$load_start" "$(cut -d' ' -f1-3 /proc/loadavg)"
