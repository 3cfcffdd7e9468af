#!/usr/bin/env bash
# End-to-end benchmark as a user meets it: lrdedup against zstd --long and
# cp, file to file, on the same inputs, in one run.
#
#   bench/compare.sh [LRDEDUP] [WORKDIR]
#
# LRDEDUP defaults to build/release/lrdedup, WORKDIR to /tmp/lrdedup-bench.
# BENCH_FILES picks inputs by name (default: tar10M.bin tar100M.bin lib.tar
#   share.tar llvm.tar random.bin disk.img); a name not in that list is taken
#   as a file already in WORKDIR.
# BENCH_RUNS sets the number of rounds (default 3).
# BENCH_BASE names another lrdedup build (say main's) that runs every step
#   lrdedup runs, right after it and in turn before it (ABBA), with its own
#   rows and ratios; its stream is compared with this one's by cmp every
#   round, its decoded files with the input.
# BENCH_STREAMS_DIFFER=1 skips that cmp, for a base whose encoder chooses
#   other distances (a build from before the index kept the latest copy).
# BENCH_ENCODE_ONLY=1 leaves out the decodes and their cp: shorter rounds for
#   the large inputs.
#
# What it measures, and why this way:
# - Fresh memory. On this kind of virtual machine the host takes back memory
#   that is freed, and backing it anew is slow: a first touch of 1 GiB costs
#   0.5 to 1.7 s with small pages, up to 2.9 s with huge ones. A user's run
#   meets such memory, for its own buffers and for the page cache of the file
#   it writes. So the headline times are file to file, every output file is
#   removed before the command that writes it (a new file each time) and the
#   decoded files are removed once checked.
# - Alternation. Each round runs lrdedup e, zstd -1 --long=30 -T1, cp,
#   lrdedup d, zstd -d --long=30, cp, one after the other, so that no tool
#   finds the memory that it freed itself a moment before still warm; running
#   one command N times back to back would favour its later runs. Each pair
#   of lrdedup and zstd runs in the other order on even rounds, as the
#   second of two commands in a row runs a little slower here.
# - Writeback. Every run starts with nothing left to write (sync): a
#   decoded gigabyte left dirty by one run is otherwise written back, and
#   throttles writers, in the next one.
# - Medians. The headline is the median over the rounds (cp runs twice a
#   round, so its median is over twice as many runs); the range column shows
#   the spread. The fastest of N runs back to back to /dev/null, the coder
#   without the cost of a new output file, is kept as secondary rows.
# - Memory. Each run is under /usr/bin/time -v (maximum resident set, which
#   counts the pages of mapped files too) while a background loop reads
#   RssAnon from /proc/PID/status every ~10 ms (peak anonymous memory, the
#   program's own buffers). Both are the largest over the runs, in MiB.
# - cp copies the same uncompressed data file to file: the pace of the page
#   cache and the disk, which a compressor writing a file cannot beat. The
#   ratios compare lrdedup's time with it and with zstd's.
# - Pipelines. Each round also runs the tools between two cats, as in
#   `tar cf - dir | lrdedup e - - | zstd`: `cat IN | TOOL | cat > file` for
#   both modes of lrdedup and zstd, and `lrdedup d X -` with standard output
#   redirected into a file, beside the named output of the headline. The
#   memory columns of the rows between cats are the largest of the pipeline's
#   processes (RSS) and the shell's (anon), so they are shown as '-'.
#   BENCH_PIPES=0 leaves these rows out.
# Every decoded file is compared with its input by cmp; a mismatch stops the
# script (the /dev/null decodes of the secondary rows cannot be compared).
# Every input is read once before its runs, so the page cache holds it.
#
# Inputs, made in WORKDIR on first use and kept:
#   random.bin   1 GB from /dev/urandom (nothing to find)
#   lib.tar      tar of /usr/lib/x86_64-linux-gnu
#   share.tar    tar of /usr/share
#   llvm.tar     tar of four LLVM releases (13 to 16) unpacked from Debian's
#                llvm-N-dev and libllvmN packages (apt-get download; the .deb
#                files are kept in WORKDIR/llvm-debs), about 1.6 GB
#   tar10M.bin   the first 10 MB of lib.tar
#   tar100M.bin  the first 100 MB of lib.tar
#   py700.tar    tar of three Python installs of pyenv (BENCH_PY names them,
#                default 3.9.18 3.10.13 3.12.1 under ~/.pyenv/versions),
#                about 700 MB: similar software trees
#   py256M.bin   the first 256 MiB of py700.tar
#   big4G.bin    py700.tar, llvm.tar and llvm.tar again, about 3.9 GB
#   disk.img     like a disk image, about 1 GB: 16 MiB chunks of lib.tar from
#                varied offsets between 64 MiB runs of zeros, ending with a
#                zero run off a 4 KiB boundary. For every input the decoded
#                files' allocated size is printed beside their size, as a
#                decoder may leave holes for zero blocks.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")/.." && pwd)
lr=${1:-$here/build/release/lrdedup}
work=${2:-/tmp/lrdedup-bench}
runs=${BENCH_RUNS:-3}
base=${BENCH_BASE:-}
encode_only=${BENCH_ENCODE_ONLY:-0}
files=${BENCH_FILES:-tar10M.bin tar100M.bin lib.tar share.tar llvm.tar random.bin disk.img}
pipes=${BENCH_PIPES:-1}
MiB=1048576

die() { echo "compare.sh: $*" >&2; exit 1; }
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number, not '$runs'"
[ -x "$lr" ] || die "lrdedup not found at $lr (build it, or pass its path)"
[ -z "$base" ] || [ -x "$base" ] || die "BENCH_BASE: no lrdedup at $base"
command -v zstd >/dev/null || die "zstd not found: apt-get install zstd"
[ -x /usr/bin/time ] || die "/usr/bin/time not found: apt-get install time"
mkdir -p "$work"
# A descriptor that never has data: 'read -t 0.01' on it is a 10 ms sleep
# without starting a process.
exec {tick}<> <(:)

# ---------------------------------------------------------------- inputs

apt_updated=0
fetch_deb() { # fetch_deb PKG DIR: apt-get download PKG into DIR unless there
  local p=$1 dir=$2 f
  for f in "$dir/${p}_"*.deb; do [ -s "$f" ] && return 0; done
  (cd "$dir" && apt-get download "$p" >/dev/null 2>&1) && return 0
  if ((apt_updated == 0)); then
    apt_updated=1
    echo "compare.sh: apt-get download $p failed, running apt-get update" >&2
    apt-get update >/dev/null 2>&1 || echo "compare.sh: apt-get update failed" >&2
    (cd "$dir" && apt-get download "$p" >/dev/null 2>&1) && return 0
  fi
  return 1
}

make_llvm() { # make_llvm PART
  local debs=$work/llvm-debs root=$work/llvm-root p d n=0
  mkdir -p "$debs"
  rm -rf "$root"
  mkdir -p "$root"
  for p in llvm-13-dev llvm-14-dev llvm-15-dev llvm-16-dev libllvm13 libllvm14 libllvm15 libllvm16; do
    if fetch_deb "$p" "$debs"; then
      for d in "$debs/${p}_"*.deb; do dpkg-deb -x "$d" "$root"; n=$((n + 1)); done
    else
      echo "compare.sh: package $p is not available; llvm.tar is made without it" >&2
    fi
  done
  ((n > 0)) || die "no LLVM package could be downloaded, cannot make llvm.tar"
  tar cf "$1" -C "$root" .
  rm -rf "$root"
}

make_disk() { # make_disk PART: 16 MiB chunks of lib.tar between zero runs
  local src=$work/lib.tar size k off
  size=$(stat -c %s "$src")
  ((size > 32 * MiB)) || die "lib.tar is too small to make disk.img"
  chunk() { dd if="$src" bs=1M iflag=skip_bytes,count_bytes skip="$1" count=$((16 * MiB)) status=none; }
  {
    for ((k = 0; k < 12; k++)); do
      off=$(((k * 77 * MiB + k * 4099 + 512) % (size - 16 * MiB)))
      chunk "$off"
      head -c $((64 * MiB)) /dev/zero
    done
    chunk $(((size - 16 * MiB) / 3 + 1))
    head -c $((4 * MiB + 1536)) /dev/zero
  } > "$1"
}

ensure() { # ensure NAME: make WORKDIR/NAME if it is not there yet
  local f=$1 out=$work/$1 part=$work/$1.part
  [ -s "$out" ] && return 0
  case $f in
    random.bin) echo "making $f" >&2; head -c 1000000000 /dev/urandom > "$part" ;;
    lib.tar) echo "making $f" >&2; tar cf "$part" -C /usr/lib x86_64-linux-gnu 2>/dev/null || true ;;
    share.tar) echo "making $f" >&2; tar cf "$part" -C /usr share 2>/dev/null || true ;;
    llvm.tar) echo "making $f" >&2; make_llvm "$part" ;;
    tar10M.bin) ensure lib.tar; echo "making $f" >&2; head -c 10000000 "$work/lib.tar" > "$part" ;;
    tar100M.bin) ensure lib.tar; echo "making $f" >&2; head -c 100000000 "$work/lib.tar" > "$part" ;;
    disk.img) ensure lib.tar; echo "making $f" >&2; make_disk "$part" ;;
    py700.tar)
      echo "making $f" >&2
      # shellcheck disable=SC2086
      tar cf "$part" -C "${PYENV_ROOT:-$HOME/.pyenv}/versions" ${BENCH_PY:-3.9.18 3.10.13 3.12.1} ;;
    py256M.bin) ensure py700.tar; echo "making $f" >&2; head -c $((256 * MiB)) "$work/py700.tar" > "$part" ;;
    big4G.bin) ensure py700.tar; ensure llvm.tar; echo "making $f" >&2; cat "$work/py700.tar" "$work/llvm.tar" "$work/llvm.tar" > "$part" ;;
    *) die "no input $out, and $f is not one this script can make" ;;
  esac
  [ -s "$part" ] || die "could not make $f"
  mv "$part" "$out"
}

# ---------------------------------------------------------------- one run

# sample DONE PIDFILE OUT (in the background): once PIDFILE names the pid of
# /usr/bin/time, finds its child and reads the child's RssAnon every ~10 ms
# (every ~1 ms until the child is found and for its first 20 samples, so that
# a short run is seen too) until DONE exists; writes the largest value seen
# (KiB) to OUT, and to OUT.thr the CPU time (user + system, in clock ticks)
# each thread had used when last seen, summed by thread name ("name=ticks"
# words; a thread that ends between two samples loses up to ~10 ms).
sample() {
  set +e
  local done=$1 pidf=$2 out=$3 tpid="" cpid="" max=0 n=0 k v rest t
  local -a f
  local -A cpu=() name=()
  while [ ! -e "$done" ]; do
    [ -z "$tpid" ] && [ -s "$pidf" ] && read -r tpid < "$pidf"
    [ -n "$tpid" ] && [ -z "$cpid" ] && read -r cpid rest 2>/dev/null < "/proc/$tpid/task/$tpid/children"
    if [ -n "$cpid" ]; then
      n=$((n + 1))
      while read -r k v rest; do
        if [ "$k" = RssAnon: ]; then ((v > max)) && max=$v; break; fi
      done 2>/dev/null < "/proc/$cpid/status"
      for t in /proc/"$cpid"/task/*; do
        read -r -a f 2>/dev/null < "$t/stat" || continue
        ((${#f[@]} > 14)) || continue
        name[$t]=${f[1]//[()]/} cpu[$t]=$((f[13] + f[14]))
      done
    fi
    if ((n < 20)); then read -r -t 0.001 -u "$tick" k; else read -r -t 0.01 -u "$tick" k; fi
  done
  echo "$max" > "$out"
  local -A sum=()
  for t in "${!cpu[@]}"; do sum[${name[$t]}]=$((${sum[${name[$t]}]:-0} + cpu[$t])); done
  for k in "${!sum[@]}"; do printf '%s=%s ' "$k" "${sum[$k]}"; done > "$out.thr"
}

# measure CMD...: runs CMD once; sets m_us (wall time, microseconds), m_rss
# and m_anon (KiB). The sampler starts before the clock does.
measure() {
  local done=$work/.done pidf=$work/.pid anonf=$work/.anon tv=$work/.time log=$work/.log
  local spid tpid rc=0 t0 t1
  rm -f "$done" "$pidf" "$anonf" "$anonf.thr"
  sample "$done" "$pidf" "$anonf" &
  spid=$!
  t0=${EPOCHREALTIME/./}
  /usr/bin/time -v -o "$tv" "$@" > "$log" 2>&1 &
  tpid=$!
  echo "$tpid" > "$pidf"
  wait "$tpid" || rc=$?
  t1=${EPOCHREALTIME/./}
  : > "$done"
  wait "$spid" || true
  if ((rc != 0)); then
    cat "$log" >&2
    die "command failed (exit $rc): $*"
  fi
  m_us=$((t1 - t0))
  m_rss=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$tv")
  m_anon=$(< "$anonf")
  m_thr=$(cat "$anonf.thr" 2>/dev/null)
}

# Per command label: the run times (us), largest RSS and RssAnon (KiB), the
# output size.
declare -A times rss anon osize thr_ticks thr_names
record() { # record LABEL OUTFILE: after measure
  local l=$1 w
  for w in $m_thr; do
    [[ " ${thr_names[$l]:-} " == *" ${w%%=*} "* ]] || thr_names[$l]+=" ${w%%=*}"
    thr_ticks[$l|${w%%=*}]+=" ${w#*=}"
  done
  times[$l]="${times[$l]:-} $m_us"
  rss[$l]=$((m_rss > ${rss[$l]:-0} ? m_rss : ${rss[$l]:-0}))
  anon[$l]=$((m_anon > ${anon[$l]:-0} ? m_anon : ${anon[$l]:-0}))
  if [ "$2" = /dev/null ]; then osize[$l]=0; else osize[$l]=$(stat -c %s "$2"); fi
}
timed() { # timed LABEL OUTFILE CMD...: removes OUTFILE, runs and records CMD
  local l=$1 o=$2
  shift 2
  [ "$o" = /dev/null ] || rm -f "$o"
  # What the runs before wrote goes to the disk first, not during this one.
  sync
  measure "$@"
  record "$l" "$o"
}
# threads LABEL CHUNKS: the median CPU seconds of each thread of LABEL's
# runs, by name, and the main thread's (named lrdedup) per chunk.
threads() {
  local l=$1 x=$2 n out="" hz main=0
  hz=$(getconf CLK_TCK)
  for n in ${thr_names[$l]:-}; do
    local m; m=$(median "${thr_ticks[$l|$n]}")
    out+="$n $(awk -v t="$m" -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}') s, "
    [ "$n" = lrdedup ] && main=$m
  done
  echo "${out}main thread $(awk -v t="$main" -v hz="$hz" -v x="$x" 'BEGIN {printf "%.0f", x ? t / hz * 1e9 / x : 0}') ns per chunk"
}
median() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{v[NR] = $1} END {printf "%.0f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
fastest() { tr ' ' '\n' <<< "$1" | grep . | sort -n | head -1; }
spread() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk 'NR == 1 {a = $1} {b = $1} END {printf "%.3f-%.3f", a / 1e6, b / 1e6}'; }
check() { # check INPUT DECODED WHO ROUND
  cmp -s "$1" "$2" || die "MISMATCH: $3's decoded $2 differs from $1 (round $4); the file is kept"
}
alloc() { # alloc FILE: "apparent/allocated MiB"
  stat -c '%s %b %B' "$1" | awk '{printf "%.1f/%.1f", $1 / 1048576, $2 * $3 / 1048576}'
}

# ---------------------------------------------------------------- report

row_fmt='%-36s %9s %15s %9s %14s %8s %9s %10s\n'
print_row() { # print_row LABEL US INSIZE
  local l=$1 us=$2 in=$3 size=${osize[$1]} pct r a
  pct=$(awk -v s="$size" -v i="$in" 'BEGIN {printf "%.2f%%", 100 * s / i}')
  [ "$size" = 0 ] && { size=-; pct=-; }
  r=$((${rss[$l]} / 1024)) a=$((${anon[$l]} / 1024))
  [[ $l == "cat |"* ]] && { r=-; a=-; }
  printf "$row_fmt" "$l" "$(awk -v u="$us" 'BEGIN {printf "%.3f", u / 1e6}')" "$(spread "${times[$l]}")" \
    "$(awk -v u="$us" -v i="$in" 'BEGIN {printf "%.1f", i / u}')" "$size" "$pct" "$r" "$a"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
mbs() { awk -v u="$1" -v i="$2" 'BEGIN {printf "%.0f", i / u}'; }

summary="" psummary=""
echo "lrdedup: $lr"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r), transparent huge pages: $(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo unknown)"
echo "rounds: $runs; workdir: $work"

for f in $files; do
  ensure "$f"
  in=$work/$f
  lrd=$work/$f.lrd zst=$work/$f.zst copy=$work/$f.copy
  insize=$(stat -c %s "$in")
  cat "$in" > /dev/null
  times=() rss=() anon=() osize=()
  # One step of a round each; a round runs them in pairs (lrdedup, then zstd
  # on odd rounds, the other way round on even ones), so that neither tool
  # always follows the other.
  # both LR BASE: runs step LR, then BASE when there is a base build, the
  # other way round on even rounds; BASE runs after LR's first run.
  both() { if [ -z "$base" ]; then "$1"; elif ((r % 2 || r == 1)); then "$1"; "$2"; else "$2"; "$1"; fi; }
  enc_this() {
    timed "lrdedup e" "$lrd" "$lr" e "$in" "$lrd"
    lr_x=$(awk '/^sum=/ {sub(/^x=/, "", $2); print $2}' "$work/.log")
  }
  enc_base() {
    timed "base e" "$lrd.base" "$base" e "$in" "$lrd.base"
    [ -n "${BENCH_STREAMS_DIFFER:-}" ] || cmp -s "$lrd" "$lrd.base" ||
      die "the streams of $lr and $base differ on $f (round $r); both are kept"
    rm -f "$lrd.base"
  }
  enc_lr() { both enc_this enc_base; }
  enc_z() { timed "zstd -1 --long=30 -T1" "$zst" zstd -q -f -1 --long=30 -T1 "$in" -o "$zst"; }
  dec_this() {
    timed "lrdedup d" "$lrd.out" "$lr" d "$lrd" "$lrd.out"
    lr_dx=$(awk '/^sum=/ {sub(/^x=/, "", $2); print $2}' "$work/.log")
    check "$in" "$lrd.out" "lrdedup d" "$r"
    ((r == runs)) && a_lr=$(alloc "$lrd.out")
    rm -f "$lrd.out"
  }
  dec_base() {
    timed "base d" "$lrd.out" "$base" d "$lrd" "$lrd.out"
    check "$in" "$lrd.out" "base d" "$r"
    rm -f "$lrd.out"
  }
  dec_lr() { both dec_this dec_base; }
  dec_z() {
    timed "zstd -d --long=30" "$zst.out" zstd -q -f -d --long=30 "$zst" -o "$zst.out"
    check "$in" "$zst.out" "zstd -d" "$r"
    ((r == runs)) && a_z=$(alloc "$zst.out")
    rm -f "$zst.out"
  }
  pipe_enc() { # pipe_enc LABEL PROGRAM
    timed "$1" "$lrd.p" bash -c 'cat "$1" | "$2" e - - 2>/dev/null | cat > "$3"' - "$in" "$2" "$lrd.p"
    { [ -n "${BENCH_STREAMS_DIFFER:-}" ] && [ "$2" = "$base" ]; } || cmp -s "$lrd" "$lrd.p" ||
      die "MISMATCH: $1's stream through pipes differs from the file's (round $r)"
    rm -f "$lrd.p"
  }
  pipe_enc_this() { pipe_enc "cat | lrdedup e | cat" "$lr"; }
  pipe_enc_base() { pipe_enc "cat | base e | cat" "$base"; }
  pipe_enc_lr() { both pipe_enc_this pipe_enc_base; }
  pipe_enc_z() {
    timed "cat | zstd -1 --long=30 -T1 | cat" "$zst.p" bash -c 'cat "$1" | zstd -q -1 --long=30 -T1 | cat > "$2"' - "$in" "$zst.p"
    rm -f "$zst.p"
  }
  pipe_dec() { # pipe_dec LABEL PROGRAM
    timed "$1" "$lrd.out" bash -c 'cat "$1" | "$2" d - - 2>/dev/null | cat > "$3"' - "$lrd" "$2" "$lrd.out"
    check "$in" "$lrd.out" "$1" "$r"
    rm -f "$lrd.out"
  }
  pipe_dec_this() { pipe_dec "cat | lrdedup d | cat" "$lr"; }
  pipe_dec_base() { pipe_dec "cat | base d | cat" "$base"; }
  pipe_dec_lr() { both pipe_dec_this pipe_dec_base; }
  pipe_dec_z() {
    timed "cat | zstd -d | cat" "$zst.out" bash -c 'cat "$1" | zstd -q -d --long=30 | cat > "$2"' - "$zst" "$zst.out"
    check "$in" "$zst.out" "cat | zstd -d | cat" "$r"
    rm -f "$zst.out"
  }
  pair() { if ((r % 2)); then "$1"; "$2"; else "$2"; "$1"; fi; }
  for ((r = 1; r <= runs; r++)); do
    # zstd's first round needs lrdedup's stream: the first pair always starts with lrdedup.
    if ((r == 1)); then enc_lr; enc_z; else pair enc_lr enc_z; fi
    timed "cp" "$copy" cp "$in" "$copy"
    ((r == runs)) && a_cp=$(alloc "$copy")
    rm -f "$copy"
    ((encode_only)) && continue
    pair dec_lr dec_z
    timed "cp" "$copy" cp "$in" "$copy"
    rm -f "$copy"
    ((pipes)) || continue
    pair pipe_enc_lr pipe_enc_z
    pair pipe_dec_lr pipe_dec_z
    # exec: the shell becomes lrdedup, whose memory the sampler then reads.
    timed "lrdedup d - > file" "$lrd.out" bash -c 'exec "$1" d "$2" - > "$3" 2>/dev/null' - "$lr" "$lrd" "$lrd.out"
    check "$in" "$lrd.out" "lrdedup d - > file" "$r"
    ((r == runs)) && a_so=$(alloc "$lrd.out")
    rm -f "$lrd.out"
  done
  if ((encode_only)); then
    rm -f "$lrd" "$zst"
    echo
    echo "== $f: $insize bytes; encode only, median of $runs rounds, file to file, tools alternating"
    printf "$row_fmt" "command" "median s" "range s" "MB/s" "output bytes" "output" "RSS MiB" "anon MiB"
    labels=("lrdedup e")
    [ -n "$base" ] && labels+=("base e")
    for l in "${labels[@]}" "zstd -1 --long=30 -T1" "cp"; do print_row "$l" "$(median "${times[$l]}")" "$insize"; done
    le=$(median "${times[lrdedup e]}") ze=$(median "${times[zstd -1 --long=30 -T1]}") cpt=$(median "${times[cp]}")
    echo "ratios: speed lrdedup e / zstd $(ratio "$ze" "$le"), time lrdedup e / cp $(ratio "$le" "$cpt")$([ -n "$base" ] && echo ", time lrdedup e / base e $(ratio "$le" "$(median "${times[base e]}")")"); chunks x=$lr_x, anon bytes per chunk $(awk -v a="${anon[lrdedup e]}" -v x="$lr_x" 'BEGIN {printf "%.1f", a * 1024 / x}')"
    echo "CPU per thread, medians: lrdedup e: $(threads "lrdedup e" "$lr_x")"
    continue
  fi
  for ((r = 1; r <= runs; r++)); do timed "lrdedup e > /dev/null" /dev/null "$lr" e "$in" /dev/null; done
  for ((r = 1; r <= runs; r++)); do timed "lrdedup d > /dev/null" /dev/null "$lr" d "$lrd" /dev/null; done

  echo
  echo "== $f: $insize bytes; median of $runs rounds (cp: of twice as many), file to file, tools alternating"
  printf "$row_fmt" "command" "median s" "range s" "MB/s" "output bytes" "output" "RSS MiB" "anon MiB"
  labels=("lrdedup e")
  [ -n "$base" ] && labels+=("base e")
  labels+=("zstd -1 --long=30 -T1" "cp" "lrdedup d")
  [ -n "$base" ] && labels+=("base d")
  for l in "${labels[@]}" "zstd -d --long=30"; do
    print_row "$l" "$(median "${times[$l]}")" "$insize"
  done
  echo "CPU per thread, medians: lrdedup e: $(threads "lrdedup e" "$lr_x"); lrdedup d: $(threads "lrdedup d" "${lr_dx:-$lr_x}")"
  echo "secondary: fastest of $runs back to back, output to /dev/null"
  for l in "lrdedup e > /dev/null" "lrdedup d > /dev/null"; do
    print_row "$l" "$(fastest "${times[$l]}")" "$insize"
  done
  if ((pipes)); then
    echo "pipelines: median of $runs rounds, within the same rounds"
    labels=("cat | lrdedup e | cat")
    [ -n "$base" ] && labels+=("cat | base e | cat")
    labels+=("cat | zstd -1 --long=30 -T1 | cat" "cat | lrdedup d | cat")
    [ -n "$base" ] && labels+=("cat | base d | cat")
    for l in "${labels[@]}" "cat | zstd -d | cat" "lrdedup d - > file"; do
      print_row "$l" "$(median "${times[$l]}")" "$insize"
    done
    pe=$(median "${times[cat | lrdedup e | cat]}") pz=$(median "${times[cat | zstd -1 --long=30 -T1 | cat]}")
    pd=$(median "${times[cat | lrdedup d | cat]}") pzd=$(median "${times[cat | zstd -d | cat]}")
    so=$(median "${times[lrdedup d - > file]}")
    echo "pipe ratios: speed lrdedup e / zstd $(ratio "$pz" "$pe"), speed lrdedup d / zstd -d $(ratio "$pzd" "$pd"); time lrdedup d - > file / lrdedup d file $(ratio "$so" "$(median "${times[lrdedup d]}")"), its decoded file apparent/allocated MiB $a_so$([ -n "$base" ] && echo "; time / base: e $(ratio "$pe" "$(median "${times[cat | base e | cat]}")"), d $(ratio "$pd" "$(median "${times[cat | base d | cat]}")")")"
    psummary+="| $f | $(mbs "$pe" "$insize") | $(mbs "$pz" "$insize") | $(ratio "$pz" "$pe") | $(mbs "$pd" "$insize") | $(mbs "$pzd" "$insize") | $(ratio "$pzd" "$pd") | $(ratio "$so" "$(median "${times[lrdedup d]}")") | $((${anon[lrdedup d - > file]} / 1024)) |"$'\n'
  fi
  le=$(median "${times[lrdedup e]}") ze=$(median "${times[zstd -1 --long=30 -T1]}")
  ld=$(median "${times[lrdedup d]}") zd=$(median "${times[zstd -d --long=30]}")
  cpt=$(median "${times[cp]}")
  echo "ratios: speed lrdedup e / zstd $(ratio "$ze" "$le"), speed lrdedup d / zstd -d $(ratio "$zd" "$ld"), time lrdedup e / cp $(ratio "$le" "$cpt"), time lrdedup d / cp $(ratio "$ld" "$cpt"), size lrdedup / zstd $(ratio "${osize[lrdedup e]}" "${osize[zstd -1 --long=30 -T1]}")$([ -n "$base" ] && echo ", time / base: e $(ratio "$le" "$(median "${times[base e]}")"), d $(ratio "$ld" "$(median "${times[base d]}")")")"
  echo "decoded files, apparent/allocated MiB: input $(alloc "$in"), lrdedup d $a_lr, zstd -d $a_z, cp $a_cp"
  summary+="| $f | $(mbs "$le" "$insize") | $(mbs "$ze" "$insize") | $(ratio "$ze" "$le") | $(mbs "$ld" "$insize") | $(mbs "$zd" "$insize") | $(ratio "$zd" "$ld") | $(mbs "$cpt" "$insize") | $(ratio "$le" "$cpt") | $(ratio "$ld" "$cpt") | $((${anon[lrdedup e]} / 1024)) | $((${anon[lrdedup d]} / 1024)) |"$'\n'
done

[ -n "$summary" ] || exit 0
echo
echo "Summary: MB/s of the uncompressed size, medians of $runs rounds, file to file; ratio = lrdedup speed / zstd speed; e/cp, d/cp = lrdedup time / cp time; anon = peak RssAnon MiB"
echo
echo "| input | lrdedup e MB/s | zstd -1 MB/s | ratio | lrdedup d MB/s | zstd -d MB/s | ratio | cp MB/s | e/cp | d/cp | e anon MiB | d anon MiB |"
echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
printf '%s' "$summary"
if ((pipes)); then
  echo
  echo "Pipelines: MB/s of the uncompressed size through cat | TOOL | cat > file, medians of $runs rounds; ratio = lrdedup speed / zstd speed; d - > file: lrdedup d X - > file, its time / lrdedup d X file and its peak RssAnon MiB"
  echo
  echo "| input | lrdedup e MB/s | zstd -1 MB/s | ratio | lrdedup d MB/s | zstd -d MB/s | ratio | d - > file / named | d - > file anon MiB |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
  printf '%s' "$psummary"
fi
