#!/usr/bin/env bash
# Builds and runs the whole test suite twice: a normal build (g++, preset dev) and an
# AddressSanitizer + UndefinedBehaviorSanitizer build (clang++, preset asan). Any failing test,
# verifier violation or sanitizer report fails the run. The builds are the presets of
# CMakePresets.json, in build/<preset>.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The layout of every C++ file (.clang-format): a file out of layout fails the run
# (scripts/format.sh lays the tree out; USBETH_CHECK_FORMAT=0 skips the check).
check_format=${USBETH_CHECK_FORMAT:-1}
if [ "$check_format" = 1 ]; then
  bash scripts/format.sh --check
fi

jobs=$(nproc)
run_suite() {
  local preset=$1
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests =="
  ctest --preset "$preset" -j "$jobs"
}

run_suite dev
run_suite asan

# Under ThreadSanitizer: the threaded stress tests (CTest label "threaded") and the suites that run
# the driver on several virtual processors over fixed schedule seeds (label "processors"), where
# two processors' unsynchronized accesses to one field are reported with both stacks.
echo "== tsan build =="
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"

echo "== tsan tests =="
ctest --preset tsan

# Static analysis of driver/, host/ and model/ with the dev build's compile database.
bash scripts/tidy.sh

# The deterministic simulation: thousands of seeded runs with injected faults.
bash scripts/sim.sh

# Fuzz targets, for a bounded time each.
if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh
fi

echo "== all suites passed =="
