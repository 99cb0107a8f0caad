// The smallest useful interposing layer: every call is sent as it is, with
// its arguments as the argument block, and answers need no handling. It
// drives the reference node's test module.
#pragma once

#include <cstdint>

#include <zantu/client/tovrel.h>
#include <zantu/common/api_numbers.h>

class PingLayer final : public CudaTovrel {
 public:
  PingLayer() { module_ = kModuleTest; }

  int32_t PrepareRequest(Request* request) override;
  void HandleResponse(Request* request, ResponseView* view) override;

  // Sends `value` to the current GPU's node, which echoes it. Returns the
  // call's status: 0, the node's status, or kTovrelFailure (999) when the
  // process is not registered with a daemon.
  int Ping(uint64_t value);
};
