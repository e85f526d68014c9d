#include "unit_model.h"

#include <algorithm>
#include <cmath>

#include "modbus/crc.h"

namespace tagris::unitsim {

namespace {

// Factory settings of the 14 channels: grade x 10 and salinity x 10.
constexpr std::array<int, 14> kGrades = {0, 15, -20, 5, 30, 0, 10, -5, 0, 25, 0, -10, 0, 45};
constexpr std::array<int, 14> kSalinities = {1000, 1000, 950, 1050, 1100, 1000, 900,
                                             1200, 1000, 1000, 1025, 975, 1000, 1150};

constexpr double kPeakStep = 0.46875 * 0.125;  // frequency per count of Xmax
constexpr double kWidthStep = 0.46875 * 0.25;  // width per count of Pol

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

}  // namespace

std::uint16_t ToRegister(int value) { return static_cast<std::uint16_t>(value & 0xFFFF); }

UnitModel::UnitModel(const ModelOptions& options)
    : address_(options.address),
      followAddressWrites_(options.followAddressWrites),
      negativeTemperature_(options.negativeTemperature),
      writePolicy_(options.writePolicy),
      refuseCode_(options.refuseCode),
      random_(options.seed) {
  registers_[reg::kSerialSettings] = options.serialSettings;
  for (int k = 0; k < 14; ++k) {
    registers_[static_cast<std::size_t>(reg::kFirstGrade + k)] = ToRegister(kGrades[static_cast<std::size_t>(k)] + 100);
    registers_[static_cast<std::size_t>(reg::kFirstSalinity + k)] = ToRegister(kSalinities[static_cast<std::size_t>(k)]);
  }
  registers_[reg::kActiveChannel] = 1;
  registers_[reg::kMedium] = 0;  // oil
  registers_[reg::kAddress] = address_;
  if (negativeTemperature_) temperature_ = -3.0;
  DeriveFromMeasurement();
}

bool UnitModel::IsWritable(int n) {
  return n == reg::kSerialSettings || (n >= reg::kFirstGrade && n < reg::kFirstGrade + 14) ||
         (n >= reg::kFirstSalinity && n < reg::kFirstSalinity + 14) || n == reg::kActiveChannel ||
         n == reg::kAddress;
}

UnitModel::Answer UnitModel::Handle(std::span<const std::uint8_t> request) {
  if (request.size() < 4 || !CrcMatches(request)) return {};
  const std::uint8_t target = request[0];
  const bool broadcast = target == 0;
  if (target != address_ && !broadcast) return {};
  switch (request[1]) {
    case 0x03:
      if (broadcast || request.size() != kRequestLength) return {};
      return Read(request);
    case 0x06:
      if (request.size() != kRequestLength) return {};
      return Write(request, broadcast);
    default:
      if (broadcast) return {};
      return {Outcome::Exception, ExceptionReply(address_, request[1], kIllegalFunction)};
  }
}

UnitModel::Answer UnitModel::Read(std::span<const std::uint8_t> request) {
  const int first = Word(request, 2);
  const int count = Word(request, 4);
  // 125 registers is the most a 0x03 reply can carry.
  if (count < 1 || count > 125) return {Outcome::Exception, ExceptionReply(address_, 0x03, kIllegalDataValue)};
  if (first + count > kRegisterCount) return {Outcome::Exception, ExceptionReply(address_, 0x03, kIllegalDataAddress)};
  return {Outcome::Read, BuildReadReply(first, count)};
}

UnitModel::Answer UnitModel::Write(std::span<const std::uint8_t> request, bool broadcast) {
  switch (writePolicy_) {
    case WritePolicy::Apply:
      break;
    case WritePolicy::Refuse:
      return {Outcome::Refused, broadcast ? std::vector<std::uint8_t>{} : ExceptionReply(address_, 0x06, refuseCode_)};
    case WritePolicy::Ignore:
      return {Outcome::Echoed,
              broadcast ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(request.begin(), request.end())};
    case WritePolicy::Silent:
      return {Outcome::Dropped, {}};
  }
  const int n = Word(request, 2);
  const std::uint16_t value = Word(request, 4);
  std::uint8_t error = 0;
  if (!IsWritable(n))
    error = kIllegalDataAddress;
  else if (n == reg::kActiveChannel && (value < 1 || value > 14))
    error = kIllegalDataValue;
  else if (n == reg::kAddress && (value < 1 || value > 127))
    error = kIllegalDataValue;  // an address the master could not reach again
  if (error != 0) {
    if (broadcast) return {};
    return {Outcome::Exception, ExceptionReply(address_, 0x06, error)};
  }
  registers_[static_cast<std::size_t>(n)] = value;
  Answer answer;
  answer.writtenRegister = n;
  if (broadcast) {
    answer.outcome = Outcome::Broadcast;
  } else {
    // The echo still carries the address the request was sent to.
    answer.outcome = Outcome::Write;
    answer.reply.assign(request.begin(), request.end());
  }
  if (n == reg::kAddress && followAddressWrites_) address_ = static_cast<std::uint8_t>(value);
  return answer;
}

std::vector<std::uint8_t> UnitModel::BuildReadReply(int first, int count) const {
  std::vector<std::uint8_t> reply;
  reply.reserve(static_cast<std::size_t>(5 + 2 * count));
  reply.push_back(address_);
  reply.push_back(0x03);
  reply.push_back(static_cast<std::uint8_t>(2 * count));
  for (int n = first; n < first + count; ++n) {
    const std::uint16_t v = registers_[static_cast<std::size_t>(n)];
    reply.push_back(static_cast<std::uint8_t>(v >> 8));
    reply.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  reply.resize(reply.size() + 2);
  StampCrc(reply);
  return reply;
}

std::vector<std::uint8_t> UnitModel::ExceptionReply(std::uint8_t address, std::uint8_t function, std::uint8_t code) {
  std::vector<std::uint8_t> reply{address, static_cast<std::uint8_t>(function | 0x80), code, 0, 0};
  StampCrc(reply);
  return reply;
}

void UnitModel::Drift() {
  std::normal_distribution<double> step(0.0, 1.0);
  // Random walks pulled back towards a middle value, so they wander but stay plausible.
  moisture_ += 0.02 * step(random_) + 0.01 * (1.5 - moisture_);
  moisture_ = std::clamp(moisture_, 0.5, 3.0);
  const double middle = negativeTemperature_ ? -3.0 : 28.0;
  const double low = negativeTemperature_ ? -20.0 : 20.0;
  temperature_ += 0.05 * step(random_) + 0.01 * (middle - temperature_);
  temperature_ = std::clamp(temperature_, low, 40.0);
  DeriveFromMeasurement();
}

void UnitModel::DeriveFromMeasurement() {
  std::uniform_int_distribution<int> jitter(-2, 2);
  auto set = [this](int n, int value) { registers_[static_cast<std::size_t>(n)] = ToRegister(value); };
  const int w = static_cast<int>(std::lround(moisture_ * 100));
  set(reg::kMoisture, w);
  set(reg::kMoistureUnlimited, w + jitter(random_));
  set(reg::kTemperature, static_cast<int>(std::lround(temperature_ * 10)));
  set(reg::kMixTemperature, static_cast<int>(std::lround(temperature_ * 10)) + 4 + jitter(random_));
  // More water lowers the peak a little: about 2030 at 1.5 %.
  const double frequency = 2030.0 - (moisture_ - 1.5) * 4.0;
  const int xmax = static_cast<int>(std::lround((frequency - 1980.0) / kPeakStep)) + jitter(random_);
  const int pol = static_cast<int>(std::lround((11.0 + moisture_) / kWidthStep)) + jitter(random_);
  set(reg::kXmax, xmax);
  set(reg::kPol, pol);
  set(reg::kOffset, 512 + jitter(random_));
  set(reg::kYmaxOp, 3100 + 5 * jitter(random_));
  set(reg::kXmaxOp, xmax - 6 + jitter(random_) / 2);
  set(reg::kPolOp, pol + 3);
  set(reg::kYmax, 2900 + 5 * jitter(random_));
  set(reg::kMarker, 212 + jitter(random_) / 2);
  set(reg::kDac, 2048 + jitter(random_));
}

}  // namespace tagris::unitsim
