#!/usr/bin/env bash
# End-to-end comparison: lrdedup against zstd --long and cat on the same
# inputs, in one run. Prints MB/s, output size, peak memory and ratios.
#
#   bench/compare.sh [LRDEDUP] [WORKDIR]
#
# LRDEDUP defaults to build/release/lrdedup, WORKDIR to /tmp/lrdedup-bench.
# BENCH_FILES picks inputs by name (default: random.bin lib.tar share.tar;
# empty: none).
# BENCH_RUNS=N times every command N times and keeps the fastest (default 1):
# on a virtual machine whose host takes back freed memory, a first run pays
# for backing its memory anew, and the runs after it mostly do not.
# BENCH_PREFIXES lists sizes in MB (default: 10 100) of prefixes of lib.tar
# on which lrdedup e and zstd -1 --long=30 -T1 run in turn, three times each:
# the median time and the largest peak resident set of each, and their ratio.
# Inputs are made once and kept: 1 GB of random data, a tar of
# /usr/lib/x86_64-linux-gnu and a tar of /usr/share. Every input is read once
# before timing, so the page cache holds it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
lr=${1:-$here/build/release/lrdedup}
work=${2:-/tmp/lrdedup-bench}
mkdir -p "$work"
command -v zstd >/dev/null || { echo "zstd not found: apt-get install zstd" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not found: apt-get install time" >&2; exit 1; }

[ -f "$work/random.bin" ] || head -c 1000000000 /dev/urandom > "$work/random.bin"
[ -f "$work/lib.tar" ] || tar cf "$work/lib.tar" -C /usr/lib x86_64-linux-gnu 2>/dev/null || true
[ -f "$work/share.tar" ] || tar cf "$work/share.tar" -C /usr share 2>/dev/null || true

# run NAME BASIS OUT CMD...: times CMD, prints one row. MB/s and the size
# ratio are counted against BASIS, the uncompressed input.
run() {
  local name=$1 in=$2 out=$3; shift 3
  local tv="$work/time.txt"
  local t0 t1 k secs="" s size rss=0 r insize
  for ((k = 0; k < ${BENCH_RUNS:-1}; k++)); do
    t0=$(date +%s.%N)
    /usr/bin/time -v -o "$tv" "$@" > /dev/null
    t1=$(date +%s.%N)
    s=$(echo "$t1 - $t0" | bc -l)
    r=$(awk -F: '/Maximum resident set size/ {gsub(/ /,"",$2); print $2}' "$tv")
    [ "$r" -gt "$rss" ] && rss=$r
    if [ -z "$secs" ] || [ "$(echo "$s < $secs" | bc -l)" = 1 ]; then secs=$s; fi
  done
  insize=$(stat -c %s "$in")
  size=$(stat -c %s "$out")
  printf '%-26s %10.0f MB/s %14d bytes %8.1f%% %8d MiB peak\n' "$name" \
    "$(echo "$insize / $secs / 1000000" | bc -l)" "$size" "$(echo "100 * $size / $insize" | bc -l)" "$((rss / 1024))"
  echo "$secs" > "$work/last.secs"
}

# median3 A B C: the middle one of three numbers.
median3() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

# timed OUTVAR CMD...: runs CMD once; OUTVAR gets "seconds peak_KiB".
timed() {
  local __out=$1; shift
  /usr/bin/time -f '%e %M' -o "$work/time1.txt" "$@" > /dev/null
  printf -v "$__out" '%s' "$(cat "$work/time1.txt")"
}

for mb in ${BENCH_PREFIXES-10 100}; do
  in="$work/lib.$mb.tar"
  [ -s "$in" ] || head -c $((mb * 1000000)) "$work/lib.tar" > "$in"
  cat "$in" > /dev/null
  lt=() lm=() zt=() zm=()
  for k in 1 2 3; do
    timed r "$lr" e "$in" "$work/prefix.lrd"
    lt+=("${r% *}") lm+=("${r#* }")
    timed r zstd -q -f -1 --long=30 -T1 "$in" -o "$work/prefix.zst"
    zt+=("${r% *}") zm+=("${r#* }")
  done
  l=$(median3 "${lt[@]}") z=$(median3 "${zt[@]}")
  lmax=$(printf '%s\n' "${lm[@]}" | sort -n | tail -1) zmax=$(printf '%s\n' "${zm[@]}" | sort -n | tail -1)
  printf '== lib.tar, first %d MB: lrdedup e %.2f s %d MiB peak; zstd -1 --long=30 -T1 %.2f s %d MiB peak; zstd/lrdedup time %.2f\n' \
    "$mb" "$l" $((lmax / 1024)) "$z" $((zmax / 1024)) "$(echo "$z / $l" | bc -l)"
  rm -f "$work/prefix.lrd" "$work/prefix.zst"
done

for f in ${BENCH_FILES-random.bin lib.tar share.tar}; do
  in="$work/$f"
  [ -s "$in" ] || continue
  cat "$in" > /dev/null
  echo "== $f ($(stat -c %s "$in") bytes)"
  run "cat" "$in" "$in" cat "$in"
  run "cp (the disk's pace)" "$in" "$work/$f.copy" cp "$in" "$work/$f.copy"
  rm -f "$work/$f.copy"
  run "lrdedup e" "$in" "$work/$f.lrd" "$lr" e "$in" "$work/$f.lrd"
  lr_e=$(cat "$work/last.secs")
  run "lrdedup d" "$in" "$work/$f.lrd.out" "$lr" d "$work/$f.lrd" "$work/$f.lrd.out"
  lr_d=$(cat "$work/last.secs")
  cmp "$in" "$work/$f.lrd.out"
  rm -f "$work/$f.lrd.out"
  # The coder alone, without the page cache's cost of a new output file.
  run "lrdedup e > /dev/null" "$in" "$work/$f.lrd" "$lr" e "$in" /dev/null
  run "lrdedup d > /dev/null" "$in" "$in" "$lr" d "$work/$f.lrd" /dev/null
  run "zstd -1 --long=30 -T1" "$in" "$work/$f.zst" zstd -q -f -1 --long=30 -T1 "$in" -o "$work/$f.zst"
  z_e=$(cat "$work/last.secs")
  run "zstd -d" "$in" "$work/$f.zst.out" zstd -q -f -d --long=30 "$work/$f.zst" -o "$work/$f.zst.out"
  z_d=$(cat "$work/last.secs")
  printf 'ratios: encode speed lrdedup/zstd %.2f, decode speed lrdedup/zstd %.2f\n' \
    "$(echo "$z_e / $lr_e" | bc -l)" "$(echo "$z_d / $lr_d" | bc -l)"
  rm -f "$work/$f.lrd.out" "$work/$f.zst.out"
done
