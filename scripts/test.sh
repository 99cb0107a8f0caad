#!/usr/bin/env bash
# Runs the test suite of a build directory (default build/).
# Tests that start a daemon hold a CTest resource lock, so they never overlap.
# The load tests (CTest label "load") run only when asked for:
#
#   scripts/test.sh                  # everything but the load tests
#   scripts/test.sh build -L load    # the load tests alone (extra CTest arguments
#                                    # replace the default selection)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shift || true
selection=(-LE load)
if [ $# -gt 0 ]; then
  selection=("$@")
fi
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 600 "${selection[@]}"
