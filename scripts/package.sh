#!/usr/bin/env bash
# Builds the Debian packages for prefix /usr into build-package/packages/.
# Usage: scripts/package.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
case "$dir" in -h|--help) echo "usage: $0 [build-dir]"; exit 0 ;; esac

"$root/scripts/setup.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DECD_BUILD_TESTS=OFF -DECD_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j2
(cd "$dir" && cpack -G DEB)
ls -l "$dir"/packages/*.deb
