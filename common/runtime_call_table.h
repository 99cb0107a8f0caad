// Every runtime call that travels to a node, declared once: its argument
// words, how our runtime library may send it, and whether it synchronizes
// (reports the deferred failure). Everything else is derived from this
// table: the library's sends are checked against it at compile time
// (cudart/runtime_layer.h Send), the node's executor takes its argument
// counts, its synchronizing rule and its dispatch from it (each call has a
// handler RuntimeExecutor::On_<name>, or the node does not build), and
// unknown or unserved function numbers are refused in one place.
//
// Adding a call:
//   1. append its name to ZANTU_RUNTIME_API (common/api_numbers.h; wire
//      numbers never change);
//   2. declare it below: argument words (named in the comment column, in
//      order), travel, sync, the words that name streams and events; data
//      and answer in the comment column;
//   3. send it from its entry point in cudart/ with Layer().Send<k_name>;
//   4. write RuntimeExecutor::On_name (node/worker/) decoding the words
//      into a GpuBackend call;
//   5. implement that GpuBackend method in both backends.
#pragma once

#include <array>
#include <cstdint>

#include "common/api_numbers.h"

// How an entry may travel (a set of these bits).
enum CallTravel : uint8_t {
  kTravelWaits = 1,     // the caller waits for its answer
  kTravelNoWait = 2,    // written at once; a failure comes with the next sync call
  kTravelDeferred = 4,  // rides in the thread's next record
  // A module's registrations: deferred, the last of them written at once.
  kShipping = kTravelDeferred | kTravelNoWait,
};

// Which argument words name one of the client's streams or events (bit i:
// word i). The node checks them against the handles the client has made,
// once, before any backend sees them; the calls that make a handle name it
// without the bit.
struct HandleArgs {
  uint16_t streams = 0;
  uint16_t events = 0;
};
constexpr HandleArgs kNoHandles{};
constexpr HandleArgs StreamAt(int word) { return HandleArgs{static_cast<uint16_t>(1u << word), 0}; }
constexpr HandleArgs EventAt(int word) { return HandleArgs{0, static_cast<uint16_t>(1u << word)}; }
constexpr HandleArgs operator+(HandleArgs a, HandleArgs b) {
  return HandleArgs{static_cast<uint16_t>(a.streams | b.streams), static_cast<uint16_t>(a.events | b.events)};
}

// X(name, argument words, travel, synchronizes, handles)
//   name                     words  travel                          sync  handles  arguments; data; answer
#define ZANTU_RUNTIME_CALLS(X)                                                                                   \
  X(cudaGetDeviceProperties, 0, kTravelWaits, false, kNoHandles)            /* -; -; DeviceInfo */                \
  X(cudaDeviceSynchronize, 0, kTravelWaits, true, kNoHandles)               /* -; -; - */                         \
  X(cudaDeviceReset, 0, kTravelWaits, false, kNoHandles)                    /* -; -; - (frees all on the GPU) */  \
  X(cudaMalloc, 1, kTravelWaits, false, kNoHandles)                         /* size; -; u64 pointer */            \
  X(cudaFree, 1, kTravelDeferred, false, kNoHandles)                        /* pointer */                         \
  X(cudaMemcpy, 5, kTravelWaits | kTravelNoWait, true, StreamAt(4))         /* dst, src, count, kind, stream;     \
                                                                               H2D: count bytes; D2H: count bytes */ \
  X(cudaMemcpyAsync, 5, kTravelNoWait | kTravelDeferred, false, StreamAt(4)) /* as cudaMemcpy */                  \
  X(cudaMemset, 4, kTravelDeferred, false, StreamAt(3))                     /* dst, value, count, stream */       \
  X(cudaMemsetAsync, 4, kTravelDeferred, false, StreamAt(3))                /* dst, value, count, stream */       \
  X(cudaMemGetInfo, 0, kTravelWaits, true, kNoHandles)                      /* -; -; u64 free, u64 total */       \
  X(cudaStreamCreate, 2, kTravelDeferred, false, kNoHandles)                /* stream (new), flags */             \
  X(cudaStreamDestroy, 1, kTravelDeferred, false, StreamAt(0))              /* stream */                          \
  X(cudaStreamSynchronize, 1, kTravelWaits, true, StreamAt(0))              /* stream */                          \
  X(cudaStreamWaitEvent, 3, kTravelDeferred, false, StreamAt(0) + EventAt(1)) /* stream, event, flags */          \
  X(cudaEventCreate, 2, kTravelDeferred, false, kNoHandles)                 /* event (new), flags */              \
  X(cudaEventRecord, 2, kTravelDeferred | kTravelNoWait, false, EventAt(0) + StreamAt(1)) /* event, stream */     \
  X(cudaEventSynchronize, 1, kTravelWaits, true, EventAt(0))                /* event */                           \
  X(cudaEventElapsedTime, 2, kTravelWaits, true, EventAt(0) + EventAt(1))   /* start, end; -; f32 milliseconds */ \
  X(cudaEventDestroy, 1, kTravelDeferred, false, EventAt(0))                /* event */                           \
  X(cudaLaunchKernel, 9, kTravelDeferred, false, StreamAt(8))               /* function, grid x y z, block x y z, \
                                                                               shared, stream; packed parameters */ \
  X(cudaDriverGetVersion, 0, kTravelWaits, false, kNoHandles)               /* -; -; i32 version */               \
  X(cudaStreamQuery, 1, kTravelWaits, true, StreamAt(0))                    /* stream; -; result 0 or kNotReady */ \
  X(cudaEventQuery, 1, kTravelWaits, true, EventAt(0))                      /* event; -; result 0 or kNotReady */ \
  X(cudaGetSymbolAddress, 1, kTravelWaits, false, kNoHandles)               /* variable; -; u64 pointer */        \
  X(zantuModuleLoad, 1, kShipping, false, kNoHandles)                       /* module; the fat binary image */    \
  X(zantuFunctionRegister, 2, kShipping, false, kNoHandles)                 /* module, function; mangled name */  \
  X(zantuVarRegister, 3, kShipping, false, kNoHandles)                      /* module, variable, size; name */    \
  X(zantuModuleUnload, 1, kShipping, false, kNoHandles)                     /* module */                          \
  X(cudaDeviceEnablePeerAccess, 1, kTravelWaits, false, kNoHandles)         /* the peer's GPU index on the node */ \
  X(cudaDeviceDisablePeerAccess, 1, kTravelWaits, false, kNoHandles)        /* the peer's GPU index on the node */

struct RuntimeCallDeclaration {
  bool served = false;  // declared above; anything else is answered kNotSupported
  uint32_t argc = 0;
  uint8_t travel = 0;
  bool sync = false;
  HandleArgs handles;
};

namespace runtime_call_table {

constexpr std::array<RuntimeCallDeclaration, kRuntimeApiCount> Build() {
  std::array<RuntimeCallDeclaration, kRuntimeApiCount> declarations{};
#define ZANTU_RUNTIME_CALL_DECLARATION(name, argc, travel, sync, handles) \
  declarations[k_##name] = RuntimeCallDeclaration{true, argc, travel, sync, handles};
  ZANTU_RUNTIME_CALLS(ZANTU_RUNTIME_CALL_DECLARATION)
#undef ZANTU_RUNTIME_CALL_DECLARATION
  return declarations;
}

inline constexpr std::array<RuntimeCallDeclaration, kRuntimeApiCount> kDeclarations = Build();

// Every handle bit names an argument word, and no word is both kinds.
constexpr bool HandlesNameArguments() {
  for (const RuntimeCallDeclaration& d : kDeclarations) {
    const uint32_t words = d.handles.streams | d.handles.events;
    if ((words >> d.argc) != 0 || (d.handles.streams & d.handles.events) != 0) return false;
  }
  return true;
}
static_assert(HandlesNameArguments(), "a handle column names a word the call does not have");

}  // namespace runtime_call_table

// The declaration of function `api`; an unserved one for any other number.
constexpr RuntimeCallDeclaration DeclarationOf(uint32_t api) {
  return api < kRuntimeApiCount ? runtime_call_table::kDeclarations[api] : RuntimeCallDeclaration{};
}
