#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a host project against it
# with find_package and pkg-config, runs it, and checks the exported symbols.
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# A host that wants the core library alone needs nothing else, not even where
# the Vulkan client is installed and Vulkan cannot be found.
cmake -S "$source/tests/package/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_DISABLE_FIND_PACKAGE_Vulkan=ON >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}" "$work/consumer/consumer" | grep 'consumer touched 1'
if [ -e "$build/vulkan/libKELScreenSpacePartitioningVulkan.so" ]; then
  # Asked for as a component, the Vulkan client comes with the loader...
  cmake -S "$source/tests/package/consumer" -B "$work/vulkan-consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DKEL_CONSUMER_VULKAN=ON >/dev/null
  cmake --build "$work/vulkan-consumer" >/dev/null
  LD_LIBRARY_PATH="$work/prefix/lib:${LD_LIBRARY_PATH:-}" "$work/vulkan-consumer/vulkan_consumer" |
    grep 'vulkan consumer linked'
  # ...and without the loader the package says that the component is missing.
  if cmake -S "$source/tests/package/consumer" -B "$work/no-vulkan" -DCMAKE_PREFIX_PATH="$work/prefix" \
       -DKEL_CONSUMER_VULKAN=ON -DCMAKE_DISABLE_FIND_PACKAGE_Vulkan=ON >"$work/no-vulkan.log" 2>&1; then
    echo "the Vulkan component was found without Vulkan"
    exit 1
  fi
  grep -q 'missing components' "$work/no-vulkan.log"
fi

# pkg-config finds the same library and headers...
flags="$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs KELScreenSpacePartitioning)"
grep -q -- '-lKELScreenSpacePartitioning' <<<"$flags"
# ...where it was installed, not where the build meant to install it.
include="$(sed -n 's/.*-I\([^ ]*\).*/\1/p' <<<"$flags")"
[ -f "$include/KELScreenSpacePartitioning.h" ] || { echo "pkg-config names $include"; exit 1; }

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
cmake --build "$work/subproject" --target help >"$work/subproject-targets.txt"
if grep -E 'kel_(tests|demo|bench|example|hardening|scenes)' "$work/subproject-targets.txt"; then
  echo "a subproject build configures more than the library"
  exit 1
fi
cmake --build "$work/subproject" >/dev/null
"$work/subproject/consumer" | grep 'consumer touched 1'
echo "package check passed"
