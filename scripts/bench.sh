#!/usr/bin/env bash
# Runs every benchmark program of a build under Wine and prints its figures.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
build=$(realpath "$1")
"$here/wine-session.sh" start "$build" >/dev/null
trap '"$here/wine-session.sh" stop "$build"' EXIT
found=0
for bench in "$build"/bin/*_bench.exe; do
    [ -e "$bench" ] || continue
    found=1
    echo "== $(basename "$bench")"
    "$here/wine-run.sh" "$bench"
done
[ "$found" = 1 ] || echo "bench: no benchmark programs built"
