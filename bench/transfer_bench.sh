#!/usr/bin/env bash
# transfer_bench.sh: throughput of a send mission through the zfsrep service
# against the same bytes through the bare pipeline, and the service's CPU and
# memory during the transfer. Runs itself inside the testbed
# (testbed/run-in-testbed.sh), so it needs root; everything it creates goes
# away with the testbed. Bounded: the testbed run is stopped after 40 minutes.
#
#   bench/transfer_bench.sh [REPEATS] [SIZE]    default 3 1G; REPEATS 1..5, SIZE up to 1G
#
# Every transfer, bare or not, starts at least ZFSREP_BENCH_SETTLE seconds
# (default 10; 0 turns it off) after the copy of the run before it was
# destroyed. On a VM whose balloon reports free pages to the host, memory
# freed a few seconds ago is handed back, and writing into it again costs a
# host fault per page: the receive's page cache then fills several times
# slower. A transfer that starts at once after a destroy reuses memory the
# host still backs. The service's run waits for the minute change, the bare
# runs used to follow each other at once, so without the pause the
# comparison favoured the bare runs.
#
# Builds zfsrep, zfsrepctl, zfs-sim and transfer_probe in $ZFSREP_BUILD_DIR
# (default build/) first. ZFSREP_BENCH_VERBOSE=1 also prints what the probe
# saw. SIZE random bytes go into tank/data, snapshot tank/data@bench; then
# a plain bare run, and for each of 2 x REPEATS service runs (cipher order
# "default" and "own" in turn): a same-options bare run, the service run,
# another same-options bare run, a "stage" bare run and a plain bare run.
# Each service run is compared with the mean of the same-options runs around
# it, with the stage run after it and with the mean of the plain runs before
# and after it. Every bare run sends the newest
# snapshot of tank/data, as the service sends its own newest, and is timed
# around the bash (ssh handshake included; CPU from `times`):
#   plain    zfs send -w SNAP | sshpass -e ssh -p PORT -o 'StrictHostKeyChecking no'
#              USER@127.0.0.1 '/usr/sbin/zfs recv backup/bare'   (ssh's own ciphers)
#   same     zfs send -w -R SNAP | sshpass -e ssh … -o Ciphers=ORDER USER@127.0.0.1
#              '/usr/sbin/zfs recv -s -u -o mountpoint=none -x sharenfs -x sharesmb
#              -o readonly=on backup/bare'
#            the service's own zfs options and the cipher order of the service
#            run it is compared with; no pv, no script, no connection master.
#   stage    the same stream composed as the service's stage, by hand:
#              script -q -e -c "zfs send -w -R SNAP | zfsrep --pipe-buffer
#              1048576 pv … | sshpass -e ssh -o ControlPath=M … 'zfs recv …'"
#            through a connection master M opened (with the same cipher
#            order) before the clock starts, so, like the service's stage,
#            without a login; r_stage = service over it.
#   service  the real zfsrep binary with a send mission appended by zfsrepctl
#            (no schedules: it runs at the next minute change, so each run
#            waits up to a minute). Its stage sends its own newest snapshot
#            through `script -q -e -c "set -o pipefail; zfs send -w -R … |
#            zfsrep --pipe-buffer 1048576 pv -f -n -b -t -i 1 | sshpass -e ssh …
#            '/usr/sbin/zfs recv …'" /dev/null` over the run's ssh connection master.
#            The service is restarted for each run: cipher "default" runs it
#            with the key sshciphers set to OpenSSH's default client order
#            (chacha20-poly1305 first), cipher "own" with its built-in order
#            (AES-GCM first where the CPU has AES instructions).
#            transfer_probe watches the service through /proc: the stage time
#            is the life of that `script` child (start from /proc, end within
#            one 25 ms poll; the session's set-up over the master included);
#            the service's CPU is its utime+stime across the stage, the
#            pipeline's CPU its cutime+cstime (the reaped script with
#            everything below it; the master's encryption is not in it);
#            memory is its VmRSS sampled every 0.5 s and its VmHWM.
#            "mission" runs from the first child seen to the last child's end.
#            During every transfer, bare or not, the script lists the missions
#            once a second, as a UI watching the progress would.
#            pick_s: from the minute change at which the scheduler picks the
#            mission to the start of the stage; byte_s: to the first poll at
#            which the run's connection master had written 32 KiB more than
#            when the stage started (the stream's data on the wire); cmd_s
#            from the run's first command to the stage's start. logins: the
#            "Accepted password" lines sshd logged during the mission.
#   ciphers  REPEATS rounds of SIZE zeros through `ssh -c CIPHER … 'cat >/dev/null'`
#            for chacha20-poly1305 (ssh's default), aes128-gcm and aes256-gcm,
#            alternating; MB/s and the ratio to chacha20-poly1305 of the same
#            round.
# Every copy is compared with the original (cmp) and then destroyed.
# MB = 10^6 bytes. The machine's other load shows in the busy and load columns.
#
# Measured on the 2-core development VM (AMD EPYC, aes in /proc/cpuinfo),
# REPEATS 3, SIZE 1G, the machine otherwise quiet, with the pause above;
# min / median / max of the last run of this script:
#   service MB/s, cipher "own" (the built-in order)   151.9 / 158.4 / 185.3
#   service MB/s, cipher "default"                     127.2 / 132.6 / 137.6
#   service / same options, "own"                      0.91 / 0.953 / 1.14
#   service / same options, "default"                  0.98 / 1.091 / 1.12
#   service / plain, "own"                             1.07 / 1.218 / 1.29
#   service / plain, "default"                         0.95 / 0.960 / 1.08
#   first byte on the wire after the pick (s), all runs: median 0.38, max 0.46
#   ssh logins per run: 1 in every run
# Another run the same day, when every pipeline ran at the pace of the receive
# writing into memory the host had taken back (see README.md), gave 1.002
# ("default") and 1.024 ("own") at 42-63 MB/s; other days the bare runs moved
# between 120 and 260 MB/s, so compare the rows of one run only.
set -euo pipefail

repeats=${1:-3}
size=${2:-1G}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
say() { printf '%s\n' "$*" >&2; }
die() { say "transfer_bench: $*"; exit 1; }

# Each service run waits up to a minute for the scheduler and the testbed run
# is stopped after 40 minutes; the pools hold 4 GiB (locally the live data
# and the snapshot's copy).
[[ $repeats =~ ^[1-5]$ ]] || die "REPEATS must be 1..5"
bytes=$(numfmt --from=iec "$size" 2>/dev/null) || die "SIZE must look like 256M or 1G"
settle=${ZFSREP_BENCH_SETTLE:-10}
[[ $settle =~ ^[0-9]{1,2}$ ]] || die "ZFSREP_BENCH_SETTLE must be 0..99 seconds"
if ((bytes < 1048576 || bytes > 1073741824)); then die "SIZE must be 1M..1G"; fi

if [ -z "${ZFSREP_TB_ACTIVE:-}" ]; then
    build=${ZFSREP_BUILD_DIR:-$repo/build}
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" -j2 --target zfsrep zfsrepctl zfs-sim transfer_probe >/dev/null
    export ZFSREP_BINARY_DIR=$build
    exec timeout --kill-after=30 2400 "$repo/testbed/run-in-testbed.sh" "$here/$(basename "$0")" "$repeats" "$size"
fi

# ---------------------------------------------------------------------------
# Inside the testbed.
# ---------------------------------------------------------------------------
bin=$ZFSREP_BINARY_DIR
work=$ZFSREP_TB_DIR/bench
mkdir -p "$work" /tarn/run
socket=/tarn/run/zfsrep-bench.sock
export SSHPASS=$ZFSREP_TB_SSH_PASSWORD
remote() { ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs "$@"; }
ctl() { "$bin/zfsrepctl/zfsrepctl" --socket "$socket" --timeout 30 "$@"; }
# calc, ticks, stats
# shellcheck source=bench/benchlib.sh
. "$here/benchlib.sh"

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
localData=$(zfs sim-path tank/data)
say "writing $size of random data into tank/data ..."
head -c "$bytes" /dev/urandom >"$localData/big.bin"
zfs snapshot tank/data@bench
sync

zpid=""
probe_pid=""
cleanup() {
    [ -n "$probe_pid" ] && kill -TERM "$probe_pid" 2>/dev/null
    [ -n "$zpid" ] && kill -TERM "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# OpenSSH 9.2's default client cipher order, for the service runs that use it,
# and the service's built-in order (AES-GCM first where the CPU has AES
# instructions, else ssh's default), for the bare runs beside "own" runs.
sshDefaultCiphers=chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr,aes128-gcm@openssh.com,aes256-gcm@openssh.com
if grep -qw aes /proc/cpuinfo; then
    ownCiphers=aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes192-ctr,aes256-ctr
else
    ownCiphers=$sshDefaultCiphers
fi

# (Re)starts the service; cipher "default" sets sshciphers to ssh's own order,
# "own" leaves the service's built-in choice.
start_service() {
    local cipher=$1
    if [ -n "$zpid" ]; then
        kill -TERM "$zpid" 2>/dev/null
        wait "$zpid" 2>/dev/null || true
        zpid=""
    fi
    if [ "$cipher" = default ]; then
        printf '{"lpcid":"%s","debugging":"no","sshciphers":"%s"}\n' "$socket" "$sshDefaultCiphers" >"$work/config.json"
    else
        printf '{"lpcid":"%s","debugging":"no"}\n' "$socket" >"$work/config.json"
    fi
    "$bin/zfsrep/zfsrep" --cfg "$work/config.json" >>"$work/zfsrep.log" 2>&1 &
    zpid=$!
    for _ in $(seq 150); do ctl help_interfaces >/dev/null 2>&1 && break; sleep 0.1; done
    ctl help_interfaces >/dev/null || die "the service does not answer ($(cat "$work/zfsrep.log"))"
}
start_service own

# CPU of the idle service (scheduler ticking, no requests) over 5 s.
read -r -a st </proc/$zpid/stat
idle0=$((st[13] + st[14]))
sleep 5
read -r -a st </proc/$zpid/stat
idle=$(calc '(b - a) / c / 5 * 100' "$idle0" "$((st[13] + st[14]))" "$(getconf CLK_TCK)")

results=$work/results.txt
: >"$results"

# The service's own `zfs` options for a send mission's full stream (the
# command builders' sendArgs and receiveArgs of a replica).
sameSend="-w -R"
sameRecv="-s -u -o mountpoint=none -x sharenfs -x sharesmb -o readonly=on"

# One bare run, timed around the bash (ssh handshake included):
#   run_bare REP plain        zfs send -w | ssh (its defaults) | zfs recv
#   run_bare REP same CIPHER  the service's zfs options and ssh cipher order
#                             (CIPHER "default" or "own"), no pv, no script,
#                             no connection master
#   run_bare REP stage CIPHER the same, composed as the service's stage is:
#                             under `script`, pv through the service's
#                             pipe-buffer helper, ssh through a connection
#                             master opened before the clock starts (so,
#                             like the service's stage, without a login)
run_bare() {
    local rep=$1 kind=$2 cipher=${3:-} m0 m1 t0 t1 cpu busy0 total0 busy1 total1 rc=0 send recv snapshot lister order=()
    local master=$work/stage.master
    if [ "$kind" = plain ]; then
        send="-w"; recv=""
    else
        send=$sameSend; recv=$sameRecv
        if [ "$cipher" = default ]; then order=(-o "Ciphers=$sshDefaultCiphers"); else order=(-o "Ciphers=$ownCiphers"); fi
    fi
    # The newest snapshot, as the service sends its own newest one: with -R
    # the stream carries every snapshot before it as well.
    snapshot=$(zfs list -H -o name -t snapshot tank/data | tail -1)
    sync
    sleep "$settle"
    # The listing a UI asks for once a second runs during every transfer,
    # bare or not, so both sides carry the same load.
    (while :; do ctl zfsrep_mission_alload >/dev/null 2>&1; sleep 1; done) &
    lister=$!
    if [ "$kind" = stage ]; then
        rm -f "$master"
        sshpass -e ssh -p "$ZFSREP_TB_SSH_PORT" -o "StrictHostKeyChecking no" "${order[@]}" -o ControlPath="$master" \
            -o ControlMaster=yes -o ControlPersist=30 -f -N "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST" 2>"$work/bare.err" ||
            die "stage master failed: $(cat "$work/bare.err")"
    fi
    m0=$(ticks)
    t0=$EPOCHREALTIME
    if [ "$kind" = stage ]; then
        # The values are the bench's own (no spaces, no quotes).
        bash -c 'set -o pipefail
            script -q -e -c "set -o pipefail; zfs send $1 $2 | $3 --pipe-buffer 1048576 pv -f -n -b -t -i 1 |
                sshpass -e ssh -p $4 -o ControlPath=$5 $6 \"/usr/sbin/zfs recv $7 backup/bare\"" /dev/null >/dev/null
            rc=$?; times >&3; exit $rc' stage "$send" "$snapshot" "$bin/zfsrep/zfsrep" "$ZFSREP_TB_SSH_PORT" "$master" \
            "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST" "$recv" 3>"$work/bare.times" 2>"$work/bare.err" || rc=$?
    else
    # shellcheck disable=SC2086
    bash -c 'set -o pipefail
        send=$1 recv=$2 port=$3 login=$4 snapshot=$5; shift 5
        zfs send $send "$snapshot" |
            sshpass -e ssh -p "$port" -o "StrictHostKeyChecking no" "$@" "$login" "/usr/sbin/zfs recv $recv backup/bare"
        rc=$?; times >&3; exit $rc' bare "$send" "$recv" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST" \
        "$snapshot" "${order[@]}" 3>"$work/bare.times" 2>"$work/bare.err" || rc=$?
    fi
    t1=$EPOCHREALTIME
    if [ "$kind" = stage ]; then
        ssh -o ControlPath="$master" -O exit "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST" >/dev/null 2>&1 || true
        rm -f "$master"
    fi
    m1=$(ticks)
    kill "$lister" 2>/dev/null
    wait "$lister" 2>/dev/null || true
    [ "$rc" -eq 0 ] || die "bare pipeline ($kind) failed ($rc): $(cat "$work/bare.err")"
    cmp -s "$localData/big.bin" "$(remote sim-path backup/bare)/big.bin" || die "bare copy differs"
    remote destroy -r backup/bare
    # `times`, second line: children's user and system time, e.g. "0m1.234s 0m2.345s"
    cpu=$(sed -n 2p "$work/bare.times" | awk '{ n = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); n += p[1] * 60 + p[2] } print n }')
    read -r busy0 total0 <<<"$m0"
    read -r busy1 total1 <<<"$m1"
    echo "$kind $rep $(calc 'b - a' "$t0" "$t1") $cpu $(calc '(c - a) / (d - b) * 100' "$busy0" "$total0" "$busy1" "$total1") $cipher" >>"$results"
}

# "Accepted password" lines in the testbed sshd's log so far.
logins() { grep -c 'Accepted password' "$ZFSREP_TB_DIR/ssh/sshd.log" || true; }

# Seconds between the realtime clock and CLOCK_BOOTTIME (the probe's clock),
# to the microsecond: awk's own print keeps 6 digits, which of a number of
# 10 digits before the point would drop the seconds themselves.
bootOffset() {
    local up
    read -r up _ </proc/uptime
    awk -v a="$EPOCHREALTIME" -v b="$up" 'BEGIN { printf "%.6f\n", a - b }'
}

run_service() {
    local rep=$1 cipher=$2 listing load logins0 offset
    start_service "$cipher"
    remote destroy -r backup/data >/dev/null 2>&1 || true
    sync
    # The pause comes before the append: the run starts at the minute change
    # after it, so at least this long after the last destroy.
    sleep "$settle"
    load=$(cut -d' ' -f1 /proc/loadavg)
    logins0=$(logins)
    offset=$(bootOffset)
    # The parameters (with the password) go through standard input.
    printf '{"caption":"bench %s","action":1,"pool":"tank","name":"data","path":"backup","host":"%s","port":%s,"userid":"%s","passwd":"%s","snapname":"bench","schedules":[]}' \
        "$rep" "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER" "$ZFSREP_TB_SSH_PASSWORD" |
        ctl zfsrep_mission_append --json - >/dev/null || die "mission_append failed"
    "$bin/bench/transfer_probe" "$zpid" --poll-ms 25 --sample-ms 500 --max-seconds 200 >"$work/probe.$rep" &
    probe_pid=$!
    say "service run $rep (cipher $cipher): the mission waits for the minute change ($(date +%S) s past) ..."
    # At most 150 s: the next minute change plus the transfer. One listing a
    # second, as a UI watching the progress would ask.
    for _ in $(seq 150); do
        listing=$(ctl zfsrep_mission_alload)
        grep -q '"finishedtime": *"[0-9]' <<<"$listing" && break
        sleep 1
    done
    kill -TERM "$probe_pid"
    wait "$probe_pid" || true
    probe_pid=""
    grep -q '"finishedtime": *"[0-9]' <<<"$listing" || die "the mission did not finish: $listing"
    grep -q '"done": *1' <<<"$listing" || die "the mission failed: $listing $(ctl zfsrep_log_alload)"
    cmp -s "$localData/big.bin" "$(remote sim-path backup/data)/big.bin" || die "service copy differs"
    remote destroy -r backup/data
    # The mission's own snapshot stays: the next one then shares its files
    # with it, as on a real pool, and every repetition sends the same
    # incremental stream (a few hundred bytes).
    ctl zfsrep_mission_remove msnno="$(grep -o '"msnno": *[0-9]*' <<<"$listing" | head -1 | grep -o '[0-9]*$')" >/dev/null
    # $1 child, $2 PID, $3 COMM, $4 START, $5 END, $6 REAPED, $7/$8 CPU before/after,
    # $9/$10 children's CPU before/after, $11 peak RSS kB, $12/$13 busy/total ticks;
    # $1 wire, $2 PID, $3 first byte on the wire
    awk -v rep="$rep" -v load="$load" -v cipher="$cipher" -v offset="$offset" -v logins="$(($(logins) - logins0))" '
        $1 == "child" && first == "" { first = $4 }
        $1 == "child" && $6 != "-" { last = $6 }
        $1 == "child" && $3 == "script" && full == "" {
            full = $5 - $4; cpu = $8 - $7; pipe = $10 - $9; rss = $11; busy = $12 / $13 * 100; script = $2
            # the scheduler picks at the minute change before the stream starts
            streamAt = $4 + offset; minute = int(streamAt / 60) * 60; pick = streamAt - minute; run = $4 - first }
        $1 == "wire" { wire[$2] = $3 }
        $1 == "peak" { hwm = $3 }
        END { if (full == "") exit 1
              byte = wire[script] == "" || wire[script] == "-" ? -1 : wire[script] + offset - minute
              print "service", rep, full, cpu, pipe, rss, hwm, busy, last - first, load, cipher, pick, logins, run, byte }' \
        "$work/probe.$rep" >>"$results" || die "no script stage seen: $(cat "$work/probe.$rep")"
}

run_ciphers() {
    local round=$1 cipher t0 t1 rc
    for cipher in chacha20-poly1305@openssh.com aes128-gcm@openssh.com aes256-gcm@openssh.com; do
        rc=0
        t0=$EPOCHREALTIME
        head -c "$bytes" /dev/zero | sshpass -e ssh -c "$cipher" -p "$ZFSREP_TB_SSH_PORT" -o "StrictHostKeyChecking no" \
            "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST" 'cat >/dev/null' 2>"$work/cipher.err" || rc=$?
        t1=$EPOCHREALTIME
        [ "$rc" -eq 0 ] || die "ssh -c $cipher failed ($rc): $(cat "$work/cipher.err")"
        echo "cipher $round ${cipher%%@*} $(calc 'b - a' "$t0" "$t1")" >>"$results"
    done
}

# plain 0, then for each service run k (cipher order "default" for odd k,
# "own" for even k): same-options bare, service, same-options bare, plain k.
# Every service run is compared with the mean of the two bare runs with its
# options just before and after it, and with the mean of the plain runs
# before and after it, so that a change of the machine's load in between
# weighs on both sides.
run_bare 0 plain
runs=$((2 * repeats))
for k in $(seq "$runs"); do
    if ((k % 2)); then cipher=default; else cipher=own; fi
    run_bare "$k" same "$cipher"
    run_service "$k" "$cipher"
    run_bare "$k" same "$cipher"
    run_bare "$k" stage "$cipher"
    run_bare "$k" plain
done
for round in $(seq "$repeats"); do run_ciphers "$round"; done

# ---------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------
fmt='%-7s %-7s %9s %9s %9s %7s %7s %8s %8s %8s %6s %8s %8s %8s %6s %9s %6s %7s %7s %6s %6s %10s %7s\n'
printf '\nsend of %s (%d bytes) over ssh to 127.0.0.1; %d cores; load = 1-min load average before each service run\n' \
    "$size" "$bytes" "$(nproc)"
# shellcheck disable=SC2059
printf "$fmt" run cipher "plain_MB/s" "same_MB/s" "svc_MB/s" r_same r_plain "mission" "msn_MB/s" "svc_cpu" "svc_%" \
    "pipe_cpu" "same_cpu" "rss_MiB" "busy_%" "same_bsy%" load "pick_s" "byte_s" "cmd_s" logins "stage_MB/s" r_stage
rows=$work/rows.txt
: >"$rows"
for k in $(seq "$runs"); do
    # the mean of the same-options runs around this service run, and of the plain runs before and after it
    read -r ss scpu_same sbusy < <(awk -v k="$k" '$1 == "same" && $2 == k { t += $3; c += $4; u += $5; n++ }
        END { print t / n, c / n, u / n }' "$results")
    ps=$(awk -v a="$((k - 1))" -v b="$k" '$1 == "plain" && ($2 == a || $2 == b) { t += $3; n++ } END { print t / n }' "$results")
    read -r _ _ fs scpu pcpu rss _ busy msn load cipher pick nlogins run byte < <(grep "^service $k " "$results")
    sg=$(awk -v k="$k" '$1 == "stage" && $2 == k { t += $3; n++ } END { print n ? t / n : 0 }' "$results")
    awk -v B="$bytes" -v ps="$ps" -v ss="$ss" -v fs="$fs" -v msn="$msn" -v scpu="$scpu" -v pcpu="$pcpu" \
        -v samecpu="$scpu_same" -v rss="$rss" -v busy="$busy" -v sbusy="$sbusy" -v load="$load" -v cipher="$cipher" \
        -v pick="$pick" -v byte="$byte" -v logins="$nlogins" -v run="$run" -v sg="$sg" 'BEGIN {
        printf "%s %.1f %.1f %.1f %.3f %.3f %.2f %.1f %.2f %.1f %.2f %.2f %.1f %.0f %.0f %s %.2f %s %.2f %d %.1f %.3f\n",
            cipher, B / ps / 1e6, B / ss / 1e6, B / fs / 1e6, ss / fs, ps / fs, msn, B / msn / 1e6, scpu,
            scpu / fs * 100, pcpu, samecpu, rss / 1024, busy, sbusy, load, pick,
            byte < 0 ? "-" : sprintf("%.2f", byte), run, logins, (sg > 0 ? B / sg / 1e6 : 0), sg / fs }' >>"$rows"
    # shellcheck disable=SC2059,SC2046
    printf "$fmt" "$k" $(sed -n "${k}p" "$rows")
done
for cipher in default own; do
    grep "^$cipher " "$rows" >"$rows.$cipher" || true
    [ -s "$rows.$cipher" ] || continue
    for what in 1 2 3; do
        values=()
        for col in $(seq 2 22); do values+=("$(stats "$col" "$rows.$cipher" | cut -d' ' -f"$what")"); done
        # shellcheck disable=SC2059
        printf "$fmt" "$(echo min median max | cut -d' ' -f"$what")" "$cipher" "${values[@]}"
    done
done
# First byte over every service run: the figure the scheduler's pick is judged by.
awk '{ print $18 }' "$rows" | grep -v -- - >"$rows.byte" || true
if [ -s "$rows.byte" ]; then
    read -r _ bmed bmax < <(stats 1 "$rows.byte")
    printf 'first byte on the wire after the pick (s), all %d service runs: median %s, max %s\n' "$runs" "$bmed" "$bmax"
fi

printf '\nssh throughput, %s of zeros into cat on the far side (MB/s; ratio to chacha20-poly1305 of the same round)\n' "$size"
printf '%-20s %9s %9s %9s   %7s %7s %7s\n' cipher min median max r_min r_med r_max
for cipher in chacha20-poly1305 aes128-gcm aes256-gcm; do
    awk -v B="$bytes" -v c="$cipher" '$1 == "cipher" && $3 == "chacha20-poly1305" { base[$2] = $4 }
        $1 == "cipher" && $3 == c { t[$2] = $4 }
        END { for (r in t) print B / t[r] / 1e6, base[r] / t[r] }' "$results" >"$work/cipher.$cipher"
    read -r mn md mx < <(stats 1 "$work/cipher.$cipher")
    read -r rmn rmd rmx < <(stats 2 "$work/cipher.$cipher")
    printf '%-20s %9.1f %9.1f %9.1f   %7.2f %7.2f %7.2f\n' "$cipher" "$mn" "$md" "$mx" "$rmn" "$rmd" "$rmx"
done

hwm=$(awk '$1 == "service" { print $7 }' "$results" | sort -g | tail -1)
printf '\nidle service CPU: %s %% of one core; service VmHWM (largest of its processes): %.1f MiB\n' "$idle" "$(calc 'a / 1024' "$hwm")"
printf 'probe CPU per service run: %s s; load average (1, 5, 15 min) at start: %s, at end: %s\n' \
    "$(awk '$1 == "probe" { printf "%s%s", sep, $2; sep = " " }' "$work"/probe.*)" "$load_start" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${ZFSREP_BENCH_VERBOSE:-}" ]; then
    for k in $(seq "$runs"); do echo "probe, service run $k:"; cat "$work/probe.$k"; done
fi
cat <<'EOF'
columns: cipher "default" = service with sshciphers set to ssh's default order, "own" = its built-in order;
svc_MB/s the service's full stage (script + pv + the pipeline through the run's ssh connection master);
same_MB/s the mean of the two bare runs around it with the service's zfs options and cipher order (no pv,
no script, no master), plain_MB/s the mean of the plain runs (zfs send -w | ssh | zfs recv, ssh's defaults)
before and after it; r_same and r_plain = svc over each; mission = the whole mission (s) and msn_MB/s SIZE
over it; svc_cpu/svc_% the service process's own CPU during the stage (s, % of one core; the kernel counts
in 10 ms ticks); pipe_cpu and same_cpu the CPU of the local pipeline processes (s); rss_MiB the service's
peak VmRSS during the stage; busy_% and same_bsy% the whole machine's CPU use (% of all cores) during the
transfers; pick_s from the minute change at which the scheduler picks the mission to the start of the
stream stage, byte_s to the stream's first data on the wire (the connection master has written 32 KiB
more; within one 25 ms poll), cmd_s from the run's first command to the stage's start; logins =
password logins sshd logged during the mission; stage_MB/s one bare run of the service's stage composed
by hand (script, pv through the pipe-buffer helper, ssh through a connection master opened before the
clock starts) just after the second same-options run, and r_stage = svc over it.
EOF
