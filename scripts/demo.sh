#!/usr/bin/env bash
# The main job: the whole system on loopback. Two reference nodes (one
# Native, one Light dropping 5 % of its datagrams), a daemon offering two GPUs
# on each, and the sample application, once seeing every GPU and once with
# CUDA_VISIBLE_DEVICES=3,1. Then the benchmarks' figures, unless --no-bench.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
run_bench=1
[ "${1:-}" = "--no-bench" ] && run_bench=0

pids=()
out=$(mktemp -d /tmp/zantu_demo.XXXXXX)
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # A daemon ended by a signal leaves its bell behind.
  for pid in "${pids[@]}"; do rm -f /dev/shm/trellan.bell."$pid".* 2>/dev/null || true; done
  rm -rf "$out"
}
trap cleanup EXIT

start_node() {  # name transport extra-options...
  local name=$1 transport=$2; shift 2
  "$bin/zantu_node" --transport "$transport" "$@" >"$out/$name.out" 2>"$out/$name.err" &
  pids+=($!)
  for _ in $(seq 100); do grep -qs "zantu_node ready" "$out/$name.out" && return 0; sleep 0.05; done
  echo "$name did not start" >&2; cat "$out/$name.err" >&2; exit 1
}
port() { sed -n "s/.*$2=\([0-9]*\).*/\1/p" "$out/$1.out"; }

start_node node0 native
start_node node1 light --drop 0.05
n0_send=$(port node0 send_port); n0_recv=$(port node0 recv_port); n1_recv=$(port node1 recv_port)

echo "== daemon: node 0 Native, node 1 Light; GPUs 0,1 on node 0 and 0,1 on node 1 =="
"$bin/zantu_server" \
  0 127.0.0.1 native "$n0_send" "$n0_recv" 7000 0 \
  0 127.0.0.1 native "$n0_send" "$n0_recv" 7000 1 \
  1 127.0.0.1 light 0 "$n1_recv" 7001 0 \
  1 127.0.0.1 light 0 "$n1_recv" 7001 1 >"$out/daemon.out" 2>"$out/daemon.err" &
daemon=$!
pids+=("$daemon")
for _ in $(seq 100); do grep -qs "create gpu-3" "$out/daemon.out" && break; sleep 0.05; done
sleep 0.2
grep "create gpu" "$out/daemon.out" | sed 's/^\[Zantu\] Log Func:[a-z]* Line:[0-9]* /  /'

echo
echo "== sample application, all GPUs =="
ZANTU_DISABLE_LOG=1 "$bin/sample_app"
echo
echo "== sample application, CUDA_VISIBLE_DEVICES=3,1 =="
CUDA_VISIBLE_DEVICES=3,1 ZANTU_DISABLE_LOG=1 "$bin/sample_app"

sleep 1.2  # the daemon notices the clients have ended and releases their rings
echo
echo "== daemon log =="
grep -E "delete ring buffers" "$out/daemon.out" | sed 's/^\[Zantu\] Log Func:[A-Za-z]* Line:[0-9]* /  /'
if [ -s "$out/daemon.err" ]; then echo "  errors:"; sed 's/^/  /' "$out/daemon.err"; fi

cleanup
trap - EXIT
if [ "$run_bench" = 1 ]; then
  echo
  echo "== ring buffer figures =="
  "$bin/ring_bench" --benchmark_min_time=0.2
  echo
  echo "== daemon figures =="
  "$bin/daemon_bench"
  if [ -x "$bin/tovrel_bench" ]; then
    echo
    echo "== client library figures =="
    "$bin/tovrel_bench"
  fi
fi
