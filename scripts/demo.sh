#!/usr/bin/env bash
# The main job on embedded defaults (grows with the project).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" "$root/build"
exec "$root/scripts/run-demo.sh" "$root/build" "$@"
