#!/usr/bin/env bash
# Builds a libFuzzer harness with clang and runs it for SECONDS (default 60).
# Usage: scripts/fuzz.sh [SECONDS] [api|bsp|pack|block]
#   api (default): the public interface, from the checked-in seed corpus;
#   bsp: the level reader, from seeds the generator writes;
#   pack, block: pack files whole and single blocks, from the streaming
#   tests' packs.
# New inputs go to a scratch corpus; a crash leaves its input as crash-* in
# the artifact directory and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
harness="${2:-api}"
build="${KEL_FUZZ_BUILD_DIR:-build-fuzz}"
artifacts="${KEL_FUZZ_ARTIFACTS:-$build/fuzz-artifacts}"

CC=clang CXX=clang++ cmake -S . -B "$build" -DKEL_BUILD_FUZZERS=ON -DKEL_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_BUILD_OPENGL=OFF -DKEL_BUILD_BENCHMARKS=OFF -DKEL_BUILD_EXAMPLES=OFF >/dev/null
mkdir -p "$artifacts"
case "$harness" in
  api)
    cmake --build "$build" --target kel_fuzz_api -j"${KEL_JOBS:-2}"
    work="$build/fuzz-corpus"
    mkdir -p "$work"
    "$build/fuzz/kel_fuzz_api" "$work" fuzz/corpus \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -artifact_prefix="$artifacts/" -print_final_stats=1
    ;;
  bsp)
    cmake --build "$build" --target kel_fuzz_bsp kel_bsp_seeds -j"${KEL_JOBS:-2}"
    work="$build/fuzz-corpus-bsp"
    seeds="$build/fuzz-seeds-bsp"
    mkdir -p "$work" "$seeds"
    "$build/fuzz/kel_bsp_seeds" "$seeds"
    "$build/fuzz/kel_fuzz_bsp" "$work" "$seeds" \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
      -artifact_prefix="$artifacts/bsp-" -print_final_stats=1
    ;;
  pack|block)
    target=kel_fuzz_pack
    [ "$harness" = block ] && target=kel_fuzz_pack_block
    cmake --build "$build" --target "$target" kel_pack_seeds -j"${KEL_JOBS:-2}"
    work="$build/fuzz-corpus-$harness"
    seeds="$build/fuzz-seeds-pack"
    mkdir -p "$work" "$seeds"
    "$build/fuzz/kel_pack_seeds" "$seeds"
    pattern='pack-*'
    [ "$harness" = block ] && pattern='block-*'
    mkdir -p "$seeds/$harness"
    find "$seeds" -maxdepth 1 -name "$pattern" -exec cp {} "$seeds/$harness/" \;
    "$build/fuzz/$target" "$work" "$seeds/$harness" \
      -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
      -artifact_prefix="$artifacts/$harness-" -print_final_stats=1
    ;;
  *)
    echo "usage: scripts/fuzz.sh [SECONDS] [api|bsp|pack|block]" >&2
    exit 2
    ;;
esac
