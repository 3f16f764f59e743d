#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build, test and demo
# zfsrep. Idempotent: when every package is present it prints nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev
  sshpass pv openssh-server openssh-client
  bsdutils util-linux mount gzip pigz procps iproute2 passwd
  help2man
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
