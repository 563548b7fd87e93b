#!/usr/bin/env bash
# Builds the fuzz targets (the loaders, and the ghost-cell road on loaded
# surfaces) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: a Meson build of its own with -Dfuzz=libfuzzer,
# where every source, the library's included, carries the coverage and
# sanitizer flags. The targets take the library's own source list, so a new
# core file is never left out.
#   tests/fuzz/build.sh [OUT_DIR]   (default build/fuzz)
# The Meson build is OUT_DIR/meson; OUT_DIR/<target> links to its executable.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build/fuzz}"
dir="$out/meson"
targets=(fuzz_stl fuzz_obj fuzz_classify fuzz_classify_obj)

# Assertions on, optimised lightly for speed under the sanitizers.
options=(--buildtype=plain -Dfuzz=libfuzzer -Dtests=true -Dbench=false -Db_ndebug=false
         -Db_sanitize=address,undefined -Db_lundef=false
         "-Dcpp_args=-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined")
if [ -f "$dir/build.ninja" ]; then
  meson configure "$dir" "${options[@]}"   # applies options changed here since
else
  mkdir -p "$out"
  CXX="${CXX:-clang++}" meson setup "$dir" "$root" "${options[@]}" >/dev/null
fi
ninja -C "$dir" "${targets[@]/#/tests/fuzz/}"

for t in "${targets[@]}"; do ln -sfn "meson/tests/fuzz/$t" "$out/$t"; done
echo "built:" "${targets[@]/#/$out/}"
