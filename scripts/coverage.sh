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
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"

rm -rf "$dir/profiles" && mkdir -p "$dir/profiles/sim" "$dir/profiles/tests"

echo "== simulation: $seeds seeds from $base =="
LLVM_PROFILE_FILE="$PWD/$dir/profiles/sim/%p.profraw" \
  "$dir/app/usbeth" sim --first "$base" --count "$seeds" --quiet >"$dir/sim.log" 2>&1 || true
tail -1 "$dir/sim.log"

echo "== tests =="
# The preset names the profile files (build/coverage/profiles/tests) and leaves the simulation's
# tests out.
ctest --preset coverage -j "$(nproc)" >"$dir/tests.log" 2>&1 || true
tail -3 "$dir/tests.log"

"$profdata" merge -sparse "$dir"/profiles/sim/*.profraw -o "$dir/sim.profdata"
"$profdata" merge -sparse "$dir"/profiles/tests/*.profraw -o "$dir/tests.profdata"
"$profdata" merge -sparse "$dir/sim.profdata" "$dir/tests.profdata" -o "$dir/both.profdata"

# The driver is linked into the program and into every test executable.
objects=("$dir/app/usbeth")
while IFS= read -r exe; do objects+=(-object "$exe"); done < <(find "$dir/tests" -type f -perm -u+x -name '*_tests')

summary() {
  "$cov" report "${objects[@]}" -instr-profile="$1" --show-branch-summary "$PWD/driver" 2>/dev/null | tail -1 |
    awk '{printf "  lines %s of %s covered (%s), branches %s of %s covered (%s)\n", $8-$9, $8, $10, $11-$12, $11, $13}'
}
echo "== driver/ under the simulation alone =="
summary "$dir/sim.profdata"
echo "== driver/ under the tests =="
summary "$dir/tests.profdata"
echo "== driver/ under both =="
summary "$dir/both.profdata"

echo "== driver branch outcomes neither reaches =="
"$cov" show "${objects[@]}" -instr-profile="$dir/both.profdata" --show-branches=count "$PWD/driver" 2>/dev/null |
  perl -ne '
    if (m{^(/\S+):$}) { $file = $1; $file =~ s{.*/driver/}{driver/}; next }
    if (m{Branch \((\d+):(\d+)\): \[True: ([^,]+), False: ([^\]]+)\]}) {
      my $key = "$file:$1:$2";
      next if $seen{$key}++;
      print "  $key  never true\n" if $3 eq "0";
      print "  $key  never false\n" if $4 eq "0";
    }' | sort -t: -k1,1 -k2,2n
