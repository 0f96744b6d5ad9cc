#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when some are missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev
  libomniorb4-dev omniidl omniorb-idl omniorb
  libgtest-dev
  libsqlite3-dev sqlite3
  iproute2 procps
  help2man file dpkg-dev
  libcpp-httplib-dev
  chromium chromium-driver python3
)

# Second compiler and API reference: CI builds the library with clang as well
# and the reference with Doxygen.
packages+=(clang doxygen)
# End of second compiler and API reference.

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
