#!/usr/bin/env bash
# Instructions per frame spent in the driver's own code on the send and receive paths, counted
# by callgrind (a count, not a time: the same for the same binary whatever else the machine is
# doing). The bench behind it (bench/driver_path_bench.cpp) takes the controller model out of
# the data path: bulk-out transfers complete before IofCallDriver returns and bulk-in transfers
# are completed by the bench. "driver" counts only code under driver/; "with host" adds the
# emulated NDIS and I/O services the driver calls (packet and IRP bookkeeping, the verifier's
# checks, the copy routines), which a real kernel does in its own way.
#
#   ./scripts/driver-cost.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { bash scripts/setup.sh; apt-get install -y -qq valgrind >/dev/null; }
build=build/dev
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target driver_path_bench >/dev/null
bench="$build/bench/driver_path_bench"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# measure NAME FILTER TOGGLE: callgrind over the timed loop only (TOGGLE names the host call
# each iteration makes), then driver/ and total instructions divided by the iterations run.
measure() {
  local name=$1 filter=$2 toggle=$3
  local iterations
  iterations=$(valgrind --tool=callgrind --callgrind-out-file="$out/cg" --toggle-collect="$toggle" \
      "$bench" --benchmark_filter="^$filter\$" --benchmark_min_time=0.05 2>/dev/null |
    awk -v f="$filter" '$1 == f {print $6}')
  callgrind_annotate --auto=no --threshold=100 "$out/cg" 2>/dev/null |
    awk -v name="$name" -v n="$iterations" '
      /file:function/ {listing = 1; next}
      listing && /^ *[0-9,]+ \(/ {
        count = $1; gsub(",", "", count)
        if ($0 ~ /%\)  (\/[^ ]*\/)?driver\//) driver += count
        total += count
      }
      END { printf "%-22s %8.0f instructions/frame in the driver, %8.0f with host (%d frames)\n",
            name, driver / n, total / n, n }'
}

measure "send, 60 bytes" "DriverSend/60" 'host::Host::send*'
measure "send, 1514 bytes" "DriverSend/1514" 'host::Host::send*'
measure "receive, 60 bytes" "DriverReceive/60" 'host::Host::run_until*'
measure "receive, 1514 bytes" "DriverReceive/1514" 'host::Host::run_until*'
