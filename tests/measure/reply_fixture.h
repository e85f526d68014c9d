#pragma once
// A 113-byte measurement reply built from register values, as the unit sends it.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "measure/register_block.h"
#include "modbus/crc.h"

namespace tagris::test {

class ReplyFixture {
 public:
  ReplyFixture() {
    bytes_[0] = 0x05;
    bytes_[1] = 0x03;
    bytes_[2] = 0x6C;
    Stamp();
  }
  ReplyFixture(std::initializer_list<std::pair<int, std::uint16_t>> regs) : ReplyFixture() { Set(regs); }

  ReplyFixture& Set(int n, std::uint16_t value) {
    bytes_[3 + 2 * n] = static_cast<std::uint8_t>(value >> 8);
    bytes_[4 + 2 * n] = static_cast<std::uint8_t>(value & 0xFF);
    Stamp();
    return *this;
  }
  ReplyFixture& Set(std::initializer_list<std::pair<int, std::uint16_t>> regs) {
    for (const auto& [n, v] : regs) Set(n, v);
    return *this;
  }

  const std::uint8_t* data() const { return bytes_.data(); }

 private:
  void Stamp() { StampCrc(bytes_); }
  std::array<std::uint8_t, kMeasurementReplyLength> bytes_{};
};

}  // namespace tagris::test
