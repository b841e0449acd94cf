#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing. Run as root.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
          libpugixml-dev libicu-dev icu-devtools
          clang libclang-rt-14-dev inotify-tools
          libcurl4-openssl-dev python3-pyftpdlib)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
