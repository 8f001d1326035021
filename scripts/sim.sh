#!/usr/bin/env bash
# Runs the simulation (usbeth sim) for about five minutes on both cores: seeds 1 to 2000, the
# seeds of sim/regression_seeds.txt, then two processes on disjoint seed ranges, at least 1,000
# seeds each, from an optimized build. Any failing seed fails the run and prints the command that
# replays it.
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

echo "== simulation build =="
cmake -S . -B build/sim -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBETH_TESTS=OFF >/dev/null
cmake --build build/sim -j "$(nproc)" --target usbeth

# The regression range: seeds that run clean today must stay clean.
echo "== simulation: seeds 1 to 2000 =="
./build/sim/app/usbeth sim --first 1 --count 2000 --quiet

# Seeds that once found a fault, wherever they lie.
echo "== simulation: the seeds of sim/regression_seeds.txt =="
status=0
for seed in $(sed 's/#.*//' sim/regression_seeds.txt); do
  if ! ./build/sim/app/usbeth sim --seed "$seed" >build/sim/seed.log 2>&1; then
    cat build/sim/seed.log
    status=1
  fi
done
if [ "$status" -ne 0 ]; then
  echo "== simulation FAILED: a regression seed fails again =="
  exit 1
fi

# Exploration: fresh seeds every day; any failing seed fails the run.
echo "== simulation: exploring seeds from $base and from $second, ${seconds} s each =="
./build/sim/app/usbeth sim --first "$base" --count 1000 --seconds "$seconds" --quiet >build/sim/first.log 2>&1 &
first=$!
./build/sim/app/usbeth sim --first "$second" --count 1000 --seconds "$seconds" --quiet >build/sim/second.log 2>&1 &
second_pid=$!
explored=0
wait "$first" || explored=1
wait "$second_pid" || explored=1
cat build/sim/first.log build/sim/second.log
if [ "$explored" -ne 0 ]; then
  echo "== simulation FAILED: exploration found failing seeds (listed above with their replay commands) =="
  exit 1
fi

echo "== portable seeds: g++/libstdc++ against clang++/libc++ =="
cmake -S . -B build/sim-libcxx -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBETH_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ >/dev/null
cmake --build build/sim-libcxx -j "$(nproc)" --target usbeth
for seed in $(seq 1 ${SIM_PORTABLE_SEEDS:-40}); do
  a=$(./build/sim/app/usbeth sim --seed "$seed" 2>/dev/null | grep -o 'trace hash [0-9a-f]*' || true)
  b=$(./build/sim-libcxx/app/usbeth sim --seed "$seed" 2>/dev/null | grep -o 'trace hash [0-9a-f]*' || true)
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
