#!/usr/bin/env bash
# The main job on embedded defaults: builds (installing what is missing),
# then runs the demo. Options go to run-demo.sh (--interactive, --traces,
# --keep, --help).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for arg in "$@"; do
  case "$arg" in
    -h | --help) exec "$root/scripts/run-demo.sh" --help ;;
  esac
done
"$root/scripts/build.sh" --quiet "$root/build"
exec "$root/scripts/run-demo.sh" "$root/build" "$@"
