#!/usr/bin/env bash
# Installs the Debian packages the project needs, when they are missing.
# As root it runs apt-get; otherwise it prints the one line to run.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3
  libgtest-dev libcli11-dev libtomlplusplus-dev gnuplot-nox libboost-dev libboost-context-dev
  gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-newlib binutils-arm-none-eabi
  qemu-system-arm gdb-multiarch python3-pyelftools openocd
  pkg-config libcpp-httplib-dev nlohmann-json3-dev libjs-chart.js chromium
  clang libclang-rt-14-dev clang-tidy cppcheck
  libnlopt-cxx-dev parallel sigrok-cli
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
else
  echo "missing packages; run:"
  echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}"
  exit 1
fi
