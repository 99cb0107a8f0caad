// The burst of scale_bench's clients that run on the library: loaded by a
// client in which libtovrel is loaded and registered already, it sends
// synchronous echoes on the sample layer, so that they travel through both of
// the client's rings as any call's bytes do.
#include <cstdint>
#include <string>

#include "examples/sample_layer.h"

// `echoes` echoes of `bytes` bytes each; 0 when every one came back whole.
extern "C" __attribute__((visibility("default"))) int ScaleBurst(uint64_t bytes, int echoes) {
  static sample::SampleLayer* const layer = new sample::SampleLayer();  // lives as long as the process
  const std::string data(bytes, 'b');
  std::string back(bytes, '\0');
  for (int i = 0; i < echoes; ++i) {
    if (layer->Echo(data.data(), data.size(), back.data(), back.size()) != 0 || back != data) return 1;
  }
  return 0;
}
