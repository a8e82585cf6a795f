#!/usr/bin/env bash
# qorimg's batch conversion with one worker and with two: FILES small BMP
# files (320 x 240, 24 bits) into PNG, best of RUNS runs each.
#
# Usage: bench/bench_batch.sh [BUILD_DIR]   (default: build)
# Environment: FILES (default 200), RUNS (default 3), BENCH_DIR (default ${TMPDIR:-/tmp}).
set -euo pipefail

build=${1:-build}
files=${FILES:-200}
runs=${RUNS:-3}
qorimg=$(realpath "$build/qorimg")
[[ -x $qorimg ]] || { echo "missing $qorimg; build the qorimg target first" >&2; exit 1; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/bench_batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/in"
# the colour picture of the tour as a 24-bit bitmap, copied FILES times
"$qorimg" tour "$work/tour" >/dev/null
"$qorimg" convert "$work/tour/tour-png-24.png" "$work/one.bmp" >/dev/null
for ((k = 0; k < files; k++)); do cp "$work/one.bmp" "$work/in/f$k.bmp"; done

once() {  # jobs -> wall time in ms
  rm -rf "$work/out"
  local start end
  start=$(date +%s%N)
  "$qorimg" convert --to png --out-dir "$work/out" --jobs "$1" "$work"/in/*.bmp >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
# runs alternate, so that both counts meet the same load; the best of each is kept
one=0 two=0
for ((r = 0; r < runs; r++)); do
  ms=$(once 1); ((one == 0 || ms < one)) && one=$ms
  ms=$(once 2); ((two == 0 || ms < two)) && two=$ms
done
echo "batch of $files files to PNG: --jobs 1 ${one} ms, --jobs 2 ${two} ms (best of $runs; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
