#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a host project against it
# with find_package and pkg-config, runs it, and checks the exported symbols.
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/tests/package/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}" "$work/consumer/consumer" | grep 'consumer touched 1'
if [ -e "$build/vulkan/libKELScreenSpacePartitioningVulkan.so" ]; then
  LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}" "$work/consumer/vulkan_consumer" | grep -q 'vulkan consumer linked'
fi

# pkg-config finds the same library.
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs KELScreenSpacePartitioning | grep -q -- '-lKELScreenSpacePartitioning'

# Only the public surface is exported: nothing of the internal classes.
lib="$(ls "$work"/prefix/lib/libKELScreenSpacePartitioning.so.* | head -n 1)"
symbols="$(nm -D --defined-only "$lib" | c++filt)"
for public in 'KELOcclusionCullingEngine::EndCulling' 'KELAllocator::GetAllocator' 'AllocateElement' 'AllocMatrix' \
              'KELOcclusionCullingClientAdapter::GenQuery' 'TALBEK_WORKS_QBN5_INTERNAL_KELScreenSpacePartitioning'; do
  grep -q "$public" <<<"$symbols" || { echo "missing export: $public"; exit 1; }
done
if grep -E '\b(KEL3DZone|KELScreenZone|KELScreenSpacePartition|KELOcclusionQueryTask|KELGrowArray|FIFOQueue|KELSettings)\b|RunOcclusionTraversal' <<<"$symbols"; then
  echo "internal symbols are exported"
  exit 1
fi
readelf -d "$lib" | grep -q 'SONAME.*libKELScreenSpacePartitioning.so.1'

# As a subproject (add_subdirectory) the library builds alone: none of our
# tests, tools, examples or benchmarks.
cmake -S "$source/tests/package/subproject" -B "$work/subproject" -DKEL_SOURCE_DIR="$source" >/dev/null
if cmake --build "$work/subproject" --target help | grep -E 'kel_(tests|demo|bench|example|hardening|scenes)'; then
  echo "a subproject build configures more than the library"
  exit 1
fi
cmake --build "$work/subproject" >/dev/null
"$work/subproject/consumer" | grep 'consumer touched 1'
echo "package check passed"
