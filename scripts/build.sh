#!/usr/bin/env bash
# Configures and builds into a build directory.
# Usage: scripts/build.sh [--asan|--tsan] [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

flags=()
dir=""
for arg in "$@"; do
  case "$arg" in
    --asan) flags+=(-DECD_SANITIZE=ON); dir=${dir:-$root/build-asan} ;;
    --tsan) flags+=(-DECD_TSAN=ON -DECD_BUILD_BENCH=OFF); dir=${dir:-$root/build-tsan} ;;
    -h|--help) echo "usage: $0 [--asan|--tsan] [build-dir]"; exit 0 ;;
    -*) echo "build.sh: unknown option $arg" >&2; exit 2 ;;
    *) dir=$arg ;;
  esac
done
dir=${dir:-$root/build}

"$root/scripts/setup.sh"
cmake -S "$root" -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j2
