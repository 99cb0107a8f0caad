#include "cudart/module_registry.h"

#include <iterator>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/runtime_calls.h"
#include "cudart/fatbin.h"
#include "cudart/runtime_layer.h"

namespace cudart {

ModuleRegistry& ModuleRegistry::Get() {
  static ModuleRegistry* const registry = new ModuleRegistry();  // lives until the process ends
  return *registry;
}

Module* ModuleRegistry::RegisterFatBinary(const void* wrapper) {
  const uint8_t* image = nullptr;
  uint64_t size = 0;
  if (!FatBinary::FromWrapper(wrapper, &image, &size) || size > kMaxModuleImage) {
    ZANTU_ERROR("registered fat binary at %p is not one this library can read", wrapper);
    return nullptr;
  }
  auto* module = new Module();
  module->image = image;
  module->image_size = size;
  std::string error;
  if (!FatBinary::ReadLayouts(image, size, &module->layouts, &error)) {
    // Its kernels cannot be launched; the program still starts.
    ZANTU_ERROR("fat binary at %p: %s", wrapper, error.c_str());
  }
  zantu::MutexLock lock(&mutex_);
  module->id = next_module_++;
  return module;
}

void ModuleRegistry::RegisterFunction(Module* module, const void* host_function, const char* device_name) {
  if (module == nullptr || device_name == nullptr) return;
  auto* function = new Function();
  function->module = module;
  function->name = device_name;
  zantu::MutexLock lock(&mutex_);
  auto it = module->layouts.find(function->name);
  if (it == module->layouts.end() && !module->ptx_read && module->image != nullptr) {
    // Built for a virtual architecture only: the PTX says it. Read once, and
    // only for modules that need it.
    module->ptx_read = true;
    std::string error;
    if (!FatBinary::ReadLayouts(module->image, module->image_size, &module->layouts, &error, true)) {
      ZANTU_ERROR("fat binary of %s: %s", device_name, error.c_str());
    }
    it = module->layouts.find(function->name);
  }
  function->has_layout = it != module->layouts.end();
  if (function->has_layout) {
    function->layout = it->second;
  } else {
    ZANTU_ERROR("kernel %s has no parameter layout in its fat binary", device_name);
  }
  function->id = next_function_++;
  module->functions.push_back(function);
  functions_[host_function] = function;
}

void ModuleRegistry::RegisterVariable(Module* module, const void* host_variable, const char* device_name,
                                      uint64_t size) {
  if (module == nullptr || device_name == nullptr) return;
  auto* variable = new Variable();
  variable->module = module;
  variable->name = device_name;
  variable->size = size;
  for (auto& address : variable->address) address.store(0, std::memory_order_relaxed);
  zantu::MutexLock lock(&mutex_);
  variable->id = next_variable_++;
  module->variables.push_back(variable);
  variables_[host_variable] = variable;
}

void ModuleRegistry::Unregister(Module* module) {
  if (module == nullptr) return;
  zantu::MutexLock lock(&mutex_);
  for (auto it = functions_.begin(); it != functions_.end();) {
    it = it->second->module == module ? functions_.erase(it) : std::next(it);
  }
  for (auto it = variables_.begin(); it != variables_.end();) {
    it = it->second->module == module ? variables_.erase(it) : std::next(it);
  }
  module->image = nullptr;
  module->image_size = 0;
}

Function* ModuleRegistry::FindFunction(const void* host_function) const {
  zantu::MutexLock lock(&mutex_);
  auto it = functions_.find(host_function);
  return it == functions_.end() ? nullptr : it->second;
}

Variable* ModuleRegistry::FindVariable(const void* host_variable) const {
  zantu::MutexLock lock(&mutex_);
  auto it = variables_.find(host_variable);
  return it == variables_.end() ? nullptr : it->second;
}

void ModuleRegistry::ForgetGpu(int gpu) {
  RuntimeLayer& layer = RuntimeLayer::Get();
  if (gpu < 0 || gpu >= layer.gpu_count()) return;
  const uint64_t bit = uint64_t{1} << layer.node_of(gpu);
  zantu::MutexLock ship(&ship_mutex_);
  zantu::MutexLock lock(&mutex_);
  for (auto& [host, variable] : variables_) {
    variable->address[gpu].store(0, std::memory_order_release);
    variable->module->shipped_nodes.fetch_and(~bit, std::memory_order_acq_rel);
  }
  for (auto& [host, function] : functions_) function->module->shipped_nodes.fetch_and(~bit, std::memory_order_acq_rel);
}

int ModuleRegistry::EnsureShipped(Module* module, int gpu) {
  RuntimeLayer& layer = RuntimeLayer::Get();
  if (gpu < 0 || gpu >= layer.gpu_count()) return kRtInvalidDevice;
  const uint64_t bit = uint64_t{1} << layer.node_of(gpu);
  if ((module->shipped_nodes.load(std::memory_order_acquire) & bit) != 0) return kRtSuccess;
  zantu::MutexLock lock(&ship_mutex_);
  if ((module->shipped_nodes.load(std::memory_order_acquire) & bit) != 0) return kRtSuccess;
  const int status = Ship(module, gpu);
  if (status == kRtSuccess) module->shipped_nodes.fetch_or(bit, std::memory_order_release);
  return status;
}

int ModuleRegistry::Ship(Module* module, int gpu) {
  struct Entry {
    uint32_t api;
    uint64_t args[3];
    std::string data;
  };
  std::vector<Entry> entries;
  {
    zantu::MutexLock lock(&mutex_);
    if (module->image == nullptr) return kRtInvalidKernelImage;  // unregistered before it was needed here
    entries.push_back(Entry{k_zantuModuleLoad, {module->id, 0, 0},
                            std::string(reinterpret_cast<const char*>(module->image), module->image_size)});
    for (const Function* f : module->functions) {
      entries.push_back(Entry{k_zantuFunctionRegister, {module->id, f->id, 0}, f->name});
    }
    for (const Variable* v : module->variables) {
      entries.push_back(Entry{k_zantuVarRegister, {module->id, v->id, v->size}, v->name});
    }
  }
  // All but the last ride deferred; the last is written at once, taking the
  // others with it, so every later entry of any thread follows them.
  RuntimeLayer& layer = RuntimeLayer::Get();
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry& e = entries[i];
    CallPlan plan;
    plan.mode = i + 1 < entries.size() ? CallMode::kDeferred : CallMode::kNoWait;
    plan.owned = &e.data;
    plan.sink.gpu = gpu;
    const int status = layer.Call(gpu, plan, e.api, DeclarationOf(e.api).argc, e.args[0], e.args[1], e.args[2]);
    if (status != 0) return status;
  }
  return kRtSuccess;
}

}  // namespace cudart
