// Entry points: names and texts of error codes. Texts are made from the
// names ("cudaErrorInvalidValue" reads "invalid value").
#include <cctype>
#include <string>
#include <unordered_map>

#include "cudart/api_common.h"

namespace {

struct ErrorTexts {
  std::unordered_map<int, std::string> names;
  std::unordered_map<int, std::string> texts;
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

const ErrorTexts& Texts() {
  // Never destroyed: a program may ask while static objects are torn down.
  static const ErrorTexts* const texts = [] {
    auto* t = new ErrorTexts();
#define ZANTU_ERROR_NAME(name)  \
  t->names[name] = #name;       \
  t->texts[name] = TextOf(#name);
#include "cudart/error_names.inc"
#undef ZANTU_ERROR_NAME
    return t;
  }();
  return *texts;
}

}  // namespace

extern "C" {

const char* cudaGetErrorName(cudaError_t error) {
  const auto& names = Texts().names;
  auto it = names.find(error);
  return it == names.end() ? "cudaErrorUnknown" : it->second.c_str();
}

const char* cudaGetErrorString(cudaError_t error) {
  const auto& texts = Texts().texts;
  auto it = texts.find(error);
  return it == texts.end() ? "unrecognized error code" : it->second.c_str();
}

}  // extern "C"
