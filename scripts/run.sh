#!/usr/bin/env bash
# Builds the usbeth program and runs it: `usbeth run` (the embedded default scenario) when no
# arguments are given, else usbeth with the arguments given (e.g. run scenarios/link_flaps.json).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/app -G Ninja -DCMAKE_CXX_COMPILER=g++ -DUSBETH_TESTS=OFF >/dev/null
cmake --build build/app -j "$(nproc)" --target usbeth
if [ $# -eq 0 ]; then
  set -- run
fi
exec build/app/app/usbeth "$@"
