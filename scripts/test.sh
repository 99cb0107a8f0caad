#!/usr/bin/env bash
# Runs the whole test suite of a build directory (default build/).
# Tests that start a daemon hold a CTest resource lock, so they never overlap.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 600
