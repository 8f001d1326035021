#!/usr/bin/env bash
# Builds the usbeth program and runs it; arguments are passed to it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/app -G Ninja -DCMAKE_CXX_COMPILER=g++ -DUSBETH_TESTS=OFF >/dev/null
cmake --build build/app -j "$(nproc)" --target usbeth
exec build/app/app/usbeth "$@"
