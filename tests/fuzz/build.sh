#!/usr/bin/env bash
# Builds the loader fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, straight from the sources (not part of the
# Meson build). Usage: tests/fuzz/build.sh [OUT_DIR]   (default build/fuzz)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build/fuzz}"
mkdir -p "$out/obj"

CXX="${CXX:-clang++}"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I"$root/src" $(pkg-config --cflags tbb))
libs=($(pkg-config --libs tbb) -pthread)

# The core code the loaders reach: the surface, the worker pool, the forest
# (the geometry headers use its types).
sources=("$root"/src/quorin/surface/*.cpp "$root"/src/quorin/parallel.cpp "$root"/src/quorin/forest/*.cpp)
objects=()
pids=()
for s in "${sources[@]}"; do
  o="$out/obj/$(echo "${s#$root/}" | tr / _).o"
  "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$s" -o "$o" &
  pids+=($!)
  objects+=("$o")
done
for p in "${pids[@]}"; do wait "$p"; done

for target in fuzz_stl fuzz_obj; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/$target.cpp" "${objects[@]}" \
    "${libs[@]}" -o "$out/$target"
done
echo "built: $out/fuzz_stl $out/fuzz_obj"
