#!/usr/bin/env bash
# Sends the Linux network stack's own traffic through the driver and measures it. As root, it
# makes two network namespaces, each with a TAP interface and an address from 198.18.0.0/15 (the
# range reserved for benchmarking network devices), joins the two with `usbeth tap`, pings across
# both ways, and runs iperf3 each way, once with the USB full-speed bus and 10 Mbit/s cable and
# once with both instant. Everything it made is removed when it ends, however it ends.
#
#   namespace A: 198.18.0.1 on TAP A  <->  adapter A  <->  cable  <->  TAP B: 198.18.0.2, namespace B
#
# Environment:
#   TAP_BENCH_SECONDS  iperf3 time of each run, in seconds (default 5; 0 skips iperf3)
#   TAP_BENCH_MODES    which models to run: "full-speed instant" (default), or one of them
#   TAP_BENCH_FORM     what is at the cable's far end: "tap" (default) or "adapter" (adapter B, with
#                      TAP B above it)
#   USBETH             the program to run; when unset it is built as scripts/run.sh builds it
#
# Run it as root; as another user it asks sudo when there is a terminal to ask on.
#
# Exit status: 0 when every ping was answered, every iperf3 run measured and usbeth ended clean;
# 1 otherwise; 130 when interrupted (Ctrl-C), 143 when terminated, in both cases after removing
# what it made; 77 when it cannot run here (not root, no /dev/net/tun, no network namespaces),
# saying why.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${TAP_BENCH_SECONDS:-5}
modes=${TAP_BENCH_MODES:-"full-speed instant"}
form=${TAP_BENCH_FORM:-tap}
bound_mb=1.216  # 19 packets of 64 bytes in each 1 ms frame of a full-speed bus

say() { echo "tap-bench: $*"; }
skip() {
  say "SKIPPED: $*"
  exit 77
}

case "$form" in tap | adapter) ;; *) say "TAP_BENCH_FORM must be tap or adapter"; exit 2 ;; esac
for mode in $modes; do
  case "$mode" in full-speed | instant) ;; *) say "TAP_BENCH_MODES takes full-speed and instant"; exit 2 ;; esac
done
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null && [ -t 0 ]; then
    exec sudo --preserve-env=TAP_BENCH_SECONDS,TAP_BENCH_MODES,TAP_BENCH_FORM,USBETH bash "$0" "$@"
  fi
  skip "it needs root, to make network namespaces and TAP interfaces"
fi
[ -c /dev/net/tun ] || skip "/dev/net/tun is missing"

if [ -z "${USBETH:-}" ]; then
  bash scripts/setup.sh
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)"
  USBETH=build/release/app/usbeth
fi
for tool in ip ping timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done
have_iperf=1
command -v iperf3 >/dev/null || have_iperf=0

# Names of our own, so that runs side by side do not meet.
id=$$
ns_a=usbeth-$id-a
ns_b=usbeth-$id-b
tap_a=ube${id}a
tap_b=ube${id}b
addr_a=198.18.0.1
addr_b=198.18.0.2
work=$(mktemp -d "${TMPDIR:-/tmp}/tap-bench.XXXXXX")
usbeth_pid=""
server_pid=""

stop_usbeth() {
  [ -n "$usbeth_pid" ] || return 0
  kill -INT "$usbeth_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$usbeth_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$usbeth_pid" 2>/dev/null || true
  local status=0
  wait "$usbeth_pid" 2>/dev/null || status=$?
  usbeth_pid=""
  return $status
}

remove_taps() {
  for ns_tap in "$ns_a $tap_a" "$ns_b $tap_b"; do
    set -- $ns_tap
    ip -n "$1" link del "$2" 2>/dev/null || true
    ip link del "$2" 2>/dev/null || true
  done
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_usbeth || true
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  for ns in "$ns_a" "$ns_b"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  done
  remove_taps
  ip netns del "$ns_a" 2>/dev/null || true
  ip netns del "$ns_b" 2>/dev/null || true
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "terminated"; exit 143' TERM

if ! error=$(ip netns add "$ns_a" 2>&1); then
  skip "cannot make a network namespace (ip netns add: $error)"
fi
ip netns add "$ns_b"
ip -n "$ns_a" link set lo up
ip -n "$ns_b" link set lo up

# Waits (at most $1 tenths of a second) until the command that follows succeeds.
wait_for() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
in_log() { grep -q -- "$1" "$log"; }
usbeth_alive() { kill -0 "$usbeth_pid" 2>/dev/null; }
fail() {
  say "FAILED: $*"
  if [ -n "${log:-}" ] && [ -f "$log" ]; then
    say "usbeth said:"
    sed 's/^/  | /' "$log"
  fi
  exit 1
}

# ping from namespace $1 to address $2; prints "answered sent".
ping_count() {
  local out
  out=$(ip netns exec "$1" ping -n -c 5 -i 0.2 -W 2 "$2" 2>&1 || true)
  echo "$out" | sed -n 's/^\([0-9]*\) packets transmitted, \([0-9]*\) received.*/\2 \1/p'
}

# iperf3 from namespace A to B's server; $1 is "" (A sends) or "-R" (A receives). Prints MB/s.
iperf_mb() {
  local json=$work/iperf.json
  if ! timeout $((seconds + 30)) ip netns exec "$ns_a" iperf3 -c "$addr_b" -t "$seconds" --connect-timeout 5000 -J $1 \
      >"$json" 2>&1; then
    echo "failed"
    return 0
  fi
  # iperf3 ends with status 0 when interrupted, and says so in its report.
  if grep -q '"error"' "$json"; then
    if grep -q 'interrupt' "$json"; then echo "interrupted"; else echo "failed"; fi
    return 0
  fi
  # The receiver's figure: bits_per_second in the sum_received object.
  awk '/"sum_received"/ { inside = 1 } inside && /"bits_per_second"/ { gsub(/[^0-9.e+]/, "", $2); printf "%.3f", $2 / 8e6; exit }' \
    "$json"
}

declare -A result
failures=0
for mode in $modes; do
  log=$work/usbeth-$mode.log
  say "== $mode: $( [ "$mode" = full-speed ] && echo "USB full-speed bus, 10 Mbit/s cable" || echo "instant bus and cable" ) =="
  ip tuntap add dev "$tap_a" mode tap
  ip tuntap add dev "$tap_b" mode tap
  args=(tap --interface "$tap_a")
  if [ "$form" = tap ]; then args+=(--peer-interface "$tap_b"); else args+=(--peer-adapter-interface "$tap_b"); fi
  [ "$mode" = full-speed ] && args+=(--full-speed)
  say "usbeth ${args[*]}"
  "$USBETH" "${args[@]}" >"$log" 2>&1 &
  usbeth_pid=$!
  wait_for 300 in_log "usbeth: ready" || fail "usbeth did not get ready"
  usbeth_alive || fail "usbeth ended early"

  # usbeth holds the interfaces open; they go on working in the namespaces.
  ip link set "$tap_a" netns "$ns_a"
  ip link set "$tap_b" netns "$ns_b"
  ip -n "$ns_a" addr add "$addr_a/24" dev "$tap_a"
  ip -n "$ns_b" addr add "$addr_b/24" dev "$tap_b"
  ip -n "$ns_a" link set "$tap_a" up
  ip -n "$ns_b" link set "$tap_b" up
  wait_for 100 sh -c "ip -n $ns_a link show $tap_a | grep -q LOWER_UP && ip -n $ns_b link show $tap_b | grep -q LOWER_UP" ||
    fail "the TAP interfaces did not come up"
  wait_for 300 in_log "adapter A: link up" || fail "adapter A's link did not come up"
  if [ "$form" = adapter ]; then wait_for 300 in_log "adapter B: link up" || fail "adapter B's link did not come up"; fi
  # The first answer may wait for ARP (and for the addresses to settle).
  wait_for 100 ip netns exec "$ns_a" ping -n -c 1 -W 1 "$addr_b" || true

  read -r got_ab sent_ab <<<"$(ping_count "$ns_a" "$addr_b")"
  read -r got_ba sent_ba <<<"$(ping_count "$ns_b" "$addr_a")"
  say "ping $addr_a -> $addr_b: ${got_ab:-0} of ${sent_ab:-0} answered"
  say "ping $addr_b -> $addr_a: ${got_ba:-0} of ${sent_ba:-0} answered"
  if [ "${got_ab:-0}" -eq 0 ] || [ "${got_ab:-0}" -ne "${sent_ab:-1}" ] || [ "${got_ba:-0}" -ne "${sent_ba:-1}" ]; then
    say "FAILED: pings went unanswered"
    failures=$((failures + 1))
  fi

  if [ "$have_iperf" -eq 1 ] && [ "$seconds" != 0 ]; then
    ip netns exec "$ns_b" iperf3 -s -B "$addr_b" >"$work/iperf-server.log" 2>&1 &
    server_pid=$!
    wait_for 50 sh -c "ip netns exec $ns_b ss -ltn | grep -q ':5201'" || fail "the iperf3 server did not start"
    result[$mode,send]=$(iperf_mb "")
    [ "${result[$mode,send]}" != interrupted ] || { say "interrupted"; exit 130; }
    result[$mode,receive]=$(iperf_mb "-R")
    [ "${result[$mode,receive]}" != interrupted ] || { say "interrupted"; exit 130; }
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
    say "iperf3, $seconds s each way: adapter A sends ${result[$mode,send]} MB/s, receives ${result[$mode,receive]} MB/s"
    for way in send receive; do
      if ! awk -v v="${result[$mode,$way]}" 'BEGIN { exit !(v + 0 > 0) }'; then
        say "FAILED: iperf3 measured nothing ($way: ${result[$mode,$way]})"
        failures=$((failures + 1))
      fi
    done
  fi

  status=0
  stop_usbeth || status=$?
  say "usbeth ended with status $status; it said:"
  sed 's/^/  | /' "$log"
  [ "$status" -eq 0 ] || { say "FAILED: usbeth ended with status $status"; failures=$((failures + 1)); }
  remove_taps
done

if [ "$have_iperf" -eq 1 ] && [ "$seconds" != 0 ]; then
  echo
  echo "Throughput through the driver (iperf3, TCP, $seconds s each way; MB/s = 10^6 bytes a second):"
  printf '  %-38s %14s %14s\n' "" "A sends" "A receives"
  for mode in $modes; do
    name=$([ "$mode" = full-speed ] && echo "USB full speed, 10 Mbit/s cable" || echo "instant bus and cable")
    printf '  %-38s %9s MB/s %9s MB/s\n' "$name" "${result[$mode,send]}" "${result[$mode,receive]}"
  done
  printf '  %-38s %9s MB/s\n' "bound of full-speed bulk transfers" "$bound_mb"
  echo "  (19 packets of 64 bytes in each 1 ms frame; TCP's own headers and acknowledgements come out of it)"
elif [ "$have_iperf" -eq 0 ]; then
  say "iperf3 is not installed: throughput not measured (scripts/setup.sh installs it)"
fi

if [ "$failures" -ne 0 ]; then
  say "FAILED ($failures)"
  exit 1
fi
say "passed: every ping answered, every iperf3 run measured, usbeth ended clean"
