#pragma once
// The moisture meter as a Modbus RTU slave: 54 holding registers, read with
// function 0x03 and partly written with function 0x06. No I/O here; the byte
// stream and the line belong to FrameAssembler and Simulator.
#include <array>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace tagris::unitsim {

inline constexpr int kRegisterCount = 54;
inline constexpr std::size_t kRequestLength = 8;
inline constexpr std::size_t kPollReplyLength = 113;  // 3 + 2 * 54 + 2

// Register numbers the tool reads or writes.
namespace reg {
inline constexpr int kSerialSettings = 0;
inline constexpr int kFirstGrade = 2;       // channel k in register k + 1
inline constexpr int kFirstSalinity = 18;   // channel k in register k + 17
inline constexpr int kActiveChannel = 33;
inline constexpr int kMoisture = 36;
inline constexpr int kMoistureUnlimited = 37;
inline constexpr int kTemperature = 38;
inline constexpr int kMedium = 39;
inline constexpr int kOffset = 40;
inline constexpr int kYmaxOp = 41;
inline constexpr int kXmaxOp = 42;
inline constexpr int kPolOp = 43;
inline constexpr int kYmax = 44;
inline constexpr int kXmax = 45;
inline constexpr int kPol = 46;
inline constexpr int kMarker = 47;
inline constexpr int kDac = 48;
inline constexpr int kAddress = 49;
inline constexpr int kMixTemperature = 50;
}  // namespace reg

// Modbus exception codes a slave answers with.
inline constexpr std::uint8_t kIllegalFunction = 0x01;
inline constexpr std::uint8_t kIllegalDataAddress = 0x02;
inline constexpr std::uint8_t kIllegalDataValue = 0x03;
inline constexpr std::uint8_t kServerDeviceFailure = 0x04;

// How the unit treats function 0x06 writes addressed to it. Anything but Apply
// holds for every write, valid or not, as a write-protected unit would.
enum class WritePolicy {
  Apply,   // store and echo the request
  Refuse,  // answer with an exception (the refuse code), store nothing
  Ignore,  // echo the request but store nothing: a checked write finds the old value
  Silent,  // no answer, store nothing
};

struct ModelOptions {
  std::uint8_t address = 5;        // 1..127
  bool followAddressWrites = true; // a write to register 49 moves the slave to the new address
  bool negativeTemperature = false;  // let the temperature drift below 0 C (two's complement)
  std::uint32_t seed = 1;
  std::uint16_t serialSettings = 4;  // register 0: 9600, no parity, one stop bit
  WritePolicy writePolicy = WritePolicy::Apply;
  // Default 04 (server device failure): the write was understood but not carried out;
  // 01 to 03 would claim the request itself was wrong.
  std::uint8_t refuseCode = kServerDeviceFailure;
};

class UnitModel {
 public:
  enum class Outcome {
    Ignored,    // bad CRC, another slave's address, or a broadcast read: a slave stays silent
    Read,       // function 0x03 answered with the registers
    Write,      // function 0x06 applied and echoed
    Broadcast,  // function 0x06 to address 0 applied, no answer by Modbus rule
    Exception,  // answered with function | 0x80 and an exception code
    Refused,    // a write answered with the refuse code by WritePolicy::Refuse (nothing for a broadcast)
    Echoed,     // a write echoed (not for a broadcast) but not stored, by WritePolicy::Ignore
    Dropped,    // a write neither answered nor stored, by WritePolicy::Silent
  };
  struct Answer {
    Outcome outcome = Outcome::Ignored;
    std::vector<std::uint8_t> reply;  // empty when nothing is sent back
    int writtenRegister = -1;         // for Write and Broadcast
  };

  explicit UnitModel(const ModelOptions& options = {});

  // Handles one complete request frame (CRC included).
  Answer Handle(std::span<const std::uint8_t> request);

  // One slow step of the measured values (moisture, temperatures, peak, raw counts).
  void Drift();

  std::uint8_t Address() const { return address_; }
  std::uint16_t Register(int n) const { return registers_.at(static_cast<std::size_t>(n)); }
  void SetRegister(int n, std::uint16_t value) { registers_.at(static_cast<std::size_t>(n)) = value; }
  const std::array<std::uint16_t, kRegisterCount>& Registers() const { return registers_; }

  static bool IsWritable(int n);

  void SetWritePolicy(WritePolicy policy, std::uint8_t refuseCode = kServerDeviceFailure) {
    writePolicy_ = policy;
    refuseCode_ = refuseCode;
  }
  WritePolicy GetWritePolicy() const { return writePolicy_; }

  // The reply to a read of `count` registers from `first`, CRC stamped.
  std::vector<std::uint8_t> BuildReadReply(int first, int count) const;
  // An exception answer from `address`, CRC stamped.
  static std::vector<std::uint8_t> ExceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code);

 private:
  Answer Read(std::span<const std::uint8_t> request);
  Answer Write(std::span<const std::uint8_t> request, bool broadcast);
  void DeriveFromMeasurement();

  std::array<std::uint16_t, kRegisterCount> registers_{};
  std::uint8_t address_;
  bool followAddressWrites_;
  bool negativeTemperature_;
  WritePolicy writePolicy_;
  std::uint8_t refuseCode_;
  std::mt19937 random_;
  // The drifting values in engineering units; the registers are derived from them.
  double moisture_ = 1.2;      // percent
  double temperature_ = 27.0;  // degrees Celsius
};

// Two's complement of a signed value in a 16-bit register.
std::uint16_t ToRegister(int value);

}  // namespace tagris::unitsim
