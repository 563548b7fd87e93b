#!/usr/bin/env bash
# Builds the fuzz targets (the loaders, and the ghost-cell road on loaded
# surfaces) with libFuzzer, AddressSanitizer and
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

# The core code the targets reach: the surface, the worker pool, the forest,
# the immersed-boundary classification and the ghost-cell mesh export.
sources=("$root"/src/quorin/surface/*.cpp "$root"/src/quorin/parallel.cpp "$root"/src/quorin/memory.cpp
         "$root"/src/quorin/shared_pages.cpp
         "$root"/src/quorin/forest/*.cpp "$root"/src/quorin/ibm/*.cpp "$root"/src/quorin/export/ghost_cell.cpp)
objects=()
pids=()
for s in "${sources[@]}"; do
  o="$out/obj/$(echo "${s#$root/}" | tr / _).o"
  "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$s" -o "$o" &
  pids+=($!)
  objects+=("$o")
done
for p in "${pids[@]}"; do wait "$p"; done

targets=(fuzz_stl fuzz_obj fuzz_classify fuzz_classify_obj)
pids=()
for target in "${targets[@]}"; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$root/tests/fuzz/$target.cpp" "${objects[@]}" \
    "${libs[@]}" -o "$out/$target" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
echo "built:" "${targets[@]/#/$out/}"
