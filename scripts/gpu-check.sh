#!/usr/bin/env bash
# The check to run on a machine with GPUs, in at most 8 minutes: builds,
# lists the GPUs, runs the cuda backend's tests, then every sample through
# the daemon and nodes that drive the real GPUs (the demo with --gpu), and
# prints one table: step, result, seconds, and the step's last line.
#
#   scripts/gpu-check.sh [build-dir]     (default build-gpu/)
#
# Each step has a bound of its own, and the steps together stay within the
# 8 minutes; a step that runs out is "timeout" and the next one still runs.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-gpu}
logs=$(mktemp -d /tmp/zantu_gpu_check.XXXXXX)
start=$(date +%s)
rows=()

# step name seconds command...: runs the command under its bound and notes a row.
step() {
  local name=$1 bound=$2; shift 2
  local left=$((480 - ($(date +%s) - start)))
  [ "$bound" -gt "$left" ] && bound=$left
  if [ "$bound" -le 0 ]; then
    rows+=("$(printf '%-22s %-8s %6s  %s' "$name" skipped - "no time left")")
    return
  fi
  local t0=$(date +%s) result
  timeout --kill-after=10 "$bound" "$@" >"$logs/$name.log" 2>&1
  case $? in
    0) result=pass ;;
    124|137) result=timeout ;;
    *) result=fail ;;
  esac
  local last
  last=$(grep -v '^\s*$' "$logs/$name.log" | tail -1 | cut -c1-90)
  rows+=("$(printf '%-22s %-8s %6s  %s' "$name" "$result" "$(($(date +%s) - t0))" "$last")")
}

step build 300 scripts/setup.sh -B "$build"
step gpus 20 nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader
step cuda_backend_tests 90 ctest --test-dir "$build" -R "cuda_backend|driver_stand_in" --output-on-failure
step samples_on_gpus 240 scripts/demo.sh --gpu "$build"

echo
echo "== GPU check ($(($(date +%s) - start)) s) =="
printf '%-22s %-8s %6s  %s\n' step result s "last line"
for row in "${rows[@]}"; do echo "$row"; done
echo
echo "== the samples' tables =="
sed -n '/^== /,$p' "$logs/samples_on_gpus.log" 2>/dev/null | head -80
rm -rf "$logs"
