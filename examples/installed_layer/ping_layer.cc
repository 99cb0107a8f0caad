#include "ping_layer.h"

// The argument block is the whole payload: nothing to add or rewrite.
int32_t PingLayer::PrepareRequest(Request*) { return 0; }

// The caller wants only the status, which Dispatch returns.
void PingLayer::HandleResponse(Request*, ResponseView*) {}

int PingLayer::Ping(uint64_t value) { return Dispatch(k_testEcho, 1, value); }
