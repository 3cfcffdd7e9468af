#!/usr/bin/env bash
# The installed package as an outside program meets it: install to a fresh
# prefix, build the example with find_package (shared and static) and with
# pkg-config, and check that each one's stream and bytes are the program's.
#   install_test.sh BUILD_DIR SOURCE_DIR LRDEDUP
set -euo pipefail
build=$1 src=$2 lr=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src/examples" -B "$work/ex" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/ex" >/dev/null
# A project that enables no language still finds the package.
mkdir "$work/nolang"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(nolang LANGUAGES NONE)\nfind_package(lrdedup 0.4 REQUIRED)\n' \
  > "$work/nolang/CMakeLists.txt"
cmake -S "$work/nolang" -B "$work/nolang/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
pc_dir=$(dirname "$(find "$work/prefix" -name lrdedup.pc)")
PKG_CONFIG_PATH=$pc_dir cc -std=c99 -Wall -Werror -o "$work/lrd_file_pc" "$src/examples/lrd_file.c" \
  $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs lrdedup) -Wl,-rpath,"$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir lrdedup)"
# Data with repeats: a file, then it again with a change in the middle.
head -c 3000000 /dev/urandom > "$work/a"
{ cat "$work/a"; printf 'changed'; cat "$work/a"; } > "$work/in"
"$lr" e "$work/in" "$work/want.lrd" >/dev/null
n=0
for prog in "$work/ex/lrd_file" "$work/ex/lrd_file_static" "$work/lrd_file_pc"; do
  "$prog" e "$work/in" "$work/got.lrd" 2>/dev/null
  cmp "$work/got.lrd" "$work/want.lrd"
  "$prog" d "$work/got.lrd" "$work/back" 2>/dev/null
  cmp "$work/back" "$work/in"
  n=$((n + 1))
done
# The shared library has a SONAME of its major version and exports lrd_ names only.
so=$(find "$work/prefix" -name 'liblrdedup.so.*.*')
readelf -d "$so" | grep -q 'SONAME.*liblrdedup\.so\.0'
if nm -D --defined-only "$so" | awk '$2 ~ /[TDBRW]/ && $3 !~ /^lrd_/' | grep .; then
  echo "install_test: the shared library exports other names" >&2
  exit 1
fi
# The manual page gives the version the program says.
man=$(find "$work/prefix" -name lrdedup.1)
grep -q "^\.TH LRDEDUP 1 .*\"lrdedup $("$lr" --version | cut -d' ' -f2)\"" "$man"
echo "$n passed, 0 failed"
