#!/usr/bin/env bash
# Builds the libFuzzer harness with clang and runs it for SECONDS (default
# 60) from the checked-in seed corpus. New inputs go to a scratch corpus;
# a crash leaves its input as crash-* in the artifact directory and makes
# the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${KEL_FUZZ_BUILD_DIR:-build-fuzz}"
artifacts="${KEL_FUZZ_ARTIFACTS:-$build/fuzz-artifacts}"

CC=clang CXX=clang++ cmake -S . -B "$build" -DKEL_BUILD_FUZZERS=ON -DKEL_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_BUILD_OPENGL=OFF -DKEL_BUILD_BENCHMARKS=OFF -DKEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target kel_fuzz_api -j"${KEL_JOBS:-2}"

work="$build/fuzz-corpus"
mkdir -p "$work" "$artifacts"
"$build/fuzz/kel_fuzz_api" "$work" fuzz/corpus \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
  -artifact_prefix="$artifacts/" -print_final_stats=1
