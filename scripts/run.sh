#!/usr/bin/env bash
# Builds the usbeth program and runs it; arguments are passed to it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/normal -j "$(nproc)" --target usbeth
exec build/normal/app/usbeth "$@"
