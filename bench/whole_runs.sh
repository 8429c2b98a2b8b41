#!/usr/bin/env bash
# Times whole runs of the executable on the benchmark's seeded data files and
# reports wall time and peak memory (maximum resident set size).
#   bench/whole_runs.sh [build-dir]      (a Release build; default: build)
set -euo pipefail
build=${1:-build}
cmake --build "$build" -j2 --target tavri bench_stages >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-28s %10s %12s\n' "data" "wall (s)" "peak (MB)"
for file in $("$build/bench_stages" --data-only); do
  cp "$file" "$work/"
  name=$(basename "$file")
  ( cd "$work" && /usr/bin/time -v "$OLDPWD/$build/tavri" "$name" >/dev/null 2>"$work/time.txt" ) || true
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n=split($2,t,":"); s=0; for(i=1;i<=n;i++) s=s*60+t[i]; print s}' "$work/time.txt")
  peak=$(awk -F': ' '/Maximum resident set size/ {printf "%.1f", $2/1024}' "$work/time.txt")
  printf '%-28s %10s %12s\n' "$name" "$wall" "$peak"
done
