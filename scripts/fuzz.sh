#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer over the
# driver, the host and the model, coverage for the fuzzer) in build/fuzz, writes a seed corpus for
# each, and runs each target for a bounded time: FUZZ_SECONDS each (60 by default), or only the
# targets named as arguments (configuration, receive, phy, oid). Each corpus also holds the inputs
# of tests/fuzz/regressions/<target>, which once broke something. FUZZ_SEED fixes libFuzzer's seed
# (a random one by default; the run prints it). Any crash, sanitizer report, verifier violation,
# broken invariant or leak fails the run and leaves the input in build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
seed_option=()
[ -z "${FUZZ_SEED:-}" ] || seed_option=(-seed="$FUZZ_SEED")
jobs=$(nproc)
build=build/fuzz
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(configuration receive phy oid)

echo "== fuzz build =="
cmake --preset fuzz >/dev/null
build_targets=(configuration_corpus fuzz_corpus)
for target in "${targets[@]}"; do build_targets+=("${target}_fuzzer"); done
cmake --build --preset fuzz -j "$jobs" --target "${build_targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  case "$target" in
    configuration) "$build/tests/fuzz/configuration_corpus" "$corpus"; max_len=512 ;;
    *) "$build/tests/fuzz/fuzz_corpus" "$target" "$corpus"; max_len=4096 ;;
  esac
  if [ -d "tests/fuzz/regressions/$target" ]; then cp "tests/fuzz/regressions/$target"/* "$corpus"/; fi
  echo "== fuzz: $target (${seconds} s) =="
  "$build/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 \
    "${seed_option[@]}" -print_final_stats=1 -artifact_prefix="$build/$target-" "$corpus"
done
echo "== fuzzing found nothing =="
