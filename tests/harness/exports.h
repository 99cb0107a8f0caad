// What a shared library exports as the loader sees it, for the tests of our
// libraries' interfaces: the generated list of names they must export, and
// the names `nm -D` finds, each with the version node it lies under.
#pragma once

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace exports_test {

// One name per line; empty lines skipped.
inline std::set<std::string> ReadNames(const char* path) {
  std::ifstream in(path);
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) names.insert(line);
  }
  return names;
}

struct Exported {
  bool ok = false;             // nm ran and ended well
  bool node_defined = false;   // the version node's own symbol is there
  std::set<std::string> names;  // defined under the node
  std::set<std::string> outside;  // defined, but not under the node
};

// The defined dynamic symbols of `library`, sorted by whether they lie under
// version node `node` (the name@@node form).
inline Exported ExportedUnder(const std::string& library, const std::string& node) {
  Exported result;
  FILE* pipe = popen(("nm -D --defined-only " + library).c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 512> line;
  while (fgets(line.data(), line.size(), pipe) != nullptr) {
    char kind = 0;
    std::array<char, 400> name{};
    if (sscanf(line.data(), "%*s %c %399s", &kind, name.data()) != 2) continue;
    const std::string text(name.data());
    if (kind == 'A') {
      result.node_defined = result.node_defined || text == node;
      continue;
    }
    const size_t at = text.find("@@" + node);
    if (at == std::string::npos) {
      result.outside.insert(text);
    } else {
      result.names.insert(text.substr(0, at));
    }
  }
  result.ok = pclose(pipe) == 0;
  return result;
}

}  // namespace exports_test
