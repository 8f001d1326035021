#!/usr/bin/env bash
# The driver library may call only what driver/platform declares: every symbol its objects leave
# undefined (after those they define for each other) must be a function the platform headers
# declare, or something the compiler and its runtime bring along (stack protection, sanitizer
# and coverage hooks). Anything else, a host routine or a C library call, fails the check.
#
#   undefined_symbols.sh NM LIBRARY PLATFORM_DIR
set -euo pipefail
nm=$1 library=$2 platform=$3

symbols() { "$nm" -C "$@" "$library" 2>/dev/null | sed -n 's/^ *[0-9a-fA-F]* *[A-Za-z] //p' | sort -u; }
defined=$(symbols --defined-only)
undefined=$(symbols --undefined-only)
outside=$(comm -23 <(printf '%s\n' "$undefined") <(printf '%s\n' "$defined") | sed '/^$/d')

# Every name the platform headers give a parameter list to: functions, and the function-like
# macros and routine types beside them.
declared=$(cat "$platform"/*.h | grep -oE '\b[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' | tr -d '( \t' | sort -u)

# The language runtime's own: stack protection, unwinding, the type information the undefined
# behaviour sanitizer's function checks compare against, and sanitizer and coverage hooks.
runtime='^(_GLOBAL_OFFSET_TABLE_|__stack_chk_fail|__stack_chk_guard|__dso_handle|__tls_get_addr|_Unwind_Resume|__gxx_personality_v0|__cxa_[a-z_]+|(vtable|typeinfo) for __cxxabiv1::[a-z_]+|__(asan|ubsan|tsan|msan|sanitizer|llvm|gcov|profc|profd)[A-Za-z0-9_]*)$'

checked=0
stray=()
while IFS= read -r symbol; do
    checked=$((checked + 1))
    name=${symbol%%(*}
    if [[ $name =~ $runtime ]]; then continue; fi
    if [[ $name != *::* ]] && grep -qxF "$name" <<<"$declared"; then continue; fi
    stray+=("$symbol")
done <<<"$outside"

if ((checked == 0)); then
    echo "no undefined symbols found in $library: is it the driver library?" >&2
    exit 1
fi
if ((${#stray[@]})); then
    echo "the driver calls what driver/platform does not declare:" >&2
    printf '  %s\n' "${stray[@]}" >&2
    exit 1
fi
echo "$checked symbols the driver leaves undefined, each declared in driver/platform or the language runtime's"
