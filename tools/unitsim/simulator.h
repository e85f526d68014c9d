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
//   ... open sim.LinkPath() as the master, raw, at 9600 8N1 ...
//   sim.Unplug(std::chrono::milliseconds(500));    // link gone for 0.5 s, then a new pty
//   sim.Stats().repliesSent;
//   sim.Stop();                                    // or the destructor
//
// Nothing here is global: any number of simulators run side by side, one link each.
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
#include "line_settings.h"
#include "pty_endpoint.h"
#include "unit_model.h"

namespace tagris::unitsim {

enum class FaultKind {
  None,
  BadCrc,         // the reply's CRC is wrong
  WrongAddress,   // the reply comes from another slave address (with a good CRC)
  Silent,         // no reply at all (a write is still stored: the answer was lost)
  Bursts,         // the reply arrives in 3 to 5 pieces with 20 to 60 ms between them
  Trailing,       // 1 to 16 extra bytes follow the reply
  Flood,          // the reply is followed by garbage, more than 2048 bytes in all
  Hangup,         // the line hangs up instead of answering, the link goes and comes back after the hang-up time
  Mix,            // each fault marked "mix" now and then, line drops rarest
  Unplug,         // as Hangup, the way a USB adapter is pulled: own time, the request is not stored
  Echo,           // the request comes back first (an RS-485 adapter hearing itself), then the reply
  EchoOnly,       // the request comes back and nothing else: the unit heard nothing
  Garbage,        // bytes that form no frame instead of the reply, about as many
  Exception,      // an exception answer (the exception code) instead of the reply; nothing stored
  Late,           // the reply comes after the late time, into the master's next exchange
  Short,          // the reply is cut off: 3 bytes or more, never all of it
  WrongFunction,  // the reply carries another function code (with a good CRC)
  WrongCount,     // a read reply whose byte count disagrees with its data (good CRC); others unchanged
};
inline constexpr std::size_t kFaultKindCount = 18;

inline constexpr std::size_t kFloodLength = 2600;

// "none", "bad-crc", "wrong-address", "silent", "bursts", "trailing", "flood", "hangup", "mix", "unplug",
// "echo", "echo-only", "garbage", "exception", "late", "short", "wrong-function", "wrong-count".
std::string_view FaultName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);  // also "random" for mix
const std::vector<FaultKind>& AllFaultKinds();                 // in the order above

struct SimulatorOptions {
  std::string linkPath = DefaultLinkPath();
  std::uint8_t address = 5;           // 1..127
  bool followAddressWrites = true;    // a write to register 49 moves the unit to the new address
  bool negativeTemperature = false;   // temperature drifts around -3 C
  bool drift = true;                  // measured values move a little before each read
  std::uint32_t seed = 1;
  std::uint32_t paceBaud = 0;         // 0: replies go out at once; else 10 bits per byte at this rate
  FaultKind fault = FaultKind::None;
  double faultRate = 1.0;             // chance per reply, 0..1
  std::chrono::milliseconds hangupTime{1000};  // how long the line stays away after a hang-up
  std::chrono::milliseconds unplugTime{3000};  // how long an unplugged line stays away
  std::chrono::milliseconds lateTime{700};     // delay of a late reply; the master polls every 500 ms
  std::chrono::milliseconds gap{50};           // silence that ends a partial request
  std::uint8_t exceptionCode = kServerDeviceFailure;  // code of the exception fault
  WritePolicy writePolicy = WritePolicy::Apply;
  std::uint8_t refuseCode = kServerDeviceFailure;     // code of WritePolicy::Refuse
  // The unit's own line. Register 0 starts with its code (when the speed has one).
  // Independent of paceBaud: the line speed is what the master must set, the pace
  // how fast the bytes really go.
  LineSettings line;
  // Before answering, compare the master's settings on the pty with `line`; when
  // they differ, answer with garbage and store nothing, as a unit at other settings
  // would appear. Off: answer whatever the master set.
  bool checkLineSettings = true;
  bool followSerialWrites = false;  // after echoing a write to register 0 the unit takes those settings
  bool traceFrames = false;         // report every request and reply through onEvent
  // Called on the worker thread with one line of text: address changes, hang-ups, traces.
  std::function<void(const std::string&)> onEvent;
};

struct SimulatorStats {
  std::uint64_t requestsSeen = 0;    // good frames for this unit (broadcasts included)
  std::uint64_t repliesSent = 0;     // replies written, faulty ones included
  std::uint64_t writesApplied = 0;   // 0x06 writes stored in the registers
  std::uint64_t writesIgnored = 0;   // echoed but not stored (WritePolicy::Ignore)
  std::uint64_t writesRefused = 0;   // answered with the refuse code (WritePolicy::Refuse)
  std::uint64_t writesDropped = 0;   // neither answered nor stored (WritePolicy::Silent)
  std::uint64_t exceptionsSent = 0;  // exception answers the unit gave (refusals, bad requests, the fault)
  std::uint64_t framesIgnored = 0;   // frames for other slaves, bad CRCs, garbage runs, stale partials
  std::uint64_t lineMismatches = 0;  // requests answered with garbage: the master's line settings differ
  std::uint64_t faultsInjected = 0;
  std::array<std::uint64_t, kFaultKindCount> faults{};  // by FaultKind; Mix counts as the fault it picked
  std::uint64_t hangups = 0;         // times the line was dropped, unplugs included
  std::uint64_t unplugs = 0;         // of those, the unplugs
  std::uint64_t reopens = 0;         // times it came back (link path usable again)
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesSent = 0;

  std::uint64_t Faults(FaultKind kind) const { return faults[static_cast<std::size_t>(kind)]; }
};

// The counters as text: one summary line; `detailed` adds every non-zero counter by name.
std::string DescribeStats(const SimulatorStats& stats, bool detailed);

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
  // Pulls the adapter now: the master's side hangs up, the link disappears, and
  // after `away` (default: the unplug time) a new pty appears at the link. Asked
  // again while away, the absence runs `away` from then.
  void Unplug();
  void Unplug(std::chrono::milliseconds away);
  // Ends the current (or just asked) unplug or hang-up now; no effect while the line is up.
  void Replug();
  bool LineUp() const;  // false while unplugged or hung up

  void SetWritePolicy(WritePolicy policy, std::uint8_t refuseCode = kServerDeviceFailure);
  // The unit's own line settings; register 0 follows when the speed has a code.
  void SetLineSettings(const LineSettings& line);
  LineSettings OwnLineSettings() const;
  // What the master had set when the last request for this unit came in.
  std::optional<LineSettings> LastMasterLineSettings() const;

  const std::string& LinkPath() const { return options_.linkPath; }
  std::string SlavePath() const;  // changes after every hang-up
  std::uint8_t Address() const;
  SimulatorStats Stats() const;
  std::array<std::uint16_t, kRegisterCount> Registers() const;
  void SetRegister(int n, std::uint16_t value);

 private:
  using Clock = std::chrono::steady_clock;
  struct Counters {
    std::atomic<std::uint64_t> requestsSeen{0}, repliesSent{0}, writesApplied{0}, writesIgnored{0}, writesRefused{0},
        writesDropped{0}, exceptionsSent{0}, framesIgnored{0}, lineMismatches{0}, faultsInjected{0}, hangups{0},
        unplugs{0}, reopens{0}, bytesReceived{0}, bytesSent{0};
    std::array<std::atomic<std::uint64_t>, kFaultKindCount> faults{};
  };
  struct Drop {
    bool unplug = false;
    std::chrono::milliseconds away{0};
  };

  void Run();
  bool WaitWhileAway();  // false when stopping
  void ServeLine();
  void HandleFrame(const FrameAssembler::Frame& frame);
  bool LineMatches(const FrameAssembler::Frame& frame, bool broadcast);
  FaultKind PickFault();
  void CountFault(FaultKind kind);
  void Spoil(FaultKind fault, const FrameAssembler::Frame& frame, std::vector<std::uint8_t>& reply, bool& bursts);
  std::vector<std::uint8_t> Garbage(std::size_t length, std::uint8_t notFirst);
  void Send(const std::vector<std::uint8_t>& bytes, bool bursts);
  void Trace(const std::vector<std::uint8_t>& bytes, std::string_view tag);
  bool WriteAll(const std::uint8_t* data, std::size_t n);
  bool Sleep(Clock::duration d);  // false when stopping or when a drop of the line waits
  void RequestDrop(Drop drop);
  void DropLine(Drop drop);
  void Event(const std::string& text);
  void Wake();
  void DrainWake();

  SimulatorOptions options_;
  // Guards model_, fault settings, line_, lastMasterLine_, slavePath_, the drop requests and the away state.
  mutable std::mutex mutex_;
  UnitModel model_;
  FaultKind fault_;
  double faultRate_;
  LineSettings line_;
  std::optional<LineSettings> lastMasterLine_;
  std::optional<Drop> pendingDrop_;
  bool replugNow_ = false;
  bool away_ = false;
  Clock::time_point backAt_{};
  std::string slavePath_;

  // Worker thread only.
  PtyEndpoint endpoint_;
  FrameAssembler assembler_;
  std::mt19937 random_;
  std::vector<FrameAssembler::Frame> frames_;
  std::uint64_t discardedRunsSeen_ = 0;
  std::string lastMismatch_;  // reported once per change, not per request

  Counters counters_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dropWaiting_{false};
  int wakeFd_ = -1;
  std::thread worker_;
};

}  // namespace tagris::unitsim
