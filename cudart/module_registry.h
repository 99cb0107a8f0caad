// The device code a program registers at start-up (fat binaries, kernels,
// device variables) and where it has been shipped. A module is shipped to a
// node once, right before the first entry that needs it on that node: the
// image, then its kernels and variables, written before that entry.
//
// Functions, variables and modules are numbered here, once per process; the
// numbers travel on the wire. Objects live until the process ends (a
// program may launch from another thread while it unregisters at exit).
//
// Thread safety: all members may be called at once. mutex_ guards the maps
// and the counters; ship_mutex_ serialises shipping, so that an entry of
// another thread that finds a module shipped is written after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/thread_annotations.h"
#include "common/registration.h"
#include "cudart/kernel_layout.h"

namespace cudart {

struct Module;

struct Function {
  uint64_t id;
  Module* module;
  std::string name;  // mangled
  bool has_layout;   // false when the fat binary told nothing of it
  KernelLayout layout;
  // cudaFuncSetAttribute's settings; -1 while unset.
  std::atomic<int32_t> max_dynamic_shared{-1};
  std::atomic<int32_t> shared_carveout{-1};
};

struct Variable {
  uint64_t id;
  Module* module;
  std::string name;  // as the device code names it
  uint64_t size;
  std::atomic<uint64_t> address[kMaxGpus];  // learnt per process GPU; 0 until then
};

struct Module {
  uint64_t id;
  // The program's own fat binary; null once unregistered (its library may be
  // unloaded). Guarded by ModuleRegistry::mutex_ after registration.
  const uint8_t* image;
  uint64_t image_size;
  KernelLayouts layouts;  // from the cubins; from the PTX too once ptx_read
  bool ptx_read = false;  // guarded by ModuleRegistry::mutex_
  std::vector<Function*> functions;  // guarded by ModuleRegistry::mutex_
  std::vector<Variable*> variables;  // guarded by ModuleRegistry::mutex_
  // Bit n: shipped to node n. Release after the shipping entries are
  // written, acquire by every entry that relies on them.
  std::atomic<uint64_t> shipped_nodes{0};
};

class ModuleRegistry {
 public:
  static ModuleRegistry& Get();

  // __cudaRegisterFatBinary: the module of a fat binary wrapper, or null for
  // an image that cannot be read.
  Module* RegisterFatBinary(const void* wrapper);
  void RegisterFunction(Module* module, const void* host_function, const char* device_name);
  void RegisterVariable(Module* module, const void* host_variable, const char* device_name, uint64_t size);
  // __cudaUnregisterFatBinary: the module's host addresses may be reused by
  // another library from now on, and its image may go away. Nothing is sent:
  // at process exit this runs after the thread contexts are gone, and the
  // nodes free a client's modules when it exits.
  void Unregister(Module* module);

  // Null when the host address was never registered.
  Function* FindFunction(const void* host_function) const;
  Variable* FindVariable(const void* host_variable) const;

  // cudaDeviceReset: variable addresses learnt for `gpu` are stale, and
  // every module ships again to its node before it is used there (the reset
  // may have given the client a new worker, which has none; shipping a
  // module again changes nothing for a worker that has it).
  void ForgetGpu(int gpu) EXCLUDES(ship_mutex_, mutex_);

  // Makes sure `module` is on the node of process GPU `gpu`, shipping it
  // from this thread if it is not. Returns a runtime status.
  int EnsureShipped(Module* module, int gpu) EXCLUDES(ship_mutex_);

 private:
  ModuleRegistry() = default;
  int Ship(Module* module, int gpu) REQUIRES(ship_mutex_) EXCLUDES(mutex_);

  mutable zantu::Mutex mutex_;
  std::unordered_map<const void*, Function*> functions_ GUARDED_BY(mutex_);
  std::unordered_map<const void*, Variable*> variables_ GUARDED_BY(mutex_);
  uint64_t next_module_ GUARDED_BY(mutex_) = 1;
  uint64_t next_function_ GUARDED_BY(mutex_) = 1;
  uint64_t next_variable_ GUARDED_BY(mutex_) = 1;

  // Held while a module is shipped, so that it goes to each node once.
  zantu::Mutex ship_mutex_ ACQUIRED_BEFORE(mutex_);
};

}  // namespace cudart
