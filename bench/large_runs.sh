#!/usr/bin/env bash
# Whole runs of 100000, 1 million and 10 million rows x 10 columns (the
# benchmarks' blobs with noise), with --max-rows 0: wall time and peak memory
# of each, and the ratios the large-data targets are stated in. On demand,
# not in CI: the 10-million-row file is 690 MB and its run takes about a minute.
#   bench/large_runs.sh [build-dir] [data-dir]   (a Release build; default: build, /tmp)
set -euo pipefail
build=${1:-build}
data=${2:-/tmp}
cmake --build "$build" -j2 --target tavri make_blobs >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A wall peak
printf '%-10s %10s %12s %14s\n' "rows" "wall (s)" "peak (MB)" "data (MB)"
for rows in 100000 1000000 10000000; do
  file="$data/tavri-large-${rows}x10.txt"
  [ -f "$file" ] || "$build/make_blobs" "$rows" 10 "$file"
  ln -sf "$file" "$work/data.txt"
  ( cd "$work" && /usr/bin/time -f '%e %M' -o time.txt "$OLDPWD/$build/tavri" data.txt --max-rows 0 --quiet >/dev/null )
  read -r wall[$rows] kb < "$work/time.txt"
  peak[$rows]=$((kb * 1024))
  printf '%-10s %10s %12.0f %14.0f\n' "$rows" "${wall[$rows]}" "$(echo "${peak[$rows]} / 1000000" | bc -l)" \
    "$(echo "$rows * 80 / 1000000" | bc -l)"
done

# Time linear in the rows: 10 million at most 120 times 100000, and at most a
# minute; memory at most 2.5 times the data matrix plus the 128 MB of the
# clustering matrix.
time_ratio=$(echo "${wall[10000000]} / ${wall[100000]}" | bc -l)
memory_ratio=$(echo "${peak[10000000]} / (2.5 * 10000000 * 10 * 8 + 128000000)" | bc -l)
printf '\n%-44s %8.1f   (target at most 120)\n' "wall 10M / wall 100k" "$time_ratio"
printf '%-44s %8.1f s (target at most 60)\n' "wall 10M" "${wall[10000000]}"
printf '%-44s %8.2f   (target at most 1)\n' "peak 10M / (2.5 x 800 MB + 128 MB)" "$memory_ratio"
