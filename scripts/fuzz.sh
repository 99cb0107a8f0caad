#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a while
# on its corpus in tests/fuzz/corpus/<name>/. Exits non-zero when any fuzzer
# finds something; the input that did it is kept under <build>/artifacts/.
#
#   scripts/fuzz.sh                  # 20 s each
#   scripts/fuzz.sh 600              # ten minutes each
#   scripts/fuzz.sh 120 --keep zstd_body light_resend
#                                    # two fuzzers; merge what they grew,
#                                    # minimised, into the kept corpus
#
# ZANTU_FUZZ_BUILD names the build directory (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
keep=0
names=()
for arg in "$@"; do
  case "$arg" in
    --keep) keep=1 ;;
    ''|*[!0-9]*) names+=("$arg") ;;
    *) seconds="$arg" ;;
  esac
done

# clang and its libFuzzer runtime, installed like scripts/setup.sh installs
# the rest (Debian 12, as root).
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "ok installed"; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev
fi

build_dir="${ZANTU_FUZZ_BUILD:-build-fuzz}"
mkdir -p "$build_dir"
if ! { CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTU_BUILD_FUZZERS=ON \
         -DZANTU_BUILD_TESTS=OFF -DZANTU_BUILD_BENCHMARKS=OFF &&
       cmake --build "$build_dir" -j"$(nproc)" --target fuzzers; } >"$build_dir/fuzz_build.log" 2>&1; then
  cat "$build_dir/fuzz_build.log" >&2
  exit 1
fi

if [ ${#names[@]} -eq 0 ]; then
  for binary in "$build_dir"/bin/*_fuzzer; do
    names+=("$(basename "$binary" _fuzzer)")
  done
fi

artifacts="$build_dir/artifacts"
mkdir -p "$artifacts"
failed=()
for name in "${names[@]}"; do
  binary="$build_dir/bin/${name}_fuzzer"
  corpus="tests/fuzz/corpus/$name"
  mkdir -p "$corpus"
  grown="$(mktemp -d)"
  log="$build_dir/${name}_fuzzer.log"
  status=0
  # New inputs go to the scratch directory; the kept corpus is only read.
  ZANTU_DISABLE_LOG=1 "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/${name}-" "$grown" "$corpus" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    echo "FUZZ ${name}: FINDING after ${runs:-?} runs (exit $status), see $log and $artifacts/" >&2
    grep -m1 -A12 -E '^==[0-9]+==ERROR|deadly signal|SUMMARY' "$log" >&2 || true
  else
    echo "fuzz ${name}: ${runs:-?} runs in ${seconds} s, no finding, corpus $(ls "$corpus" | wc -l) + $(ls "$grown" | wc -l) new"
  fi
  if [ "$keep" -eq 1 ] && [ "$status" -eq 0 ]; then
    merged="$(mktemp -d)"
    "$binary" -merge=1 "$merged" "$corpus" "$grown" >/dev/null 2>&1
    rm -f "$corpus"/*
    cp "$merged"/* "$corpus"/ 2>/dev/null || true
    rm -rf "$merged"
    echo "fuzz ${name}: kept corpus now $(ls "$corpus" | wc -l) inputs, $(du -sk "$corpus" | cut -f1) KiB"
  fi
  rm -rf "$grown"
done
[ ${#failed[@]} -eq 0 ]
