#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer over the
# driver, the host and the model, coverage for the fuzzer) in build/fuzz, writes a seed corpus
# made with the model's descriptor builders, and runs each target for a bounded time. Any crash,
# sanitizer report, verifier violation or leak fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc)
build=build/fuzz

echo "== fuzz build =="
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DUSBETH_FUZZ=ON -DUSBETH_SANITIZE=address \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "$jobs" --target configuration_fuzzer configuration_corpus

corpus="$build/corpus/configuration"
rm -rf "$corpus"
mkdir -p "$corpus"
"$build/tests/fuzz/configuration_corpus" "$corpus"

echo "== fuzz: configuration (${seconds} s) =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/tests/fuzz/configuration_fuzzer" -max_total_time="$seconds" -max_len=512 -timeout=30 \
  -artifact_prefix="$build/" "$corpus"
echo "== fuzzing found nothing =="
