#!/usr/bin/env bash
# Builds the usbeth program and runs it: `usbeth run` (the embedded default scenario) when no
# arguments are given, else usbeth with the arguments given (e.g. run scenarios/link_flaps.json).
# It runs in the caller's directory, so relative scenario and capture paths mean what they say;
# the build's own output goes to standard error, leaving standard output to the program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j "$(nproc)" >&2)
if [ $# -eq 0 ]; then
  set -- run
fi
exec "$root/build/release/app/usbeth" "$@"
