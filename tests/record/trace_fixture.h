#pragma once
// Measurement replies and their receive trace texts, written out independently of
// the code under test.
#include <cstdio>
#include <string>
#include <vector>

namespace tagris::test {

// 113 bytes: 05 03 6C, a byte pattern, register 36 as given.
inline std::vector<unsigned char> MeasurementReply(unsigned reg36) {
  std::vector<unsigned char> r(113);
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<unsigned char>(i * 37 + 11);
  r[0] = 0x05;
  r[1] = 0x03;
  r[2] = 0x6C;
  r[75] = static_cast<unsigned char>(reg36 >> 8);
  r[76] = static_cast<unsigned char>(reg36 & 0xFF);
  return r;
}

inline std::string ReceiveTrace(const std::vector<unsigned char>& reply) {
  std::string t = "-->";
  char group[8];
  for (unsigned char b : reply) {
    std::snprintf(group, sizeof group, " 0x%02X", b);
    t += group;
  }
  return t + "<---";
}

}  // namespace tagris::test
