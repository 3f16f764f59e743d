#!/bin/sh
# Runs promtool with the arguments given; exit status 77 (a skipped test for
# CTest) with a line saying so when promtool is not installed.
if ! command -v promtool >/dev/null 2>&1; then
  echo "SKIPPED: promtool not found (Debian package prometheus; scripts/install-deps.sh installs it)" >&2
  exit 77
fi
exec promtool "$@"
