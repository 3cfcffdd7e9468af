#!/bin/sh
# The vector versions are the only functions that hold AVX, AVX-512 or GFNI
# instructions: no helper, inline function or plain function does, so a
# caller that has not checked the CPU can reach none. Each file given (an
# archive, a program) is disassembled and every function with such an
# instruction (a v-prefixed mnemonic, a ymm, zmm or mask register, GF2P8*)
# must be on the list below; every one on the list must hold some, or the
# check would be looking at nothing.
# Usage: vector_isa_check.sh OBJDUMP FILE...
set -eu
objdump=$1
shift

entries="lrd::cutscan_vec::cut_words_avx2
lrd::cutscan_vec::cut_words_gfni
lrd::cutscan_vec::cut_words_rows
lrd::digest_lanes::digest_batch_avx2
lrd::digest_lanes::digest_batch_avx512"

status=0
for file in "$@"; do
  "$objdump" -d -C --no-show-raw-insn "$file" | awk -v entries="$entries" -v file="$file" '
    BEGIN {
      n = split(entries, list, "\n")
      for (i = 1; i <= n; i++) allowed[list[i]] = 1
    }
    # A function: "0000000000000000 <lrd::ns::name(args) [clone .cold]>:".
    /^[0-9a-f]+ <.*>:$/ {
      fn = $0
      sub(/^[0-9a-f]+ </, "", fn)
      sub(/>:$/, "", fn)
      name = fn
      gsub(/\(anonymous namespace\)/, "{anonymous}", name)
      sub(/\(.*/, "", name)
      next
    }
    # An instruction: "  addr:<TAB>mnemonic operands" (GNU), "  addr:   <TAB>..." (LLVM).
    /^ *[0-9a-f]+:[ \t]/ {
      insn = $0
      sub(/^ *[0-9a-f]+:[ \t]+/, "", insn)
      if (insn !~ /^v[a-z]/ && insn !~ /^gf2p8/ && insn !~ /%[yz]mm|%k[0-7]/) next
      if (name in allowed) { seen[name] = 1; next }
      if (!(fn in bad)) { bad[fn] = insn; nbad++ }
    }
    END {
      for (f in bad) printf "%s: %s uses a vector set (%s)\n", file, f, bad[f]
      for (i = 1; i <= n; i++)
        if (!(list[i] in seen)) { printf "%s: %s has no vector instruction\n", file, list[i]; nbad++ }
      exit nbad > 0
    }' || status=1
done
[ $status -eq 0 ] && echo "vector instructions only in the vector versions: $*"
exit $status
