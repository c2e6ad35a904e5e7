#!/usr/bin/env bash
# The main job: builds the project and runs the culling demo, with the
# options given (tools/demo/README.md). Where the demo cannot be built (no
# EGL, OpenGL or libpng), a run without options shows the small example host
# instead, and a run with options says why and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
# CMake records in its cache what the demo lacks (nothing where it is built).
entry="$(grep '^KEL_DEMO_MISSING:INTERNAL=' build/CMakeCache.txt || true)"
missing="${entry#KEL_DEMO_MISSING:INTERNAL=}"
if [ -n "$entry" ] && [ -z "$missing" ]; then
  cmake --build build -j2 --target kel_demo
  exec build/tools/kel_demo "$@"
fi
[ -n "$entry" ] || missing="what cmake's messages name (cmake -S . -B build)"
if [ $# -gt 0 ]; then
  echo "demo.sh: the demo cannot be built here: it needs $missing; not running with: $*" >&2
  exit 1
fi
echo "demo.sh: the demo cannot be built here (it needs $missing); running the example host instead" >&2
cmake --build build -j2 --target kel_example_host
exec build/examples/kel_example_host
