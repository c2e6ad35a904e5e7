#!/usr/bin/env bash
# The main job: builds the project and runs the culling demo with its
# defaults (or the small example host where OpenGL is not available).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
if cmake --build build -j2 --target kel_demo 2>/dev/null; then
  exec build/tools/kel_demo "$@"
fi
cmake --build build -j2 --target kel_example_host
exec build/examples/kel_example_host
