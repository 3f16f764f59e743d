# Shell functions the testbed benchmarks share (sourced by transfer_bench.sh
# and parallel_bench.sh): arithmetic, the machine's CPU ticks and column
# statistics.
# shellcheck shell=bash

# awk arithmetic on the arguments: calc 'a / b' 1 2
calc() { local e=$1; shift; awk -v a="${1:-0}" -v b="${2:-0}" -v c="${3:-0}" -v d="${4:-0}" "BEGIN { print $e }"; }

# /proc/stat's first line: busy and total ticks of all cores
ticks() {
    local cpu u n s i w q sq st
    read -r cpu u n s i w q sq st _ </proc/stat
    echo "$((u + n + s + q + sq + st)) $((u + n + s + i + w + q + sq + st))"
}

# min, median and max of column $1 of the file $2
stats() {
    awk -v c="$1" '{ print $c }' "$2" | sort -g | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print v[1], m, v[NR] }'
}
