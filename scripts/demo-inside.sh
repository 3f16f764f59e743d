#!/usr/bin/env bash
# The demo's part that runs inside the testbed (see scripts/demo.sh).
set -euo pipefail
bin=$ZFSREP_BINARY_DIR
dir=$ZFSREP_TB_DIR/demo
mkdir -p "$dir"
# The socket lies in the testbed's directory, which the host sees too, so
# zfsrepctl can reach the service from any shell while the demo runs.
socket=$dir/zfsrep.sock
ctl() { "$bin/zfsrepctl/zfsrepctl" --socket "$socket" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

cat > "$dir/config.json" <<JSON
{ "lpcid": "$socket", "debugging": false, "appname": "zfsrep-demo" }
JSON

step "Local appliance: pool tank with dataset tank/data"
data=$(zfs sim-path tank/data)
head -c 160M /dev/urandom > "$data/demo.bin"
zfs list -r tank
# Throttle the simulated disks so the transfer takes a few seconds to watch.
echo 24M > "$ZFS_SIM_ROOT/faults/send-rate"

step "Starting zfsrep (socket $socket)"
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

step "Remote host $ZFSREP_TB_SSH_HOST:$ZFSREP_TB_SSH_PORT, its pools"
remote=$(printf '{"host":"%s","port":%s,"userid":"%s","passwd":"%s"}' \
  "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER" "$ZFSREP_TB_SSH_PASSWORD")
printf '%s' "$remote" | ctl zfsrep_pools_remote --json -

step "Creating a send mission: tank/data -> backup/data (runs at the next minute change)"
mission=$(printf '{"caption":"demo send","action":1,"pool":"tank","name":"data","path":"backup","host":"%s","port":%s,"userid":"%s","passwd":"%s","snapname":"demo","erase":true}' \
  "$ZFSREP_TB_SSH_HOST" "$ZFSREP_TB_SSH_PORT" "$ZFSREP_TB_SSH_USER" "$ZFSREP_TB_SSH_PASSWORD")
printf '%s' "$mission" | ctl zfsrep_mission_append --json -
msnno=$(ctl zfsrep_mission_alload | sed -n 's/.*"msnno": \([0-9]*\).*/\1/p' | tail -1)

step "Waiting for the scheduler, then the transfer's progress (zfsrepctl watch)"
ctl watch --until-finished "$msnno"

step "Remote snapshots (zfsrep_snapshot_remote)"
printf '%s' "$remote" | ctl zfsrep_snapshot_remote --json -

step "Event-log record (zfsrep_log_alload)"
ctl zfsrep_log_alload

step "Data at both ends"
(cd "$data" && sha256sum demo.bin)
(cd "$(ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs sim-path backup/data)" && sha256sum demo.bin)

cat <<HINT

zfsrep keeps running. From another shell, try for example:
  $bin/zfsrepctl/zfsrepctl --socket $socket help_interfaces
  $bin/zfsrepctl/zfsrepctl --socket $socket zfsrep_alload
  $bin/zfsrepctl/zfsrepctl --socket $socket watch
Press Ctrl-C to stop the service and tear the testbed down.
HINT
wait "$pid"
