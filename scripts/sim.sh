#!/usr/bin/env bash
# Runs the simulation (usbeth sim) for about five minutes on both cores: seeds 1 to 2000, the
# seeds of sim/regression_seeds.txt, then two processes on disjoint seed ranges, at least 1,000
# seeds each, from the dev preset's optimized build. Any failing seed fails the run and prints
# the command that replays it.
#
# Seeds: a fixed base plus a part that changes every day (SIM_BASE overrides it), so that each
# day's runs explore new seeds while a failure stays reproducible from the printed range.
# SIM_SECONDS sets the exploring time per process (default 90).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${SIM_SECONDS:-90}
day=$(( $(date -u +%s) / 86400 ))
base=${SIM_BASE:-$(( 1000000 + (day % 4000) * 1000000 ))}
second=$(( base + 500000 ))

# The program of the dev build (optimized, with debug information), which the test command has
# built already; a log directory of its own beside it.
usbeth=build/dev/app/usbeth
logs=build/dev/sim-logs
echo "== simulation build =="
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target usbeth
mkdir -p "$logs"

# The regression range: seeds that run clean today must stay clean.
echo "== simulation: seeds 1 to 2000 =="
"$usbeth" sim --first 1 --count 2000 --quiet

# Seeds that once found a fault, wherever they lie.
echo "== simulation: the seeds of sim/regression_seeds.txt =="
status=0
for seed in $(sed 's/#.*//' sim/regression_seeds.txt); do
  if ! "$usbeth" sim --seed "$seed" >"$logs/seed.log" 2>&1; then
    cat "$logs/seed.log"
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  echo "== simulation FAILED: a regression seed fails again =="
  exit 1
fi

# Exploration: fresh seeds every day; any failing seed fails the run.
echo "== simulation: exploring seeds from $base and from $second, ${seconds} s each =="
"$usbeth" sim --first "$base" --count 1000 --seconds "$seconds" --quiet >"$logs/first.log" 2>&1 &
first=$!
"$usbeth" sim --first "$second" --count 1000 --seconds "$seconds" --quiet >"$logs/second.log" 2>&1 &
second_pid=$!
explored=0
wait "$first" || explored=1
wait "$second_pid" || explored=1
cat "$logs/first.log" "$logs/second.log"
if [ "$explored" -ne 0 ]; then
  echo "== simulation FAILED: exploration found failing seeds (listed above with their replay commands) =="
  exit 1
fi

echo "== portable seeds: g++/libstdc++ against clang++/libc++ =="
cmake --preset release-libcxx >/dev/null
cmake --build --preset release-libcxx -j "$(nproc)"
for seed in $(seq 1 ${SIM_PORTABLE_SEEDS:-40}); do
  a=$("$usbeth" sim --seed "$seed" 2>/dev/null | grep -o 'trace hash [0-9a-f]*' || true)
  b=$(build/release-libcxx/app/usbeth sim --seed "$seed" 2>/dev/null | grep -o 'trace hash [0-9a-f]*' || true)
  if [ -z "$a" ] || [ "$a" != "$b" ]; then
    echo "seed $seed: $a under g++/libstdc++, $b under clang++/libc++"
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  echo "== simulation FAILED: seeds replay differently under clang++/libc++ =="
  exit 1
fi
echo "== simulation passed =="
