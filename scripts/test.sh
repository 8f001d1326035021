#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (g++) and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (clang++). Any failing test, verifier violation or sanitizer
# report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
run_suite() {
  local name=$1 cxx=$2 sanitize=$3
  echo "== $name build =="
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DUSBETH_SANITIZE="$sanitize" -DUSBETH_WERROR=ON >/dev/null
  cmake --build "build/$name" -j "$jobs"
  echo "== $name tests =="
  ctest --test-dir "build/$name" -j "$jobs" --output-on-failure --timeout 600
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_suite normal g++ ""
run_suite asan clang++ address

# Under ThreadSanitizer: the threaded stress tests (CTest label "threaded") and the suites that run
# the driver on several virtual processors over fixed schedule seeds (label "processors"), where
# two processors' unsynchronized accesses to one field are reported with both stacks.
echo "== tsan build =="
cmake -S . -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DUSBETH_SANITIZE=thread -DUSBETH_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target threaded_tests host_multiprocessor_tests
echo "== tsan tests =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan -L 'threaded|processors' \
  --output-on-failure --timeout 600

# The deterministic simulation: thousands of seeded runs with injected faults.
bash scripts/sim.sh

# Fuzz targets, for a bounded time each.
if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh
fi
echo "== all suites passed =="
