#!/usr/bin/env bash
# Lays out every C++ file of the project by .clang-format (driver/ by its own file), or with
# --check, changes nothing and fails when any file differs from its layout.
#
#   ./scripts/format.sh            # rewrite the files in place
#   ./scripts/format.sh --check    # report the differences; non-zero status when there are any
set -euo pipefail
cd "$(dirname "$0")/.."

format=clang-format-14
command -v "$format" >/dev/null || format=clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  echo "== clang-format: ${#files[@]} files =="
  if ! printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 16 "$format" --dry-run --Werror; then
    echo "== clang-format FAILED: the files above differ from their layout (scripts/format.sh fixes them) =="
    exit 1
  fi
  echo "== clang-format found nothing =="
else
  printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 16 "$format" -i
fi
