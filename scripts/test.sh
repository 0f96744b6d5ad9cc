#!/usr/bin/env bash
# Builds and runs the whole test suite.
# Usage: scripts/test.sh [--asan|--tsan] [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=()
dir=$root/build
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --asan) mode=(--asan); dir=$root/build-asan ;;
    --tsan) mode=(--tsan); dir=$root/build-tsan ;;
    -h|--help) echo "usage: $0 [--asan|--tsan] [ctest arguments]"; exit 0 ;;
    *) ctest_args+=("$arg") ;;
  esac
done

"$root/scripts/build.sh" "${mode[@]}" "$dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure --timeout 300 "${ctest_args[@]}"
