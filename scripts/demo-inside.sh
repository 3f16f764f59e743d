#!/usr/bin/env bash
# The demo's part that runs inside the testbed (see scripts/demo.sh).
set -euo pipefail
bin=$ZFSREP_BINARY_DIR
dir=$ZFSREP_TB_DIR/demo
mkdir -p "$dir"
# The socket lies in the testbed's directory, which the host sees too, so
# zfsrepctl can reach the service from any shell while the demo runs.
socket=$dir/zfsrep.sock
ctlbin=$bin/zfsrepctl/zfsrepctl
ctl() { "$ctlbin" --socket "$socket" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Starts mission $1 now and follows that very run (by the number the
# service answers) to its end: a progress bar on a terminal, the outcome line.
run_and_watch() {
  ctl run "$1" --wait
}
# The bytes the newest run of mission $1 moved (zfsrepctl history --json).
run_bytes() {
  ctl history "$1" --limit 1 --json | sed -n 's/^ *"bytes": \([0-9]*\).*/\1/p' | head -1
}

# The service logs in to the remote host with the testbed's key: missions
# and queries without a password use it.
cat > "$dir/config.json" <<JSON
{ "lpcid": "$socket", "debugging": false, "appname": "zfsrep-demo",
  "sshidentity": "$ZFSREP_TB_SSH_KEY" }
JSON

step "Local appliance: pool tank with dataset tank/data"
data=$(zfs sim-path tank/data)
head -c 160M /dev/urandom > "$data/demo.bin"
zfs list -r tank
# Throttle the simulated disks so the transfer takes a few seconds to watch.
echo 24M > "$ZFS_SIM_ROOT/faults/send-rate"

step "Starting zfsrep (socket $socket, ssh key $ZFSREP_TB_SSH_KEY)"
"$bin/zfsrep/zfsrep" --cfg "$dir/config.json" > "$dir/zfsrep.log" 2>&1 &
pid=$!
stop_service() {
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    wait "$pid" || true
  fi
}
trap 'stop_service; echo; echo "demo: stopped"; exit 0' INT TERM
for _ in $(seq 100); do
  ctl help_interfaces >/dev/null 2>&1 && break
  sleep 0.1
done
ctl help_interfaces >/dev/null || { echo "demo: zfsrep did not start; see $dir/zfsrep.log" >&2; cat "$dir/zfsrep.log" >&2; exit 1; }

step "Remote host $ZFSREP_TB_SSH_HOST:$ZFSREP_TB_SSH_PORT, its pools (key login, no password)"
remote=$(printf '{"host":"%s","port":%s,"userid":"%s","passwd":""}' \
  "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER")
ctl zfsrep_pools_remote --json "$remote"

step "zfsrepctl add: a send mission tank/data -> backup/data (scheduled yearly, started by hand)"
added=$(ctl add --caption "demo send" --send tank/data \
  --to "$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST:$ZFSREP_TB_SSH_PORT/backup" \
  --series demo --erase --no-password --schedule 'months=jan dates=1 hours=0 minutes=0')
echo "$added"
msnno=$(printf '%s\n' "$added" | sed -n 's/^mission \([0-9]*\) added.*/\1/p')
[ -n "$msnno" ] || { echo "demo: could not read the mission number" >&2; exit 1; }

step "zfsrepctl run $msnno --wait: the run and its progress"
run_and_watch "$msnno"
full=$(run_bytes "$msnno")

step "New data on tank/data (8 MiB), and an incremental send (zfsrepctl run $msnno again)"
head -c 8M /dev/urandom > "$data/new.bin"
run_and_watch "$msnno"
incremental=$(run_bytes "$msnno")

step "zfsrepctl history $msnno: the second run moved only the new data"
ctl history "$msnno"
echo
echo "full send: ${full:-?} bytes; incremental send: ${incremental:-?} bytes"

step "Remote snapshots (zfsrep_snapshot_remote)"
ctl zfsrep_snapshot_remote --json "$remote"

step "Data at both ends"
(cd "$data" && sha256sum demo.bin new.bin)
(cd "$(ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs sim-path backup/data)" && sha256sum demo.bin new.bin)

cat <<HINT

zfsrep keeps running. From another shell, try for example:
  $ctlbin --socket $socket watch
  $ctlbin --socket $socket history $msnno
  $ctlbin --socket $socket run $msnno
  $ctlbin --socket $socket metrics
  $ctlbin --socket $socket cancel $msnno    (while a run is going on; to see one, start a longer run first:)
  head -c 200M /dev/urandom > $data/more.bin && $ctlbin --socket $socket run $msnno && sleep 3 && $ctlbin --socket $socket cancel $msnno
Press Ctrl-C to stop the service and tear the testbed down.
HINT
wait "$pid"
