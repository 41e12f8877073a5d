#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing.
set -euo pipefail
packages=(g++ make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          zlib1g-dev libsqlite3-dev tzdata libcurl4-openssl-dev python3 python3-pyftpdlib
          binutils libfltk1.3-dev libpng-dev libx11-dev xvfb xauth xdotool)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
