#!/usr/bin/env bash
# Runs every benchmark of a build directory (default build/) and rewrites
# BENCHMARKS.md with their figures: the ring buffer, the daemon, the client
# library, our runtime library, a thousand clients, and the CUDA samples of
# the demo. Each benchmark prints its own baselines from the same run.
#
#   scripts/benchmarks.sh [--quick] [build-dir]
#
# Needs UDP port 9979 free (the benchmarks start daemons). A benchmark that
# is not built (no nvcc: cudart_bench, the samples) is listed as skipped.
set -uo pipefail
cd "$(dirname "$0")/.."

quick=""
build=build
for arg in "$@"; do
  case "$arg" in
    --quick) quick=--quick ;;
    -*) echo "usage: scripts/benchmarks.sh [--quick] [build-dir]" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
bin=$build/bin
[ -x "$bin/zantu_server" ] || { echo "Nothing is built in $build/: run scripts/setup.sh first." >&2; exit 1; }
if grep -qiE '^ *[0-9]+: [0-9A-F]{8}:26FB ' /proc/net/udp 2>/dev/null; then
  echo "UDP port 9979 is in use (another zantu_server is probably running): stop it and run the benchmarks again." >&2
  exit 1
fi

work=$(mktemp -d /tmp/zantu_benchmarks.XXXXXX)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)

# name | command | what it measures
benchmarks=(
  "ring_bench|$bin/ring_bench --benchmark_min_time=0.2|The shared-memory ring buffer of libtrellan: writes and reads of records of several sizes, one process and two."
  "daemon_bench|$bin/daemon_bench $quick|The daemon: 100-byte echo round trips beside the bare-parts floor, 64 MiB bulk over Native and Light beside raw TCP and UDP, daemon CPU with idle clients."
  "tovrel_bench|$bin/tovrel_bench $quick|The client library: the empty synchronous call beside the floor with the library's hand-off, deferred calls per second, CPU of an idle application."
  "cudart_bench|$bin/cudart_bench $quick|Our runtime library: a synchronous empty call of an nvcc-built program beside the bare-parts floor, deferred kernel launches per second."
  "zantu_node_bench|$bin/zantu_node_bench|The node alone over its Native link: whole 64 MiB copies each way beside raw TCP, a new client's first call, node memory and CPU per idle client, kernel launches."
  "scale_bench|$bin/scale_bench|A thousand registered clients: registration time, idle daemon CPU, a synchronous call's latency beside the figure with no other client."
  "demo|scripts/demo.sh $build|The CUDA samples through a Native and a lossy Light emulated node (scripts/demo.sh): results checked by the programs, figures beside floors from the same run."
)

for entry in "${benchmarks[@]}"; do
  IFS='|' read -r name command about <<<"$entry"
  exe=${command%% *}
  if [ ! -x "$exe" ]; then
    echo "[$name] not built: skipped"
    echo "skipped: $exe is not built (it needs the CUDA toolkit's nvcc)." >"$work/$name.txt"
    continue
  fi
  echo "[$name] running ($(($(date +%s) - start)) s so far)"
  t0=$(date +%s)
  if [ "$name" = demo ]; then
    # The tables only; the samples' own output stays in the demo.
    $command 2>&1 | sed -n '/^\[5\/5\]/,/^Each sample/p' | sed '1d;$d' >"$work/$name.txt"
  else
    $command >"$work/$name.txt" 2>&1
  fi
  echo "($(($(date +%s) - t0)) s)" >>"$work/$name.txt"
done

{
  echo "# Benchmarks"
  echo
  echo "Written by \`scripts/benchmarks.sh${quick:+ $quick}\` on $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)."
  echo "Machine: $(nproc) CPUs ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)), Linux $(uname -r)."
  echo "Every figure is printed beside a baseline measured in the same run on the same"
  echo "machine; other work on the machine moves both. Rerun with \`scripts/benchmarks.sh\`."
  echo
  echo "## Targets"
  echo
  echo "Lines of the runs below that name a target:"
  echo
  echo '```'
  for entry in "${benchmarks[@]}"; do
    IFS='|' read -r name _ _ <<<"$entry"
    grep -h "target" "$work/$name.txt" 2>/dev/null | sed "s/^/[$name] /"
  done
  echo '```'
  for entry in "${benchmarks[@]}"; do
    IFS='|' read -r name _ about <<<"$entry"
    echo
    echo "## $name"
    echo
    echo "$about"
    echo
    echo '```'
    cat "$work/$name.txt"
    echo '```'
  done
} >BENCHMARKS.md
echo "BENCHMARKS.md rewritten ($(($(date +%s) - start)) s)."
