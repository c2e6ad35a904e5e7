#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs all tests, the model tests
# on Debian's test models and game levels included.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh assimp-testmodels openarena-081-maps
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKEL_WARNINGS_AS_ERRORS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
