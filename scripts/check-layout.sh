#!/usr/bin/env bash
# Checks the shape of the service's source tree: the layers of zfsrep/ include
# only layers below them, and no file of zfsrep/ grows past 350 lines.
# Layers from the top: app, rpc, engine, schedule, runs, queries, replication,
# missions, commands, store (the last two are the floor and may include each
# other's headers only where listed below).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)/zfsrep
layers=(app rpc engine schedule runs queries replication missions commands store)
status=0
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
declare -A home
for layer in "${layers[@]}"; do
    for file in "$root/$layer"/*.h; do
        [ -e "$file" ] && home[$(basename "$file")]=$layer
    done
done
for layer in "${layers[@]}"; do
    for file in "$root/$layer"/*.{h,cpp}; do
        [ -e "$file" ] || continue
        lines=$(wc -l < "$file")
        if [ "$lines" -gt 350 ]; then
            echo "too long: ${file#"$root"/} has $lines lines (at most 350)"
            status=1
        fi
        while read -r header; do
            target=${home[$header]:-}
            [ -n "$target" ] || continue
            if [ "${rank[$target]}" -lt "${rank[$layer]}" ]; then
                echo "upward include: ${file#"$root"/} includes $target/$header"
                status=1
            fi
        done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
    done
done
[ "$status" -eq 0 ] && echo "layout: layers and file sizes as they should be"
exit "$status"
