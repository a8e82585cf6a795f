#!/usr/bin/env bash
# Compare tocrlf/tolf with unix2dos/dos2unix on one large text file.
#
# Usage: bench/bench_lineend.sh [BUILD_DIR]   (default: build)
# Environment: SIZE_MB (default 200), BENCH_DIR (default ${TMPDIR:-/tmp}),
#              RUNS (default 5; used with hyperfine).
# Skips (exit 0) when unix2dos/dos2unix are not installed.
set -euo pipefail

build=${1:-build}
size_mb=${SIZE_MB:-200}
runs=${RUNS:-5}
tocrlf=$(realpath "$build/tocrlf")
tolf=$(realpath "$build/tolf")

for p in "$tocrlf" "$tolf"; do
  [[ -x $p ]] || { echo "missing $p; build the tocrlf and tolf targets first" >&2; exit 1; }
done
for p in unix2dos dos2unix; do
  command -v "$p" >/dev/null || { echo "skipped: $p not installed"; exit 0; }
done

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/bench_lineend.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Text of about 60 characters a line, LF ends; the CR LF copy comes from it.
head -c "$((size_mb * 1024 * 1024))" >"$work/lf.txt" \
  < <(yes 'The quick brown fox jumps over the lazy dog, 0123456789 times.')
cp "$work/lf.txt" "$work/crlf.txt"
"$tocrlf" "$work/crlf.txt" >/dev/null
echo "input: $(du -m "$work/lf.txt" | cut -f1) MB with LF ends," \
     "$(du -m "$work/crlf.txt" | cut -f1) MB with CR LF ends, in $work"

if command -v hyperfine >/dev/null; then
  hyperfine --runs "$runs" --warmup 1 \
    --prepare "cp $work/lf.txt $work/x" \
    -n tocrlf "$tocrlf $work/x" -n unix2dos "unix2dos -q $work/x"
  hyperfine --runs "$runs" --warmup 1 \
    --prepare "cp $work/crlf.txt $work/x" \
    -n tolf "$tolf $work/x" -n dos2unix "dos2unix -q $work/x"
else
  t() { # label src command...
    local label=$1 src=$2; shift 2
    cp "$src" "$work/x"
    local t0 t1
    t0=$(date +%s.%N); "$@" "$work/x" >/dev/null; t1=$(date +%s.%N)
    awk -v l="$label" -v a="$t0" -v b="$t1" -v mb="$size_mb" \
      'BEGIN { printf "%-9s %7.3f s  %8.1f MB/s\n", l, b - a, mb / (b - a) }'
  }
  for _ in 1 2 3; do
    t tocrlf "$work/lf.txt" "$tocrlf"
    t unix2dos "$work/lf.txt" unix2dos -q
    t tolf "$work/crlf.txt" "$tolf"
    t dos2unix "$work/crlf.txt" dos2unix -q
  done
fi
