#!/usr/bin/env bash
# Times whole runs of the executable on the benchmark's seeded data files and
# reports wall time and peak memory (maximum resident set size).
#   bench/whole_runs.sh [build-dir]      (a Release build; default: build)
set -euo pipefail
build=${1:-build}
cmake --build "$build" -j2 --target tavri bench_stages >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-28s %10s %12s %18s\n' "data" "wall (s)" "peak (MB)" "peak / 8 n^2"
for file in $("$build/bench_stages" --data-only); do
  cp "$file" "$work/"
  name=$(basename "$file")
  ( cd "$work" && /usr/bin/time -v "$OLDPWD/$build/tavri" "$name" >/dev/null 2>"$work/time.txt" ) || true
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")
  peak=$(awk -F': ' '/Maximum resident set size/ {printf "%.1f", $2/1024}' "$work/time.txt")
  # The memory target is stated against the n x n distance matrix of the
  # (at most 4000) clustered rows: 8 n^2 bytes.
  rows=$(echo "$name" | sed -E 's/.*-([0-9]+)x[0-9]+\.txt/\1/')
  n=$(( rows < 4000 ? rows : 4000 ))
  ratio=$(awk -v p="$peak" -v n="$n" 'BEGIN { printf "%.2f", p * 1048576 / (8 * n * n) }')
  printf '%-28s %10s %12s %18s\n' "$name" "$wall" "$peak" "$ratio"
done
