#include "ping_layer.h"

int32_t PingLayer::PrepareRequest(Request* request) { return 0; }

void PingLayer::HandleResponse(Request* request, ResponseView* view) {}

int PingLayer::Ping(uint64_t value) { return Dispatch(k_testEcho, 1, value); }
