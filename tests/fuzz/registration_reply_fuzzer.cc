// The client's reading of the daemon's registration reply, and of
// CUDA_VISIBLE_DEVICES applied to what it decoded. Input: the reply datagram
// (at most kMaxReplySize bytes, as the client receives it); what follows the
// reply's own length is used as the variable's text.
//
// The codec is common/registration_format.h; what the client makes of its
// result is client/register_info.h.
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/register_info.h"
#include "client/visible_devices.h"
#include "common/registration_format.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxReplySize) return 0;  // the receive buffer holds no more
  // A copy of exactly `size` bytes, so a read past the datagram is caught.
  std::unique_ptr<uint8_t[]> reply(new uint8_t[size]);
  if (size > 0) std::memcpy(reply.get(), data, size);
  RegisterInfo info;
  if (!tovrel::DecodeRegisterInfo(reply.get(), size, &info)) return 0;

  // Whatever decodes encodes back to the same bytes, but for the key's NUL.
  RegistrationReply decoded;
  std::string why;
  if (!DecodeReply(reply.get(), size, &decoded, &why)) std::abort();
  std::vector<uint8_t> encoded;
  if (!EncodeReply(decoded, &encoded)) std::abort();
  if (encoded.size() != ReplySize(info.gpu_count, info.node_count)) std::abort();
  if (std::memcmp(encoded.data(), data, kKeyChars) != 0) std::abort();
  if (std::memcmp(encoded.data() + kKeySize, data + kKeySize, encoded.size() - kKeySize) != 0) std::abort();

  if (info.gpu_count > kMaxGpus || info.node_count > kMaxNodes) std::abort();
  const size_t used = ReplySize(info.gpu_count, info.node_count);
  if (used > size || info.key[kKeySize - 1] != '\0') std::abort();
  if (std::memcmp(info.key, data, kKeyChars) != 0) std::abort();

  std::set<std::pair<uint32_t, uint32_t>> table;
  for (uint32_t k = 0; k < info.gpu_count; ++k) table.emplace(info.gpu_indexes[k], info.gpu_nodes[k]);
  const uint32_t before = info.gpu_count;
  const std::string visible(reinterpret_cast<const char*>(data) + used, size - used);
  tovrel::ApplyVisibleDevices(visible.c_str(), &info);
  // Narrowing only selects GPUs of the table, never more than there were
  // values, never an empty table.
  if (info.gpu_count == 0 && before != 0) std::abort();
  if (info.gpu_count > kMaxGpus) std::abort();
  for (uint32_t k = 0; k < info.gpu_count; ++k) {
    if (table.count({info.gpu_indexes[k], info.gpu_nodes[k]}) == 0) std::abort();
  }
  return 0;
}
