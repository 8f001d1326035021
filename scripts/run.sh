#!/usr/bin/env bash
# Builds the usbeth program and runs it: `usbeth run` (the embedded default scenario) when no
# arguments are given, else usbeth with the arguments given (e.g. run scenarios/link_flaps.json).
# It runs in the caller's directory, so relative scenario and capture paths mean what they say;
# what it says of itself, apt's and the build's output go to standard error, leaving standard
# output to the program.
#
# It installs, when missing, only the Debian packages the program needs to build and run; the
# test command (scripts/test.sh) installs the compilers, sanitizers, test libraries and tools
# the tests need besides.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(cmake ninja-build g++ pkg-config libboost-context-dev nlohmann-json3-dev libcli11-dev libpcap-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "run.sh: installing what usbeth needs to build and run: ${missing[*]}" >&2
  $sudo_cmd apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

if [ ! -x "$root/build/release/app/usbeth" ]; then
  echo "run.sh: building build/release/app/usbeth (the first build takes minutes; later ones only rebuild what changed)" >&2
fi
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release -j "$(nproc)" >&2)
if [ $# -eq 0 ]; then
  set -- run
fi
exec "$root/build/release/app/usbeth" "$@"
