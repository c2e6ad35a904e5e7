#!/usr/bin/env bash
# Builds the benchmark suite in build-bench/, runs it and writes the raw
# results to build-bench/results/: *.json (Google Benchmark), walk-*/ (the
# demo's walkthroughs), profile-*.txt (callgrind), *.png (gnuplot). The report
# (report.md) and its plots are then copied to bench/results/, which is what
# the repository keeps.
# Usage: scripts/bench.sh [--quick] [--no-profile] [--no-walk]
#   --quick: 10k and 100k entries only, short walks (for trying changes).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0 profile=1 walk=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --no-profile) profile=0 ;;
    --no-walk) walk=0 ;;
    *) echo "usage: scripts/bench.sh [--quick] [--no-profile] [--no-walk]" >&2; exit 2 ;;
  esac
done

# Plots need gnuplot, the report python3, the profile valgrind; each part is
# skipped with a message when its tool is missing.
scripts/install-deps.sh gnuplot-nox python3 valgrind || echo "bench: optional tools missing, see above" >&2

build=build-bench
out=$build/results
publish=bench/results
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target kel_bench_partition kel_bench_culling kel_bench_allocations kel_bench_profile
gl=1
cmake --build "$build" -j2 --target kel_bench_culling_gl kel_bench_client_gl kel_demo || gl=0
[ -x "$build/bench/kel_bench_culling_gl" ] || gl=0

rm -rf "$out"
mkdir -p "$out"
sizes=(10000 100000 1000000)
walkFrames=240
glWalk='entries:(100000|1000000)/'
if [ "$quick" = 1 ]; then
  sizes=(10000 100000)
  walkFrames=60
  glWalk='entries:100000/'
fi

{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet 2>/dev/null || echo ' (with local changes)')"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//') x $(nproc)"
  echo "memory: $(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
} > "$out/machine.txt"

# Each benchmark and size in a process of its own: entries removed by one
# run are recycled by the next, which would change the memory layout.
# The timed benchmarks run three times each; the report takes the medians.
bench() {
  local program=$1 filter=$2 tag=$3
  shift 3
  "$build/bench/$program" --benchmark_filter="$filter" --benchmark_out="$out/$program-$tag.json" \
    --benchmark_out_format=json "$@"
}
repeated=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
bench kel_bench_allocations 'BM_MemoryPerEntry' memory
bench kel_bench_allocations 'BM_ViewMemoryPerEntry' views
bench kel_bench_allocations 'BM_SteadyFrameAllocations' steady
for n in "${sizes[@]}"; do
  bench kel_bench_partition "/$n/" "$n" "${repeated[@]}"
  bench kel_bench_culling "entries:$n/" "$n" "${repeated[@]}"
  if [ "$gl" = 1 ]; then bench kel_bench_culling_gl "BM_CullingFrameGL/entries:$n/" "$n" "${repeated[@]}"; fi
done
bench kel_bench_culling 'BM_EmptyFrame' print "${repeated[@]}"
if [ "$gl" = 1 ]; then
  # What one occlusion query costs the OpenGL client, without the library.
  clientQueries='BM_ClientQueries/queries:(100|1000|10000)/'
  if [ "$quick" = 1 ]; then clientQueries='BM_ClientQueries/queries:(100|1000)/'; fi
  bench kel_bench_client_gl "$clientQueries" queries "${repeated[@]}"
  bench kel_bench_culling_gl "BM_WalkthroughGL/${glWalk}frames:120/arena:0" walk
  if [ "$quick" = 0 ]; then
    bench kel_bench_culling_gl 'BM_WalkthroughGL/entries:1000000/frames:120/arena:1' walk-arena
  fi
  if [ "$walk" = 1 ]; then
    for scene in city plant; do
      "$build/tools/kel_demo" --scene "$scene" --modes draw-all,frustum,library,oracle --frames "$walkFrames" \
        --pictures 0 --out "$out/walk-$scene" > "$out/walk-$scene.txt"
    done
  fi
fi

# Callgrind inside the steady-state frames only (instruction counts are
# repeatable, unlike times): all visible at the street view (the most
# library work per frame), and the city walk with a near-range client after
# the host's own loop each frame, with a cache model of this machine's
# caches (the walk's frames are bound by misses, not instructions).
if [ "$profile" = 1 ] && command -v valgrind >/dev/null; then
  run_profile() {
    local tag=$1 show=$2
    shift 2
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind-$tag.out" --toggle-collect=KELProfiledFrame \
      "$@" > "$out/profile-$tag-run.txt" 2>/dev/null
    callgrind_annotate --show="$show" --inclusive=yes "$out/callgrind-$tag.out" > "$out/profile-$tag-inclusive.txt"
    callgrind_annotate --show="$show" "$out/callgrind-$tag.out" > "$out/profile-$tag-self.txt"
  }
  n=1000000
  if [ "$quick" = 1 ]; then n=100000; fi
  run_profile street-visible Ir "$build/bench/kel_bench_profile" "$n" 1000 2
  run_profile walk-near Ir,D1mr,DLmr,DLmw --cache-sim=yes --D1=49152,12,64 --LL=33554432,16,64 \
    "$build/bench/kel_bench_profile" "$n" -150 20 0 walk 1
  callgrind_annotate --show=Ir,D1mr,DLmr,DLmw --sort=DLmr "$out/callgrind-walk-near.out" \
    > "$out/profile-walk-near-misses.txt"
fi

echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$out/machine.txt"
if command -v python3 >/dev/null; then
  python3 bench/make_report.py "$out"
  rm -rf "$publish"
  mkdir -p "$publish"
  cp "$out/report.md" "$out/machine.txt" "$publish/"
  for plot in "$out"/*.png "$out"/walk-*/plot.png; do
    [ -f "$plot" ] || continue
    target="$publish/${plot#"$out"/}"
    mkdir -p "$(dirname "$target")"
    cp "$plot" "$target"
  done
  echo "report: $publish/report.md (raw results: $out)"
else
  echo "bench: python3 missing; raw results are in $out" >&2
fi
