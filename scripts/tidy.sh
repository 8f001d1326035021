#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) over every source file of driver/, host/ and model/,
# with the compile database of the dev preset (build/dev/compile_commands.json), on all cores.
# That database is g++'s: clang-tidy is told to pass over the warning options only g++ knows.
# Any finding is an error and fails the run; the files may also be named as arguments.
# TIDY_JOBS sets how many files are analysed at once (default: one per core).
#
#   ./scripts/tidy.sh                       # driver/, host/ and model/
#   ./scripts/tidy.sh driver/phy/link.cpp   # one file
set -euo pipefail
cd "$(dirname "$0")/.."

tidy=clang-tidy-14
command -v "$tidy" >/dev/null || tidy=clang-tidy
[ -f build/dev/compile_commands.json ] || cmake --preset dev >/dev/null

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  mapfile -t files < <(git ls-files 'driver/*.cpp' 'host/*.cpp' 'model/*.cpp')
fi
echo "== clang-tidy: ${#files[@]} files of driver/, host/ and model/ =="
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
printf '%s\n' "${files[@]}" | xargs -P "${TIDY_JOBS:-$(nproc)}" -n 4 "$tidy" -p build/dev --quiet \
  --extra-arg=-Wno-unknown-warning-option >"$out" 2>&1 || status=$?
# clang-tidy counts the warnings it suppressed in system and other headers; only findings matter.
grep -Ev '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$out" || true
if [ "$status" -ne 0 ]; then
  echo "== clang-tidy FAILED: the findings above are errors (see .clang-tidy) =="
  exit 1
fi
echo "== clang-tidy found nothing =="
