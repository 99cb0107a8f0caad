#include "client/register_info.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/registration_format.h"

namespace tovrel {

bool DecodeRegisterInfo(const uint8_t* reply, size_t length, RegisterInfo* info) {
  *info = RegisterInfo{};
  RegistrationReply decoded;
  std::string why;
  if (!DecodeReply(reply, length, &decoded, &why)) {
    ZANTU_ERROR("registration reply refused: %s", why.c_str());
    return false;
  }
  std::memcpy(info->key, decoded.key.data(), kKeyChars);  // the NUL stays
  info->gpu_count = static_cast<uint32_t>(decoded.gpu_indexes.size());
  std::copy(decoded.gpu_indexes.begin(), decoded.gpu_indexes.end(), info->gpu_indexes);
  std::copy(decoded.gpu_nodes.begin(), decoded.gpu_nodes.end(), info->gpu_nodes);
  info->node_count = static_cast<uint32_t>(decoded.nodes.size());
  std::copy(decoded.nodes.begin(), decoded.nodes.end(), info->nodes);
  return true;
}

}  // namespace tovrel
