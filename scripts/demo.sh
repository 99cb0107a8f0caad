#!/usr/bin/env bash
# The main job: unmodified CUDA programs (examples/cuda, built with
# nvcc -cudart shared) run through our runtime library, the daemon and two
# nodes on loopback: node 0 over Native, node 1 over Light dropping 5 % of
# the datagrams it receives, two GPUs on each, four in the daemon. Each
# sample checks its own results; the demo prints a table per sample with its
# figures beside their floors measured in the same run.
#
#   scripts/demo.sh [--gpu] [build-dir]
#
# --gpu: the nodes drive the machine's GPUs (backend cuda) instead of
# emulated ones. Without nvcc the samples do not exist, and the demo runs the
# earlier demo of the sample interposing layer instead.
set -uo pipefail
cd "$(dirname "$0")/.."

backend=emulated
build=build
for arg in "$@"; do
  case "$arg" in
    --gpu) backend=cuda ;;
    --no-bench) ;;  # accepted for old command lines; BENCHMARKS.md has the benchmarks
    -*) echo "usage: scripts/demo.sh [--gpu] [build-dir]" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
bin=$build/bin
samples=$build/examples/cuda
cudart=$build/cudart

say() { echo "$*"; }
die() { echo "$*" >&2; exit 1; }

[ -x "$bin/zantu_server" ] && [ -x "$bin/zantu_node" ] ||
  die "Nothing is built in $build/: run scripts/setup.sh first."
# 9979 = 0x26FB; the registration port is machine-wide.
if grep -qiE '^ *[0-9]+: [0-9A-F]{8}:26FB ' /proc/net/udp 2>/dev/null; then
  die "UDP port 9979 is in use (another zantu_server is probably running): stop it and run the demo again."
fi

pids=()
out=$(mktemp -d /tmp/zantu_demo.XXXXXX)
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  # A process ended by a signal leaves its bell behind.
  for pid in "${pids[@]}"; do rm -f /dev/shm/trellan.bell."$pid".* 2>/dev/null; done
  rm -rf "$out"
}
trap cleanup EXIT

start_node() {  # name transport extra-options...
  local name=$1 transport=$2; shift 2
  "$bin/zantu_node" --transport "$transport" "$@" >"$out/$name.out" 2>"$out/$name.err" &
  pids+=($!)
  for _ in $(seq 200); do
    grep -qs "zantu_node ready" "$out/$name.out" && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.05
  done
  local why
  why=$(grep -v '^$' "$out/$name.err" | tail -1 | sed 's/^\[Zantu\] [A-Za-z]* Func:[A-Za-z_]* Line:[0-9]* //')
  die "The $transport node ($name) did not start${why:+: $why}"
}
port() { sed -n "s/.*$2=\([0-9]*\).*/\1/p" "$out/$1.out" | head -1; }

# Starts the daemon with GPUs 0,1 of node 0 (Native) and 0,1 of node 1
# (Light) and waits until it serves registrations.
start_daemon() {
  local n0_send n0_recv n1_recv
  n0_send=$(port node0 send_port); n0_recv=$(port node0 recv_port); n1_recv=$(port node1 recv_port)
  "$bin/zantu_server" \
    0 127.0.0.1 native "$n0_send" "$n0_recv" 7000 0 \
    0 127.0.0.1 native "$n0_send" "$n0_recv" 7000 "$gpu_b" \
    1 127.0.0.1 light 0 "$n1_recv" 7001 0 \
    1 127.0.0.1 light 0 "$n1_recv" 7001 "$gpu_b" >"$out/daemon.out" 2>"$out/daemon.err" &
  daemon=$!
  pids+=("$daemon")
  for _ in $(seq 200); do
    grep -qiE '^ *[0-9]+: 0100007F:26FB ' /proc/net/udp && return 0
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "${pids[0]}" 2>/dev/null ||
    die "Node 0 (Native, 127.0.0.1 port $n0_recv) is unreachable: it exited before the daemon could connect."
  kill -0 "${pids[1]}" 2>/dev/null ||
    die "Node 1 (Light, 127.0.0.1 port $n1_recv) is unreachable: it exited before the daemon could connect."
  die "The daemon could not reach its nodes on 127.0.0.1 (node 0 Native port $n0_recv, node 1 Light port $n1_recv): $(tail -1 "$out/daemon.err")"
}

stop_road() {
  # The daemon ends by itself once a node's stream ends.
  for pid in "${pids[@]:0:2}"; do kill "$pid" 2>/dev/null; done
  for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.05; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  for pid in "${pids[@]}"; do rm -f /dev/shm/trellan.bell."$pid".* 2>/dev/null; done
  pids=()
}

# ---------------------------------------------------------------------------
# Without the toolkit: the earlier demo, the sample interposing layer.
legacy_demo() {
  gpu_b=1
  start_node node0 native
  start_node node1 light --drop 0.05
  start_daemon
  say "== sample interposing layer, all GPUs =="
  ZANTU_DISABLE_LOG=1 "$bin/sample_app"
  say
  say "== sample interposing layer, CUDA_VISIBLE_DEVICES=3,1 =="
  CUDA_VISIBLE_DEVICES=3,1 ZANTU_DISABLE_LOG=1 "$bin/sample_app"
}

missing=""
[ -f "$cudart/libcudart.so.13" ] || missing="$cudart/libcudart.so.13"
for s in device_query vector_add bandwidth multistream_saxpy reduction; do
  [ -x "$samples/$s" ] || missing="$missing $samples/$s"
done
if [ -n "$missing" ]; then
  if ! command -v nvcc >/dev/null && [ ! -x /usr/local/cuda/bin/nvcc ]; then
    say "The CUDA toolkit (nvcc) is not installed, so the CUDA samples cannot be built; running the earlier demo of the sample interposing layer instead."
  else
    say "The CUDA samples are not built in $build/ (rerun scripts/setup.sh to build them with nvcc); running the earlier demo of the sample interposing layer instead."
  fi
  say
  legacy_demo
  exit 0
fi

# ---------------------------------------------------------------------------
# The CUDA demo.
fig() { sed -n "s/^figures:.* $2=\([^ ]*\).*/\1/p; s/^figures: $2=\([^ ]*\).*/\1/p" "$out/$1.log" | head -1; }
floor() { sed -n "s/^floors:.* $1=\([^ ]*\).*/\1/p" "$floors_log" | head -1; }
calc() { awk "BEGIN { v = $1; if (v != v) print \"-\"; else printf \"%.${2:-1}f\", v }" 2>/dev/null || echo "-"; }
num() { [ -n "$1" ] && echo "$1" || echo "nan"; }

t_start=$(date +%s)
phase() { say "[$1/5] $2 ($(($(date +%s) - t_start)) s)"; }

floors_log=$(mktemp /tmp/zantu_demo_floors.XXXXXX)
trap 'cleanup; rm -f "$floors_log"' EXIT
phase 1 "starting node 0 (Native), node 1 (Light, 5 % loss), backend $backend, and the daemon with four GPUs"
# The test module as well: phase 4 measures the client library's own
# deferred calls through it.
node_args=(--backend "$backend" --test-module)
gpu_b=1
if [ "$backend" = emulated ]; then
  node_args+=(--gpus 2 --memory 2G --kernels "$bin/libzantu_sample_kernels.so")
else
  # With one GPU on the machine (or no nvidia-smi to count them) both of a
  # node's daemon GPUs are GPU 0; a node without any GPU says so as it starts.
  count=$(nvidia-smi -L 2>/dev/null | grep -c '^GPU' || true)
  [ "${count:-0}" -ge 2 ] || gpu_b=0
fi
start_node node0 native "${node_args[@]}"
start_node node1 light --drop 0.05 "${node_args[@]}"
start_daemon
sed -n 's/^zantu_node ready.*backend=\([a-z]*\).*/  node 0: backend \1/p' "$out/node0.out"
phase 2 "floors from bare parts: raw TCP and UDP loopback streaming, the bare-parts call chain"
"$bin/zantu_floors" --quick >"$floors_log" 2>&1 || die "The floor measurement failed: $(tail -1 "$floors_log")"


result() {
  local rc
  rc=$(sed -n 's/^rc=//p' "$out/$1.log")
  if [ "$rc" = 0 ] && grep -q ": PASSED" "$out/$1.log"; then echo "PASSED"; else echo "FAILED (exit $rc)"; fi
}
run_sample() {  # log-name sample args... (environment from $sample_env)
  local log=$1 s=$2; shift 2
  printf "  %-60s" "${sample_env:+$sample_env }$s $*"
  local t0 t1
  t0=$(date +%s.%N)
  env ${sample_env:-} LD_LIBRARY_PATH="$cudart" ZANTU_DISABLE_LOG=1 timeout 300 "$samples/$s" "$@" >"$out/$log.log" 2>&1 &
  local app=$! ticks=0
  # A dot every two seconds while a long sample runs.
  while kill -0 "$app" 2>/dev/null; do
    sleep 0.1
    ticks=$((ticks + 1))
    [ $((ticks % 20)) -eq 0 ] && printf "."
  done
  wait "$app"
  echo "rc=$?" >>"$out/$log.log"
  t1=$(date +%s.%N)
  echo "seconds=$(calc "$t1 - $t0")" >>"$out/$log.log"
  echo " $(result "$log") in $(calc "$t1 - $t0") s"
}

phase 3 "the samples, each checking its own results"
sample_env=""
run_sample device_query device_query --expect 4
run_sample vector_add vector_add --launches 200000
run_sample multistream_saxpy multistream_saxpy
run_sample reduction reduction
run_sample bw_native bandwidth --device 1 --max-mib 256
run_sample bw_light bandwidth --device 2 --max-mib 256
run_sample pipeline gpu_pipeline
run_sample graphs graph_steps
run_sample async async_work --expect-overlap
sample_env="CUDA_VISIBLE_DEVICES=1,2"
run_sample pipeline_nodes gpu_pipeline
sample_env=""
sample_env="CUDA_VISIBLE_DEVICES=3,1"
run_sample narrowed_query device_query --expect 2
run_sample narrowed_add vector_add --launches 20000
sample_env=""

phase 4 "the client library's own deferred calls on the same daemon (test module)"
ZANTU_DISABLE_LOG=1 timeout 120 "$bin/tovrel_bench_client" deferred 200000 3 >"$out/deferred.log" 2>&1
deferred=$(sed -n 's/^deferred_per_s=//p' "$out/deferred.log" | sort -g | sed -n 2p)

stop_road

phase 5 "figures"
fp50=$(floor sync_p50_us); fp99=$(floor sync_p99_us)
tcp=$(floor tcp_gbps); udp=$(floor udp_gbps); lost=$(floor udp_lost)
row() { printf "  %-44s %16s   %-28s %-7s %s\n" "$1" "$2" "$3" "$4" "${5:+(target $5)}"; }
header() {
  say
  say "== $1 — $(result "$2"), checked by the program; $(sed -n 's/^seconds=//p' "$out/$2.log") s =="
  row "measure" "value" "floor (same run)" "ratio"
  row "runtime API calls made (counted by the program)" "$(fig "$2" calls)" "" ""
}
sync_rows() {  # log p50-key p99-key label
  local p50 p99
  p50=$(num "$(fig "$1" "$2")"); p99=$(num "$(fig "$1" "$3")")
  row "synchronous call p50, $4" "$(calc "$p50") us" "$(calc "$fp50") us bare parts" "$(calc "$p50 / $fp50" 2)x" "${5:-}"
  row "synchronous call p99, $4" "$(calc "$p99") us" "$(calc "$fp99") us bare parts" "$(calc "$p99 / $fp99" 2)x"
}
bw_rows() {  # log label floor-gbps floor-label target
  local h d
  h=$(num "$(fig "$1" h2d_gbps)"); d=$(num "$(fig "$1" d2h_gbps)")
  local mib
  mib=$(calc "$(num "$(fig "$1" quoted_mib)")" 0)
  row "host to GPU, $mib MiB pinned, $2" "$(calc "$h" 2) GB/s" "$(calc "$3" 2) GB/s $4" "$(calc "100 * $h / $3" 0) %" "$5"
  row "GPU to host, $mib MiB pinned, $2" "$(calc "$d" 2) GB/s" "$(calc "$3" 2) GB/s $4" "$(calc "100 * $d / $3" 0) %" "$5"
}

header "device_query (4 GPUs)" device_query
sync_rows device_query sync_first_p50_us sync_first_p99_us "GPU 0 (Native)" "<= 1.3x"
sync_rows device_query sync_last_p50_us sync_last_p99_us "GPU 3 (Light, 5 % loss)"
row "cudaGetDeviceProperties asked again" "$(calc "$(num "$(fig device_query props_again_us)")" 2) us" "no round trip" ""

header "vector_add (every GPU, then 200000 launches on GPU 0)" vector_add
issue=$(num "$(fig vector_add launch_issue_per_s)"); done_rate=$(num "$(fig vector_add launch_done_per_s)")
row "kernel launches per second, issued" "$(calc "$issue" 0)" "$(calc "$(num "$deferred")" 0) deferred calls/s" "$(calc "$issue / $(num "$deferred")" 2)x" ">= 1000000"
row "kernel launches per second, run to the end" "$(calc "$done_rate" 0)" "(library, test module)" ""

header "multistream_saxpy (two streams per GPU, events)" multistream_saxpy
row "copy traffic in and out, all streams" "$(calc "$(num "$(fig multistream_saxpy copy_gbps)")" 2) GB/s" "" ""
row "slowest stream between its events" "$(calc "$(num "$(fig multistream_saxpy slowest_stream_ms)")") ms" "" ""

header "reduction (shared memory, __syncthreads, atomics)" reduction
row "two tree passes, slowest GPU (events)" "$(calc "$(num "$(fig reduction tree_ms)")") ms" "CPU kernels" ""

header "bandwidth on GPU 1 (Native), 1 KiB to 256 MiB" bw_native
bw_rows bw_native "Native" "$tcp" "raw TCP" ">= 80 %"
header "bandwidth on GPU 2 (Light, 5 % loss), 1 KiB to 256 MiB" bw_light
bw_rows bw_light "Light" "$udp" "raw UDP ($(calc "100 * $(num "$lost")") % lost)" ">= 60 %"

pipeline_rows() {  # log label
  row "copy between the GPUs ($2)" "$(calc "$(num "$(fig "$1" peer_gbps)")" 2) GB/s" "through the process" ""
  row "host function after its stream's work" "$(calc "$(num "$(fig "$1" host_fn_delay_ms)")") ms" "" ""
}
header "gpu_pipeline (occupancy, registered memory, peer copies, host functions) on GPUs 0 and 1" pipeline
pipeline_rows pipeline "one node"
header "gpu_pipeline with CUDA_VISIBLE_DEVICES=1,2: a GPU of each node" pipeline_nodes
pipeline_rows pipeline_nodes "Native to Light"
header "graph_steps (a step captured from two streams and one built node by node, launched in turn)" graphs
graph_ms=$(num "$(fig graphs graph_step_ms)"); plain_ms=$(num "$(fig graphs plain_step_ms)")
row "one step as a graph launch" "$(calc "$graph_ms" 2) ms" "$(calc "$plain_ms" 2) ms as plain calls" "$(calc "$graph_ms / $plain_ms" 2)"
header "async_work (the host polls an event while the emulated GPU runs a kernel; a callback after a stream's copy)" async
row "event polls while the kernel ran" "$(num "$(fig async polls_while_busy)")" "$(calc "$(num "$(fig async gpu_ms)")") ms on the GPU" "> 0"

say
say "== CUDA_VISIBLE_DEVICES=3,1 =="
say "  device_query --expect 2: $(result narrowed_query); vector_add: $(result narrowed_add)"
say
say "Each sample's full output:"
for log in device_query vector_add multistream_saxpy reduction bw_native bw_light pipeline pipeline_nodes graphs async; do
  say "-- $log"
  grep -vE '^(figures:|rc=|seconds=)' "$out/$log.log" | sed 's/^/   /'
done

failed=0
for log in device_query vector_add multistream_saxpy reduction bw_native bw_light pipeline pipeline_nodes graphs async narrowed_query \
  narrowed_add; do
  [ "$(result "$log")" = PASSED ] || failed=1
done
say
if [ "$failed" = 0 ]; then
  say "Every sample passed its own checks ($(($(date +%s) - t_start)) s in all)."
else
  say "Some samples FAILED: see their output above."
fi
exit "$failed"
