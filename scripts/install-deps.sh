#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the examples and the
# benchmarks need; `install-deps.sh docs`: only what the API reference needs (make docs).
# Safe to run again: apt is only touched when something is missing.
set -euo pipefail

if [ "${1:-}" = docs ]; then
  packages=(doxygen cmake make)
else
  packages=(
    cmake ninja-build g++ make pkg-config
    libcurl4-openssl-dev libssl-dev openssl
    libxerces-c-dev
    libboost1.81-dev libboost-json1.81-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libcpp-httplib-dev libcli11-dev libcurlpp-dev
    zlib1g-dev libbrotli-dev libzstd-dev
    clang-14 libclang-rt-14-dev clang-tidy-14
    python3 valgrind
    tzdata
    gcovr
    doxygen lintian man-db dpkg-dev file
    mmdebstrap
    abigail-tools
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
