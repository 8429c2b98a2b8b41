#!/usr/bin/env bash
# A data file of more than 2^31 lines (2147483653 lines of "1", 4 GiB made on
# the fly, no disk spent), fed through a FIFO: the line count must not wrap,
# the rows past the cap are only counted, and memory must not grow with the
# file (the run is held to 1 GiB of address space).
# Usage: .ci/huge_input.sh [TAVRI]   (default: build/tavri). Exit 0 when all holds.
set -uo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build/tavri}
if [ ! -x "$exe" ]; then
  echo "huge_input: $exe is not an executable (build it first)" >&2
  exit 2
fi
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

lines=2147483653
work=$(mktemp -d)
writer=
cleanup() {
  [ -n "$writer" ] && kill "$writer" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# A FIFO in a folder of our own: the outputs are written beside it.
mkfifo "$work/lines.txt"
yes 1 | head -n "$lines" > "$work/lines.txt" &
writer=$!

start=$SECONDS
(cd "$work" && ulimit -v 1048576 && exec "$exe" lines.txt) > "$work/out" 2> "$work/err"
status=$?
elapsed=$((SECONDS - start))

failed=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    echo "huge_input: $1: expected '$2', got '$3'"
    failed=1
  fi
}
check "exit status" 0 "$status"
check "first line of stdout" "DATA LOADED=$lines patterns, 1 dimensions" "$(head -n 1 "$work/out")"
check "standard error" \
  "tavri: read the first 100000 of $lines rows; the other $((lines - 100000)) were ignored (--max-rows 0 reads them all)" \
  "$(cat "$work/err")"
check "run summary" "lists=1 clusters=1 noise=0 rows=100000 points=1 sampled=1" "$(cat "$work/RTavri-lines.txt" 2>/dev/null)"
if [ $failed -ne 0 ]; then
  echo "--- stdout"; cat "$work/out"
  echo "--- stderr"; head -c 2000 "$work/err"
  echo "huge_input: FAILED after ${elapsed}s"
  exit 1
fi
echo "huge_input: $lines lines read and counted in ${elapsed}s"
