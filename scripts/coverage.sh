#!/usr/bin/env bash
# Line and branch coverage of driver/ under the simulation alone and under the tests, from a
# clang build with source-based coverage (llvm-profdata-14 and llvm-cov-14, from Debian's
# llvm-14 package). Prints both summaries, then every driver branch outcome that neither the
# simulation nor the tests ever take.
#
# COVERAGE_SEEDS sets how many simulation seeds run (default 2000, from SIM_BASE or 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seeds=${COVERAGE_SEEDS:-2000}
base=${SIM_BASE:-1}
dir=build/coverage
profdata=llvm-profdata-14
cov=llvm-cov-14

echo "== coverage build =="
cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
cmake --build "$dir" -j "$(nproc)"

rm -rf "$dir/profiles" && mkdir -p "$dir/profiles/sim" "$dir/profiles/tests"

echo "== simulation: $seeds seeds from $base =="
LLVM_PROFILE_FILE="$PWD/$dir/profiles/sim/%p.profraw" \
  "$dir/app/usbeth" sim --first "$base" --count "$seeds" --quiet >"$dir/sim.log" 2>&1 || true
tail -1 "$dir/sim.log"

echo "== tests =="
LLVM_PROFILE_FILE="$PWD/$dir/profiles/tests/%p-%m.profraw" \
  ctest --test-dir "$dir" -j "$(nproc)" --timeout 600 -E 'sim_|Simulation' >"$dir/tests.log" 2>&1 || true
tail -3 "$dir/tests.log"

"$profdata" merge -sparse "$dir"/profiles/sim/*.profraw -o "$dir/sim.profdata"
"$profdata" merge -sparse "$dir"/profiles/tests/*.profraw -o "$dir/tests.profdata"
"$profdata" merge -sparse "$dir/sim.profdata" "$dir/tests.profdata" -o "$dir/both.profdata"

# The driver is linked into the program and into every test executable.
objects=(-object "$dir/app/usbeth")
while IFS= read -r exe; do objects+=(-object "$exe"); done < <(find "$dir/tests" -type f -perm -u+x -name '*_tests')

summary() {
  "$cov" report "${objects[@]}" -instr-profile="$1" --show-branch-summary "$PWD/driver" | tail -1 |
    awk '{printf "  lines %s of %s covered (%s), branches %s of %s covered (%s)\n", $8-$9, $8, $10, $11-$12, $11, $13}'
}
echo "== driver/ under the simulation alone =="
summary "$dir/sim.profdata"
echo "== driver/ under the tests =="
summary "$dir/tests.profdata"
echo "== driver/ under both =="
summary "$dir/both.profdata"

echo "== driver branch outcomes neither reaches =="
"$cov" show "${objects[@]}" -instr-profile="$dir/both.profdata" --show-branches=count "$PWD/driver" |
  awk '
    /^\/.*:$/ { file = $0; sub(/:$/, "", file); sub(/.*\/driver\//, "driver/", file); next }
    /Branch \(/ {
      match($0, /Branch \(([0-9]+):([0-9]+)\): \[True: ([0-9.kM]+), False: ([0-9.kM]+)\]/, m)
      if (m[1] == "") next
      key = file ":" m[1] ":" m[2]
      if (seen[key]++) next
      if (m[3] == "0") print "  " key "  never true"
      if (m[4] == "0") print "  " key "  never false"
    }' | sort -u -t: -k1,1 -k2,2n
