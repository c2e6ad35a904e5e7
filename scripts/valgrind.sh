#!/usr/bin/env bash
# Runs the library's end-to-end tests under valgrind memcheck: the hardening
# suite (soak and sweep at reduced sizes), the unit tests, and the OpenGL
# end-to-end tests when they are built. Any memcheck error, or a leak of a
# record nothing points to any more, fails the script. Records the library
# keeps in its pools for reuse are "still reachable" and allowed.
#
#   scripts/valgrind.sh            everything that is built
#   KEL_VALGRIND_GL=OFF scripts/valgrind.sh   without the OpenGL tests
#   KEL_VALGRIND_GL_FILTER=KELEndToEnd.* scripts/valgrind.sh   a subset of them
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KEL_VALGRIND_BUILD_DIR:-build-valgrind}"
gl="${KEL_VALGRIND_GL:-ON}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_OPENGL="$gl" \
  -DKEL_BUILD_BENCHMARKS=OFF -DKEL_BUILD_EXAMPLES=OFF -DKEL_BUILD_FUZZ_DIR=OFF >/dev/null
targets=(kel_hardening_tests kel_tests)
# (grep reads the whole list: with -q it would stop early and, under
# pipefail, fail the pipeline.)
if [[ "$gl" == ON ]] && cmake --build "$build" --target help | grep kel_opengl_tests >/dev/null; then
  targets+=(kel_opengl_tests)
fi
cmake --build "$build" --target "${targets[@]}" -j"${KEL_JOBS:-2}"

memcheck=(valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes --num-callers=30
          --suppressions=scripts/valgrind.supp)
leaks=(--leak-check=full --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect)
status=0
run() {
  echo "=== valgrind: $*" >&2
  # The statistics lines of every frame would drown the report; the test
  # verdict comes back through the exit status.
  if ! "${memcheck[@]}" "$@" > /dev/null; then
    echo "=== FAILED: $*" >&2
    status=1
  fi
}

# The sweep at a reduced size (valgrind runs some 30 to 50 times slower); the
# soak in full, since its plateau check needs the whole run.
KEL_SWEEP_STRIDE="${KEL_SWEEP_STRIDE:-97}" \
  run "${leaks[@]}" "$build/tests/hardening/kel_hardening_tests"
# Memory errors only for the unit tests: they make partitions that nothing
# can destroy and swap allocators, which leaves blocks lost by design. The
# million-entry stress walk alone would take most of an hour.
run --leak-check=summary --errors-for-leak-kinds=none "$build/tests/kel_tests" --gtest_filter=-TraversalStress.*
if [[ " ${targets[*]} " == *" kel_opengl_tests "* ]]; then
  # Mesa's software rasteriser under valgrind is slow: the whole suite can
  # take many minutes.
  run "${leaks[@]}" "$build/tests/opengl/kel_opengl_tests" --gtest_filter="${KEL_VALGRIND_GL_FILTER:-*}"
fi
exit $status
