#!/usr/bin/env bash
# Configures and builds into a build directory.
# Usage: scripts/build.sh [--asan|--tsan] [--quiet] [build-dir]
# --quiet keeps the compiler's output in <build-dir>/build.log and shows it
# only when the build fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

flags=()
dir=""
quiet=0
for arg in "$@"; do
  case "$arg" in
    --asan) flags+=(-DECD_SANITIZE=ON); dir=${dir:-$root/build-asan} ;;
    --tsan) flags+=(-DECD_TSAN=ON -DECD_BUILD_BENCH=OFF); dir=${dir:-$root/build-tsan} ;;
    --quiet) quiet=1 ;;
    -h|--help) echo "usage: $0 [--asan|--tsan] [--quiet] [build-dir]"; exit 0 ;;
    -*) echo "build.sh: unknown option $arg" >&2; exit 2 ;;
    *) dir=$arg ;;
  esac
done
dir=${dir:-$root/build}

"$root/scripts/setup.sh"
if ((quiet)); then
  mkdir -p "$dir"
  echo "Building in $dir (two jobs; log: $dir/build.log) ..."
  if ! { cmake -S "$root" -B "$dir" "${flags[@]}" && cmake --build "$dir" -j2; } >"$dir/build.log" 2>&1; then
    tail -n 40 "$dir/build.log" >&2
    echo "build failed; the whole log is $dir/build.log" >&2
    exit 1
  fi
else
  cmake -S "$root" -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j2
fi
