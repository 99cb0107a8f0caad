#!/usr/bin/env bash
# Plants one-line faults in the runtime library (cudart/), the node (node/)
# and the ring (trellan/), one at a time, builds each and runs the tests that should catch
# it. A fault is caught when a test fails. Prints one line per fault and,
# last, "caught N of M".
#
#   scripts/mutants.sh [--check] [--only REGEX] [build-dir]   (default build/)
#
# --check only verifies that every fault still matches its source line;
# --only runs the faults whose description matches REGEX.
# Each fault is applied to the working tree and undone after its run (also
# on interruption), so run it on a tree whose files you are not editing; the
# build directory is rebuilt from the clean sources at the end. Tests that
# start a daemon run in a network namespace of their own when `unshare -n`
# is allowed, so a daemon already on the machine is not in the way.
set -uo pipefail
cd "$(dirname "$0")/.."

check_only=0
only=""
build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check_only=1 ;;
    --only) shift; only=${1:-} ;;
    -*) echo "usage: scripts/mutants.sh [--check] [--only REGEX] [build-dir]" >&2; exit 2 ;;
    *) build=$1 ;;
  esac
  shift
done

# One fault per block: the file, the exact text it changes (it must occur
# once), what it becomes, the CTest tests (a regular expression) that must
# catch it, and what the fault breaks. "\n" stands for a line break.
read -r -d '' MUTANTS <<'EOF'
file: cudart/error_state.cc
from: if (status != 0 && status != kRtNotReady) last_error_ = status;
to:   if (status != 0) last_error_ = status;
test: cudart_state_test
what: a query's not-ready answer becomes the last error

file: cudart/error_state.cc
from: return status == kRtIllegalAddress || status == 702 ||
to:   return status == 702 ||
test: cudart_state_test|cudart_e2e_test
what: an illegal address is not sticky

file: cudart/error_state.cc
from:   last_error_ = 0;\n  return last;
to:     return last;
test: cudart_state_test|cudart_e2e_test
what: cudaGetLastError does not reset the last error

file: cudart/error_state.cc
from: async_[gpu].exchange(0, std::memory_order_relaxed)
to:   async_[gpu].load(std::memory_order_relaxed)
test: cudart_state_test
what: a no-wait failure is reported by every later sync call

file: cudart/handle_table.cc
from:   handles_.erase(it);\n  return gpu;
to:     return gpu;
test: cudart_state_test|cudart_e2e_test
what: a destroyed stream or event stays usable

file: cudart/api_device.cc
from:   ErrorState::ClearGpu(gpu);
to:   
test: cudart_e2e_test
what: a reset leaves the GPU's sticky error in place

file: cudart/api_device.cc
from:   ModuleRegistry::Get().ForgetGpu(gpu);
to:   
test: cudart_e2e_test
what: modules are not shipped again after a reset

file: cudart/pinned_memory.cc
from: return p - it->first < it->second.size ? it : blocks_.end();
to:   return p - it->first <= it->second.size ? it : blocks_.end();
test: cudart_e2e_test
what: a range right after a registered one counts as registered

file: cudart/api_host.cc
from:   if ((flags & ~kServedRegisterFlags) != 0) return cudaErrorNotSupported;
to:   
test: cudart_e2e_test
what: I/O memory registration is accepted although no GPU can map it

file: cudart/device_props.cc
from:   info->attrs[cudaDevAttrHostRegisterSupported] = 1;
to:   
test: cudart_e2e_test
what: host registration is not claimed

file: cudart/api_function.cc
from:   if (resources.max_threads != 0) threads = std::min<int>(threads, static_cast<int>(resources.max_threads));
to:   
test: cudart_e2e_test
what: launch bounds do not bound a kernel's block

file: cudart/api_function.cc
from:   if (block_size > attr.maxThreadsPerBlock) {
to:     if (false) {
test: cudart_e2e_test
what: occupancy of a block larger than the kernel allows

file: cudart/host_callbacks.cc
from:   if (total_pending_.load(std::memory_order_seq_cst) == 0) return;\n  zantu::MutexLock lock(&mutex_);\n  while (Blocked(gpu, wire))
to:     return;\n  zantu::MutexLock lock(&mutex_);\n  while (Blocked(gpu, wire))
test: cudart_e2e_test
what: work queued behind a host function does not wait for it

file: cudart/copy_engine.cc
from: int status = CopyChunk(src_gpu, Word(staging.data()), src + done, n, kCopyDeviceToHost, src_wire, false);
to:   int status = CopyChunk(src_gpu, Word(staging.data()), src, n, kCopyDeviceToHost, src_wire, false);
test: cudart_e2e_test
what: a copy between GPUs reads its first chunk again and again

file: cudart/copy_engine.cc
from:   if (memory_gpu < 0 || memory_gpu == *gpu) return;
to:     return;
test: cudart_e2e_test
what: a copy goes to the current GPU, not to the GPU of its memory

file: cudart/cubin_info.cc
from: text->second.resources.registers = section.info >> 24;
to:   text->second.resources.registers = section.info >> 16;
test: cudart_e2e_test|cudart_fatbin_test
what: register counts read from the wrong bits

file: cudart/cubin_info.cc
from: if (shared != found.end()) shared->second.resources.shared_bytes = static_cast<uint32_t>(section.size);
to:   
test: cudart_fatbin_test|cudart_e2e_test
what: static shared memory is not read

file: node/backends/emulated_backend.cc
from:   if (!a->second.recorded || !b->second.recorded) return kRtInvalidResourceHandle;
to:   
test: node_runtime_test
what: the time between events that were never recorded

file: node/backends/emulated_backend.cc
from: return Find(pid)->gpus[gpu].events.erase(event) != 0 ? kRtSuccess : kRtInvalidResourceHandle;
to:   return Find(pid)->gpus[gpu].events.erase(event), kRtSuccess;
test: node_runtime_test
what: an event destroyed twice

file: node/worker/runtime_executor.cc
from:   handles_.ForgetGpu(call.gpu);
to:   
test: node_runtime_test
what: streams and events survive a device reset

file: node/backends/emulated_memory.cc
from: return it->second.pid == pid && offset < it->second.size && count <= it->second.size - offset;
to:   return it->second.pid == pid && offset < it->second.size;
test: node_runtime_test
what: a copy may run past the end of its allocation

file: node/backends/emulated_memory.cc
from:   auto it = allocations_.find(pointer);
to:     auto it = allocations_.lower_bound(pointer - 8);
test: node_runtime_test
what: a pointer just inside an allocation frees it

file: node/backends/emulated_backend.cc
from:     if (pointer == 0 || memory_[gpu]->Reaches(pid, pointer)) continue;
to:       continue;
test: tenancy_test|cudart_e2e_test
what: a kernel's pointer parameters are not checked

file: node/worker/runtime_executor.cc
from:   if (IsSticky(answer->result)) sticky_.emplace(gpu, answer->result);
to:   
test: node_runtime_test|cudart_e2e_test
what: a kernel's illegal address does not stick

file: node/worker/runtime_executor.cc
from:     sticky_.erase(gpu);\n    deferred_failure_.erase(gpu);
to:       deferred_failure_.erase(gpu);
test: cudart_e2e_test
what: a reset does not clear a sticky fault

file: node/front/client_dispatcher.cc
from:   if (gpu < 64 && (entry->lost_gpus >> gpu & 1) != 0) return entry->lost_result;
to:   
test: node_runtime_test|cudart_e2e_test
what: a GPU whose memory went with a worker serves as if nothing was lost
file: cudart/stream_capture.cc
from:     if (std::find(tail.begin(), tail.end(), node) == tail.end()) tail.push_back(node);
to:   
test: cudart_e2e_test
what: a stream that waits for a captured event does not join its work

file: cudart/stream_capture.cc
from:   it->second.capture->invalidated = true;\n  return cudaErrorStreamCaptureUnsupported;
to:     return cudaErrorStreamCaptureUnsupported;
test: cudart_e2e_test
what: waiting on a captured stream leaves the capture valid

file: cudart/api_graph.cc
from:     if (exec->origins[i] == node && exec->steps[i].type == type) return &exec->steps[i];
to:       if (exec->steps[i].type == type) return &exec->steps[i];
test: cudart_e2e_test
what: a change to one node of an executable graph lands on another

file: node/worker/runtime_executor.cc
from:   if (call.entry.argc < declared.argc) return kRtInvalidValue;
to:   
test: node_runtime_test
what: an entry with fewer argument words than its call declares is run
file: node/backends/emulated_backend.cc
from:     if (!ReachesPeer(client, pid, gpu, pointer)) return false;
to:       return false;
test: cudart_e2e_test
what: a kernel cannot reach a peer GPU's memory although access was enabled

file: node/worker/client_handles.cc
from:     if (stream ? !HasStream(gpu, word) : !HasEvent(gpu, word)) return false;
to:       if (!stream && !HasEvent(gpu, word)) return false;
test: node_runtime_test
what: a stream the client never made reaches the backend

file: node/backends/emulated_streams.cc
from:   if (!NeedsOrderGates(group, queue)) return;
to:     return;
test: emulated_streams_test
what: the legacy stream does not wait for blocking streams, nor they for it

file: node/backends/emulated_streams.cc
from:     if (target->finished < gate.count) {
to:       if (false) {
test: emulated_streams_test|cuda_samples_test
what: a stream waiting for an event runs on before the event is reached

file: node/backends/emulated_streams.cc
from:   return std::exchange(group->second.failure, 0);
to:     return group->second.failure;
test: emulated_streams_test|node_runtime_test
what: a failure met while queued work ran is reported again by every later synchronizing call

file: node/backends/emulated_backend.cc
from:   streams_.Drain(Id(pid, gpu, stream));\n  // The answer is sent
to:     // The answer is sent
test: node_runtime_test|cudart_e2e_test|cuda_samples_test
what: a copy to the host does not wait for its stream's kernels

file: node/backends/emulated_backend.cc
from:   streams_.DrainClient(pid);\n  return memory_[gpu]->Free(pid, pointer);
to:     return memory_[gpu]->Free(pid, pointer);
test: emulated_streams_test|node_runtime_test|cudart_e2e_test|cuda_samples_test
what: memory is freed while queued kernels still use it
file: cudart/copy_pitched.cc
from: static_cast<const char*>(src) + y * src_pitch,
to:   static_cast<const char*>(src) + y * dst_pitch,
test: cudart_fake_layer_test
what: a 2D copy steps through its source with the destination's pitch

file: cudart/copy_pitched.cc
from:   if (dst_pitch == width && src_pitch == width) {
to:     if (dst_pitch == width) {
test: cudart_fake_layer_test
what: a 2D copy with a tight destination is sent as one flat copy

file: cudart/copy_engine.cc
from:     const uint64_t n = std::min<uint64_t>(count - done, chunk);
to:       const uint64_t n = chunk;
test: cudart_fake_layer_test
what: the last chunk of a copy runs a whole chunk past its end
file: trellan/ring_writer.cc
from: (ow + size > hot_bytes_ && unread <= hot_bytes_) || ow + size > trellan::kWarmLapBytes;
to:   (ow + size > hot_bytes_ && unread <= hot_bytes_);
test: ring_buffer_test
what: a stream of large records marches through the whole ring, on fresh pages
EOF

# Applies or checks one fault with Python: exact, single occurrence.
apply() {  # mode file from to
  python3 - "$@" <<'PY'
import sys
mode, path, old, new = sys.argv[1:5]
old = old.replace("\\n", "\n")
new = new.replace("\\n", "\n")
text = open(path).read()
count = text.count(old)
if count != 1:
    print(f"{path}: the fault's text occurs {count} times", file=sys.stderr)
    sys.exit(1)
if mode == "apply":
    open(path, "w").write(text.replace(old, new, 1))
PY
}

netns=()
if unshare -n true 2>/dev/null; then
  netns=(unshare -n sh -c 'ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null; exec "$@"' sh)
fi

restore=""
cleanup() {
  if [ -n "$restore" ]; then cp "$restore.orig" "$restore" && rm -f "$restore.orig"; fi
  restore=""
}
trap 'cleanup; exit 130' INT TERM
trap cleanup EXIT

total=0
caught=0
stale=0
file="" from="" to="" test="" what=""
run_one() {
  if [ -n "$only" ] && ! grep -qE -- "$only" <<<"$what"; then return; fi
  total=$((total + 1))
  if ! apply check "$file" "$from" "$to"; then
    stale=$((stale + 1))
    echo "STALE   $file: $what"
    return
  fi
  [ "$check_only" = 1 ] && { echo "ok      $file: $what"; return; }
  cp "$file" "$file.orig"
  restore=$file
  apply apply "$file" "$from" "$to"
  local verdict
  if ! cmake --build "$build" -j"$(nproc)" >/tmp/zantu_mutant_build.log 2>&1; then
    verdict="NOBUILD"
  elif "${netns[@]}" ctest --test-dir "$build" -R "^($test)\$" --timeout 400 >/tmp/zantu_mutant_test.log 2>&1; then
    verdict="MISSED"
  else
    verdict="caught"
    caught=$((caught + 1))
  fi
  cleanup
  # A fault that does not build counts as missed: it names no real fault.
  echo "$verdict $(printf '%*s' $((8 - ${#verdict})) '') $file: $what"
}

while IFS= read -r line; do
  case "$line" in
    file:*) file=${line#file: } ;;
    from:*) from=${line#from: } ;;
    to:*) to=${line#to:}; to=${to# }; to=${to#  } ;;
    test:*) test=${line#test: } ;;
    what:*) what=${line#what: }; run_one ;;
  esac
done <<<"$MUTANTS"

if [ "$check_only" = 0 ]; then
  cmake --build "$build" -j"$(nproc)" >/tmp/zantu_mutant_build.log 2>&1 || echo "rebuilding $build from the clean sources failed" >&2
fi
[ "$stale" -eq 0 ] || echo "$stale faults no longer match their source: update them"
echo "caught $caught of $total"
