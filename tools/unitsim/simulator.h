#pragma once
// The simulated unit on a pseudo-terminal: one worker thread reads requests
// from the line, lets UnitModel answer them and writes the replies back,
// optionally paced at a baud rate and spoilt by an injected fault.
//
//   tagris::unitsim::SimulatorOptions options;
//   options.linkPath = "/tmp/my-unit";
//   tagris::unitsim::Simulator sim(options);
//   sim.Start();                                   // link exists when this returns
//   sim.SetFault(tagris::unitsim::FaultKind::Bursts, 0.5);
//   ... open sim.LinkPath() as the master ...
//   sim.Stats().repliesSent;
//   sim.Stop();                                    // or the destructor
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "frame_assembler.h"
#include "pty_endpoint.h"
#include "unit_model.h"

namespace tagris::unitsim {

enum class FaultKind {
  None,
  BadCrc,        // the reply's CRC is wrong
  WrongAddress,  // the reply comes from another slave address (with a good CRC)
  Silent,        // no reply at all
  Bursts,        // the reply arrives in 3 to 5 pieces with 20 to 60 ms between them
  Trailing,      // 1 to 16 extra bytes follow the reply
  Flood,         // the reply is followed by garbage, more than 2048 bytes in all
  Hangup,        // the line hangs up (both pty ends closed) and comes back later
  Mix,           // each fault above now and then, hang-ups rarest
};

inline constexpr std::size_t kFloodLength = 2600;

// "bad-crc", "wrong-address", "silent", "bursts", "trailing", "flood", "hangup", "mix", "none".
std::string_view FaultName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

struct SimulatorOptions {
  std::string linkPath = "/tmp/tagris-unit";
  std::uint8_t address = 5;           // 1..127
  bool followAddressWrites = true;    // a write to register 49 moves the unit to the new address
  bool negativeTemperature = false;   // temperature drifts around -3 C
  bool drift = true;                  // measured values move a little before each read
  std::uint32_t seed = 1;
  std::uint32_t paceBaud = 0;         // 0: replies go out at once; else 10 bits per byte at this rate
  FaultKind fault = FaultKind::None;
  double faultRate = 1.0;             // chance per reply, 0..1
  std::chrono::milliseconds hangupTime{1000};  // how long the line stays away after a hang-up
  std::chrono::milliseconds gap{50};           // silence that ends a partial request
  bool traceFrames = false;           // report every request and reply through onEvent
  // Called on the worker thread with one line of text: address changes, hang-ups, traces.
  std::function<void(const std::string&)> onEvent;
};

struct SimulatorStats {
  std::uint64_t requestsSeen = 0;    // good frames for this unit (broadcasts included)
  std::uint64_t repliesSent = 0;     // replies written, faulty ones included
  std::uint64_t writesApplied = 0;   // 0x06 writes stored in the registers
  std::uint64_t framesIgnored = 0;   // frames for other slaves, bad CRCs, garbage runs, stale partials
  std::uint64_t faultsInjected = 0;
  std::uint64_t hangups = 0;         // times the line was dropped
  std::uint64_t reopens = 0;         // times it came back (link path usable again)
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesSent = 0;
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the line and starts the worker. Throws std::system_error.
  void Start();
  // Stops the worker, closes the line and removes the link. Safe to call twice.
  void Stop();
  bool Running() const { return worker_.joinable(); }

  void SetFault(FaultKind kind, double rate = 1.0);
  // Drops the line now for the hang-up time, without waiting for a request.
  void HangUp();

  const std::string& LinkPath() const { return options_.linkPath; }
  std::string SlavePath() const;  // changes after every hang-up
  std::uint8_t Address() const;
  SimulatorStats Stats() const;
  std::array<std::uint16_t, kRegisterCount> Registers() const;
  void SetRegister(int n, std::uint16_t value);

 private:
  struct Counters {
    std::atomic<std::uint64_t> requestsSeen{0}, repliesSent{0}, writesApplied{0}, framesIgnored{0},
        faultsInjected{0}, hangups{0}, reopens{0}, bytesReceived{0}, bytesSent{0};
  };

  void Run();
  void ServeLine();
  void HandleFrame(const FrameAssembler::Frame& frame);
  FaultKind PickFault();
  void Send(const std::vector<std::uint8_t>& bytes, bool bursts);
  bool WriteAll(const std::uint8_t* data, std::size_t n);
  bool Sleep(std::chrono::steady_clock::duration d);  // false when stopping
  void DropLine();
  void Event(const std::string& text);
  void Wake();
  void DrainWake();

  SimulatorOptions options_;
  mutable std::mutex mutex_;  // guards model_, fault settings, slavePath_, hangUpNow_
  UnitModel model_;
  FaultKind fault_;
  double faultRate_;
  bool hangUpNow_ = false;
  std::string slavePath_;

  // Worker thread only.
  PtyEndpoint endpoint_;
  FrameAssembler assembler_;
  std::mt19937 random_;
  std::vector<FrameAssembler::Frame> frames_;
  std::uint64_t discardedRunsSeen_ = 0;

  Counters counters_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;
  std::thread worker_;
};

}  // namespace tagris::unitsim
