#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine (run as root), then
# configures and builds into build/ (or into the directory given with -B).
#
#   scripts/setup.sh                       # build/
#   scripts/setup.sh -B build-asan -DZANTU_SANITIZE=address
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libzstd-dev libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build_dir=build
cmake_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -B) build_dir="$2"; shift 2 ;;
    *) cmake_args+=("$1"); shift ;;
  esac
done
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}"
cmake --build "$build_dir" -j"$(nproc)"
