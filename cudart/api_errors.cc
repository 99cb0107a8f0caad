// Entry points: names and texts of error codes. Texts are made from the
// names ("cudaErrorInvalidValue" reads "invalid value").
#include <cctype>
#include <string>
#include <unordered_map>

#include "cudart/api_common.h"

namespace {

struct ErrorName {
  int code;
  const char* name;
};

constexpr ErrorName kErrorNames[] = {
#define ZANTU_ERROR_NAME(name) {name, #name},
#include "cudart/error_names.inc"
#undef ZANTU_ERROR_NAME
};

std::string TextOf(const std::string& name) {
  static const std::string kPrefix = "cudaError";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return "no error";
  std::string text;
  for (size_t i = kPrefix.size(); i < name.size(); ++i) {
    const char c = name[i];
    if (std::isupper(static_cast<unsigned char>(c)) && !text.empty() &&
        !std::isupper(static_cast<unsigned char>(name[i - 1]))) {
      text += ' ';
    }
    text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

const ErrorName* Find(int code) {
  for (const ErrorName& e : kErrorNames) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

const std::unordered_map<int, std::string>& Texts() {
  // Never destroyed: a program may ask while static objects are torn down.
  static const auto* const texts = [] {
    auto* t = new std::unordered_map<int, std::string>();
    for (const ErrorName& e : kErrorNames) (*t)[e.code] = TextOf(e.name);
    return t;
  }();
  return *texts;
}

}  // namespace

extern "C" {

const char* cudaGetErrorName(cudaError_t error) {
  const ErrorName* e = Find(error);
  return e == nullptr ? "cudaErrorUnknown" : e->name;
}

const char* cudaGetErrorString(cudaError_t error) {
  auto it = Texts().find(error);
  return it == Texts().end() ? "unrecognized error code" : it->second.c_str();
}

}  // extern "C"
