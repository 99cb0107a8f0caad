#include "cudart/device_cache.h"

#include "common/api_numbers.h"
#include "cudart/device_props.h"
#include "cudart/runtime_layer.h"

namespace cudart {

DeviceCache& DeviceCache::Get() {
  static DeviceCache* const cache = new DeviceCache();  // lives until the process ends
  return *cache;
}

int DeviceCache::Info(int gpu, DeviceInfo* info) {
  RuntimeLayer& layer = RuntimeLayer::Get();
  if (gpu < 0 || gpu >= layer.gpu_count()) return kRtInvalidDevice;
  zantu::MutexLock lock(&mutex_);
  if (!known_[gpu]) {
    DeviceInfo fresh{};
    CallPlan plan;
    plan.sink = AnswerSink{&fresh, sizeof(fresh), gpu};
    const int status = layer.Send<k_cudaGetDeviceProperties>(gpu, plan);
    if (status != 0) return status;
    fresh.name[sizeof(fresh.name) - 1] = '\0';
    WithdrawUnserved(&fresh);
    infos_[gpu] = fresh;
    known_[gpu] = true;
  }
  *info = infos_[gpu];
  return kRtSuccess;
}

int DeviceCache::DriverVersion(int* version) {
  RuntimeLayer& layer = RuntimeLayer::Get();
  zantu::MutexLock lock(&mutex_);
  if (!driver_known_) {
    int32_t answer = 0;
    if (layer.gpu_count() > 0) {
      CallPlan plan;
      plan.sink = AnswerSink{&answer, sizeof(answer), 0};
      const int status = layer.Send<k_cudaDriverGetVersion>(0, plan);
      if (status != 0) return status;
    }
    // Without a GPU there is no driver to ask: the runtime then says 0.
    driver_version_ = answer;
    driver_known_ = true;
  }
  *version = driver_version_;
  return kRtSuccess;
}

}  // namespace cudart
