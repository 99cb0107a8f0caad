#!/usr/bin/env bash
# The main job: for now the ring-buffer figures (latency beside a raw futex
# ping-pong, throughput, resident memory, idle CPU).
set -euo pipefail
cd "$(dirname "$0")/.."
build/bin/ring_bench --benchmark_min_time=0.2 "$@"
