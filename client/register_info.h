// What the process keeps of the daemon's registration reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/tovrel.h"

namespace tovrel {

// Decodes the reply datagram, `length` bytes at `reply`, into `*info` (the
// codec is common/registration_format.h). False, after logging why and with
// `*info` cleared, for a reply that is refused (see DecodeReply).
[[nodiscard]] bool DecodeRegisterInfo(const uint8_t* reply, size_t length, RegisterInfo* info);

}  // namespace tovrel
