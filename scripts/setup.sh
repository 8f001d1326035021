#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libc++-14-dev libc++abi-14-dev llvm-14 clang-format clang-tidy libgtest-dev
          libgmock-dev libbenchmark-dev libboost-context-dev
          nlohmann-json3-dev libcli11-dev tshark libpcap-dev pkg-config iproute2 iputils-ping iperf3)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
