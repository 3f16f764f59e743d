#!/usr/bin/env bash
# Runs one command inside the simulated appliance: a private mount and PID
# namespace in which /usr/sbin/zfs and /usr/sbin/zpool are the simulator,
# /tarn and /mnt are empty private tmpfs, a local simulator root holds pool
# "tank" with dataset "tank/data", and two remote hosts, real sshds on
# 127.0.0.1 and 127.0.0.2, let a password-authenticated test user reach a
# simulator root of each (pool "backup" on both) with that password or with
# the test key pair made here. The host's files, users and mounts are never
# changed; everything started here is stopped by pid and the temporary
# directory is removed when the command ends, fails or is interrupted.
#
#   testbed/run-in-testbed.sh CMD [ARGS...]
#
# Exit status: CMD's; 77 when the testbed cannot be built here (not root, a
# tool missing), with a "SKIP: ..." line on stderr; 1 when setting up failed.
# testbed/README.md documents the environment CMD gets.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self="$here/$(basename "${BASH_SOURCE[0]}")"
repo=$(cd "$here/.." && pwd)

skip() { echo "SKIP: $*" >&2; exit 77; }
die() { echo "testbed: $*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Inside the namespaces (started by the outer part below as PID 1).
# ---------------------------------------------------------------------------
inside() {
    local tb=$1 simbin=$2
    shift 2
    local nr=$tb/root cmd_pid="" rc=1
    local -a sshd_pid=("" "" "") sshd_dir sshd_addr sshd_root sshd_port

    teardown() {
        trap - INT TERM
        # TERM to all at once, then KILL to whatever still runs after 2 s.
        local p left
        for p in $cmd_pid ${sshd_pid[@]}; do kill -TERM "$p" 2>/dev/null; done
        for _ in $(seq 1 40); do
            left=""
            for p in $cmd_pid ${sshd_pid[@]}; do kill -0 "$p" 2>/dev/null && left=1; done
            [ -z "$left" ] && break
            sleep 0.05
        done
        for p in $cmd_pid ${sshd_pid[@]}; do
            kill -KILL "$p" 2>/dev/null
            wait "$p" 2>/dev/null
        done
        # Leaving PID 1 ends the namespaces: the kernel kills whatever is
        # left inside and drops every mount made here.
    }
    fail() { echo "testbed: $*" >&2; teardown; exit 1; }
    trap 'teardown; exit 130' INT
    trap 'teardown; exit 143' TERM

    # A new root: a small tmpfs holding bind mounts of every top-level entry
    # of the host's root, so /tarn can exist without touching the host.
    mkdir -p "$nr" || fail "cannot create $nr"
    mount -t tmpfs -o mode=755,size=16m zfsrep-tb-root "$nr" || fail "cannot mount the new root"
    mount --make-unbindable "$nr" || fail "cannot make the new root unbindable"
    local e b
    shopt -s dotglob nullglob
    for e in /*; do
        b=${e#/}
        case $b in tarn|mnt|proc) continue ;; esac
        if [ -L "$e" ]; then
            ln -s "$(readlink "$e")" "$nr/$b"
        elif [ -d "$e" ]; then
            mkdir "$nr/$b" && mount --rbind "$e" "$nr/$b" || fail "cannot bind $e"
        elif [ -f "$e" ]; then
            touch "$nr/$b" && mount --bind "$e" "$nr/$b" || fail "cannot bind $e"
        fi
    done
    shopt -u dotglob nullglob
    mkdir "$nr/proc" "$nr/tarn" "$nr/mnt" "$nr/.oldroot"
    mount -t proc proc "$nr/proc" || fail "cannot mount /proc"
    mount -t tmpfs -o mode=755 zfsrep-tb-tarn "$nr/tarn" || fail "cannot mount /tarn"
    mount -t tmpfs -o mode=755 zfsrep-tb-mnt "$nr/mnt" || fail "cannot mount /mnt"
    # Writable private layers over the host's directories that setting up
    # changes (users in /etc, /run/sshd, logs) and over /usr/sbin.
    local d name
    for d in /usr/sbin /etc /run /var/log; do
        name=${d//\//_}
        mkdir -p "$tb/ovl/$name/up" "$tb/ovl/$name/work"
        mount -t overlay zfsrep-tb-overlay \
            -o "lowerdir=$d,upperdir=$tb/ovl/$name/up,workdir=$tb/ovl/$name/work" "$nr$d" ||
            fail "cannot mount an overlay over $d"
    done
    cd "$nr" && pivot_root . .oldroot && cd / && umount -l /.oldroot && rmdir /.oldroot ||
        fail "cannot switch to the new root"

    # The simulator.
    mkdir -p "$tb/bin" && cp "$simbin" "$tb/bin/zfs-sim" && cp "$simbin" /usr/sbin/zfs &&
        ln -sf zfs /usr/sbin/zpool && chmod 755 "$tb/bin/zfs-sim" /usr/sbin/zfs ||
        fail "cannot install the simulator"
    export PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin${PATH:+:$PATH}"

    # The remote host's user (only in the private /etc).
    local user=zfsreptb uid pw
    for uid in $(shuf -i 50000-59999 -n 50); do
        getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null || break
    done
    pw=$(head -c 48 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 20)
    [ ${#pw} -ge 12 ] || fail "cannot make a password"
    mkdir -p "$tb/remote-home" || fail "cannot create the remote home"
    useradd -M -U -l -u "$uid" -d "$tb/remote-home" -s /bin/bash "$user" >/dev/null ||
        fail "cannot create the test user"
    printf '%s:%s\n' "$user" "$pw" | chpasswd || fail "cannot set the test user's password"
    chown "$user:" "$tb/remote-home"

    # The three simulator roots: the appliance and the two remote hosts.
    local local_root=$tb/local remote_root=$tb/remote remote2_root=$tb/remote2
    mkdir -p "$remote_root" "$remote2_root" && chown "$user:" "$remote_root" "$remote2_root" ||
        fail "cannot create the remote roots"
    ZFS_SIM_ROOT=$local_root zpool create tank 4G &&
        ZFS_SIM_ROOT=$local_root zfs create tank/data &&
        ZFS_SIM_ROOT=$remote_root zpool create backup 4G &&
        ZFS_SIM_ROOT=$remote2_root zpool create backup 4G || fail "cannot create the pools"
    chown -R "$user:" "$remote_root" "$remote2_root"
    local data
    data=$(ZFS_SIM_ROOT=$local_root zfs sim-path tank/data) || fail "cannot find tank/data"
    mkdir -p "$data/docs" &&
        printf 'zfsrep testbed sample data\n' >"$data/README.txt" &&
        seq 1 20000 >"$data/docs/numbers.txt" &&
        head -c 1048576 /dev/urandom >"$data/random.bin" &&
        head -c 300000 /dev/urandom >"$data/docs/blob.dat" || fail "cannot write sample data"

    # Two remote hosts, each an sshd of its own on a free port of its own
    # loopback address with its own host key, whose sessions reach its own
    # simulator root. Both accept the test user's password and the one
    # client key. Both start at once; a port taken meanwhile is retried.
    mkdir -p /run/sshd "$tb/ssh" "$tb/ssh2" && chmod 755 /run/sshd
    ssh-keygen -q -t ed25519 -N '' -f "$tb/ssh/host_ed25519" &&
        ssh-keygen -q -t ed25519 -N '' -f "$tb/ssh2/host_ed25519" || fail "cannot make the host keys"
    # The client key the test user accepts besides the password.
    ssh-keygen -q -t ed25519 -N '' -C zfsrep-testbed -f "$tb/ssh/client_ed25519" &&
        cp "$tb/ssh/client_ed25519.pub" "$tb/ssh/authorized_keys" && chmod 644 "$tb/ssh/authorized_keys" ||
        fail "cannot make the client key"
    sshd_dir=("" "$tb/ssh" "$tb/ssh2")
    sshd_addr=("" 127.0.0.1 127.0.0.2)
    sshd_root=("" "$remote_root" "$remote2_root")
    sshd_port=("" "" "")
    local n attempt pending
    listening() { ss -Hltn "src ${sshd_addr[$1]}:${sshd_port[$1]}" 2>/dev/null | grep -q .; }
    launch_sshd() {
        local n=$1 dir=${sshd_dir[$1]} port
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            port=$(shuf -i 20000-60999 -n 1)
            ss -Hltn "sport = :$port" 2>/dev/null | grep -q . || break
        done
        cat >"$dir/sshd_config" <<EOF
Port $port
ListenAddress ${sshd_addr[$n]}
HostKey $dir/host_ed25519
PidFile none
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile $tb/ssh/authorized_keys
UsePAM no
LogLevel VERBOSE
PermitRootLogin no
AllowUsers $user
StrictModes no
PrintMotd no
PrintLastLog no
MaxStartups 64:30:128
MaxSessions 64
SetEnv ZFS_SIM_ROOT=${sshd_root[$n]} PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin
EOF
        sshd_port[$n]=$port
        /usr/sbin/sshd -D -f "$dir/sshd_config" -E "$dir/sshd.log" &
        sshd_pid[$n]=$!
    }
    pending="1 2"
    for attempt in 1 2 3 4 5; do
        for n in $pending; do launch_sshd "$n"; done
        for _ in $(seq 1 50); do
            local waiting=""
            for n in $pending; do
                listening "$n" || { kill -0 "${sshd_pid[$n]}" 2>/dev/null && waiting=1; }
            done
            [ -z "$waiting" ] && break
            sleep 0.05
        done
        local failed=""
        for n in $pending; do
            if listening "$n" && kill -0 "${sshd_pid[$n]}" 2>/dev/null; then continue; fi
            kill "${sshd_pid[$n]}" 2>/dev/null
            wait "${sshd_pid[$n]}" 2>/dev/null
            sshd_pid[$n]=""
            failed="$failed $n"
        done
        pending=$failed
        [ -z "$pending" ] && break
    done
    for n in $pending; do fail "sshd $n did not start (see ${sshd_dir[$n]}/sshd.log)"; done

    # ssh finds ~/.ssh through the passwd entry, not $HOME: root's home is
    # the temporary one too (in the private /etc only).
    mkdir -p "$tb/home" || fail "cannot create HOME"
    sed -i "s|^root:\([^:]*:[^:]*:[^:]*:[^:]*\):[^:]*:|root:\1:$tb/home:|" /etc/passwd ||
        fail "cannot point root's home at $tb/home"
    export HOME=$tb/home
    export ZFS_SIM_ROOT=$local_root
    export ZFSREP_TB_ACTIVE=1
    export ZFSREP_TB_DIR=$tb
    export ZFSREP_TB_REMOTE_ROOT=$remote_root
    export ZFSREP_TB_SSH_HOST=127.0.0.1
    export ZFSREP_TB_SSH_PORT=${sshd_port[1]}
    export ZFSREP_TB_SSH_USER=$user
    export ZFSREP_TB_SSH_PASSWORD=$pw
    export ZFSREP_TB_SSH_KEY=$tb/ssh/client_ed25519
    export ZFSREP_TB_SSH_LOG=$tb/ssh/sshd.log
    export ZFSREP_TB_SSH_HOSTKEY=$tb/ssh/host_ed25519
    export ZFSREP_TB_SSHD_PID=${sshd_pid[1]}
    export ZFSREP_TB_REMOTE2_ROOT=$remote2_root
    export ZFSREP_TB_SSH2_HOST=127.0.0.2
    export ZFSREP_TB_SSH2_PORT=${sshd_port[2]}
    export ZFSREP_TB_SSH2_LOG=$tb/ssh2/sshd.log
    export ZFSREP_TB_SSH2_HOSTKEY=$tb/ssh2/host_ed25519
    export ZFSREP_TB_SSHD2_PID=${sshd_pid[2]}
    export ZFSREP_TB_SIM_BIN=$tb/bin/zfs-sim

    # Both logins to both hosts must work before anything relies on them
    # (the four probes run at once).
    probe() { # n password|key
        local n=$1 how=$2 client=(ssh)
        [ "$how" = password ] && client=(sshpass -e ssh) || client+=(-i "$tb/ssh/client_ed25519" -o IdentitiesOnly=yes -o BatchMode=yes)
        SSHPASS=$pw "${client[@]}" -p "${sshd_port[$n]}" -o StrictHostKeyChecking=no \
            -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "$user@${sshd_addr[$n]}" 'zpool list -H -o name' \
            2>"${sshd_dir[$n]}/probe-$how.err" | grep -qx backup
    }
    local -a probes=()
    for n in 1 2; do
        probe "$n" password &
        probes+=("$!:$n:password")
        probe "$n" key &
        probes+=("$!:$n:key")
    done
    local p failed_probe=""
    for p in "${probes[@]}"; do
        local pid how
        IFS=: read -r pid n how <<<"$p"
        wait "$pid" || failed_probe="$failed_probe; ssh with the $how to host $n failed: $(cat "${sshd_dir[$n]}/probe-$how.err")"
    done
    [ -z "$failed_probe" ] || fail "${failed_probe#; }"

    cd "${ZFSREP_TB_CALLER_DIR:-/}" 2>/dev/null || cd /
    "$@" <&0 &
    cmd_pid=$!
    while true; do
        wait "$cmd_pid"
        rc=$?
        kill -0 "$cmd_pid" 2>/dev/null || break
    done
    cmd_pid=""
    teardown
    exit "$rc"
}

if [ "${1:-}" = "--inside" ]; then
    shift
    inside "$@"
fi

# ---------------------------------------------------------------------------
# Outside, on the host.
# ---------------------------------------------------------------------------
[ $# -ge 1 ] || { echo "usage: $0 CMD [ARGS...]" >&2; exit 2; }
if [ "${ZFSREP_TB_ACTIVE:-}" = "1" ]; then
    exec "$@" # already inside a testbed
fi
[ "$(id -u)" = 0 ] || skip "the testbed needs root (private mount namespace, sshd, a test user)"
for tool in unshare pivot_root mount sshpass ssh ssh-keygen pv script gzip useradd chpasswd ss shuf base64; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is not installed (run scripts/install-deps.sh)"
done
[ -x /usr/sbin/sshd ] || skip "/usr/sbin/sshd is not installed (run scripts/install-deps.sh)"
unshare --mount --pid --fork true 2>/dev/null || skip "unshare --mount --pid is not permitted here"

# The simulator: built by CMake (ZFSREP_BINARY_DIR is set by CTest), or built
# here into ZFSREP_BUILD_DIR (default: build/ in the repository).
if [ -n "${ZFSREP_BINARY_DIR:-}" ]; then
    simbin=$ZFSREP_BINARY_DIR/sim/zfs-sim
    [ -x "$simbin" ] || die "$simbin is missing; build the project first"
else
    build=${ZFSREP_BUILD_DIR:-$repo/build}
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || die "cmake configure failed"
    fi
    cmake --build "$build" --target zfs-sim -j "${ZFSREP_JOBS:-2}" >/dev/null || die "building zfs-sim failed"
    simbin=$build/sim/zfs-sim
fi

# Remove what a testbed whose owner was killed outright (SIGKILL) left.
for old in /tmp/zfsrep-tb.*; do
    [ -f "$old/owner.pid" ] || continue
    kill -0 "$(cat "$old/owner.pid")" 2>/dev/null || rm -rf "$old"
done

tb=$(mktemp -d /tmp/zfsrep-tb.XXXXXXXX) || die "cannot create a temporary directory"
chmod 755 "$tb"
echo $$ >"$tb/owner.pid"
child=""

forward() {
    # unshare keeps SIGINT/SIGTERM to itself; the namespace's PID 1 (our
    # inner part) tears down when it gets them. It was started in the
    # background, so it ignores SIGINT (and cannot trap it): a Ctrl-C
    # reaches it as SIGTERM.
    local sig=$1 inner
    [ -n "$child" ] || return
    inner=$(cat /proc/"$child"/task/*/children 2>/dev/null)
    [ -n "$inner" ] && kill -TERM $inner 2>/dev/null
    kill -"$sig" "$child" 2>/dev/null
}
trap 'forward TERM' TERM
trap 'forward INT' INT
trap 'rm -rf "$tb"' EXIT

# CMD runs in the caller's directory (the new root shows the same paths).
export ZFSREP_TB_CALLER_DIR=$PWD
unshare --mount --propagation private --pid --fork --kill-child -- "$self" --inside "$tb" "$simbin" "$@" <&0 &
child=$!
while true; do
    wait "$child"
    rc=$?
    kill -0 "$child" 2>/dev/null || break
done
exit "$rc"
