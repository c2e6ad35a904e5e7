#!/usr/bin/env bash
# The main job: builds the project and runs the culling demo with its
# defaults (or the small example host where OpenGL is not available).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
# The demo exists only where EGL, OpenGL and libpng were found; a build
# error is shown and stops the script.
if cmake --build build --target help | grep -qE '(^|\.\.\. )kel_demo(:|$)'; then
  cmake --build build -j2 --target kel_demo
  exec build/tools/kel_demo "$@"
fi
echo "demo.sh: no OpenGL (see the cmake messages above); running the example host instead" >&2
cmake --build build -j2 --target kel_example_host
exec build/examples/kel_example_host
