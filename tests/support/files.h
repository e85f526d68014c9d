#pragma once
// Whole files as bytes, for tests that compare what the program wrote byte for byte.
#include <fstream>
#include <sstream>
#include <string>

namespace tagris::test {

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace tagris::test
