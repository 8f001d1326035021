#!/usr/bin/env bash
# Builds the usbeth program and runs it: `usbeth run` (the embedded default scenario) when no
# arguments are given, else usbeth with the arguments given (e.g. run scenarios/link_flaps.json).
# It runs in the caller's directory, so relative scenario and capture paths mean what they say;
# the build's own output goes to standard error, leaving standard output to the program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
cmake -S "$root" -B "$root/build/app" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DUSBETH_TESTS=OFF >/dev/null
cmake --build "$root/build/app" -j "$(nproc)" --target usbeth >&2
if [ $# -eq 0 ]; then
  set -- run
fi
exec "$root/build/app/app/usbeth" "$@"
