// Arbitrary byte streams, cut into arbitrary bursts, through the real receive
// thread of the link (on a scripted port) and the connection's reply handling:
// the reply check, the register decoding, the label texts and the log data line.
//
// Checked for every input: the link hands over what a model of the receive rules
// says (threshold, more than 2048 queued bytes discarded, one read of everything
// queued) and the connection traces exactly those bytes, a reply is accepted only
// when it is a sound answer to the poll, and every text is valid UTF-8 with the
// right prefix and number.
//
// Input: a sequence of operations, each a byte (taken modulo 8) and its operands.
//   0 burst      len(2, big-endian) bytes[len]   characters arrive (fewer when the input ends)
//   1 reply      regs[108] cut(1) trailing(1)    a sound poll reply with its CRC, arriving in
//                                                two bursts split at cut % 114, followed by
//                                                trailing % 16 further bytes of the input
//   2 tick       -                               the poll timer: purge, threshold, send frame
//   3 command    reg(2) value(2)                 a configuration write queued for the next slot
//   4 line lost  -                               the line reports a hang-up
//   5 flood      len(2) fill(1)                  len % 4096 bytes of one value arrive at once
//   6 event      -                               a character event with nothing new queued
//   7 threshold  value(4)                        a request that waits for any reply length,
//                                                keeping what is queued
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "connection/connection.h"
#include "measure/measure_text.h"
#include "measure/register_block.h"
#include "modbus/crc.h"
#include "modbus/poll_cycle.h"
#include "modbus/reply.h"
#include "record/log_file.h"
#include "serial/serial_link.h"

namespace {

using namespace std::chrono_literals;
using tagris::PortEvent;

[[noreturn]] void Fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz_receive: %s [%.*s]\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

void Check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) Fail(what, detail);
}

// A port whose input queue and events the fuzzer scripts. It also tells when the
// receive thread has finished with an event: it is back waiting for the next one.
class ScriptedPort : public tagris::SerialPort {
 public:
  // Frames written go to a list the fuzzer keeps: the link destroys its port on Close().
  explicit ScriptedPort(std::vector<std::vector<std::uint8_t>>& written) : written_(written) {}

  bool Open(const std::string&) override { return true; }
  tagris::OpenError LastOpenError() const override { return tagris::OpenError::None; }
  bool Configure(const tagris::PortSettings&) override { return true; }
  bool IsOpen() const override { return true; }

  void PurgeInput() override {
    std::lock_guard lock(m_);
    queue_.clear();
  }
  void PurgeOutput() override {}
  std::size_t QueuedInput() override {
    std::lock_guard lock(m_);
    return queue_.size();
  }
  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    std::lock_guard lock(m_);
    n = std::min(n, queue_.size());
    std::copy_n(queue_.begin(), n, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    std::lock_guard lock(m_);
    written_.emplace_back(bytes, bytes + n);
    return true;
  }

  PortEvent WaitEvent() override {
    std::unique_lock lock(m_);
    ++waits_;
    waiting_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return pending_ || cancelled_; });
    waiting_ = false;
    if (cancelled_) return PortEvent::Cancelled;
    const PortEvent e = *pending_;
    pending_.reset();
    return e;
  }
  // The lost-line pause costs no time here: the next event is the fuzzer's to give.
  bool WaitCancelled(int) override {
    std::lock_guard lock(m_);
    return cancelled_;
  }
  void Cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }
  void Close() override {}

  // The receive thread's hand-over hook.
  void Ring() {
    std::lock_guard lock(m_);
    rung_ = true;
    cv_.notify_all();
  }

  void WaitIdle() {
    std::unique_lock lock(m_);
    if (!cv_.wait_for(lock, 10s, [&] { return waiting_; })) Fail("receive thread never waited for an event");
  }

  // Adds bytes (if any), raises the event and runs every hand-over that follows
  // through serve, until the receive thread waits for the next event.
  template <typename Serve>
  void Deliver(PortEvent event, std::span<const std::uint8_t> bytes, Serve serve) {
    std::unique_lock lock(m_);
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    const std::uint64_t before = waits_;
    pending_ = event;
    cv_.notify_all();
    for (;;) {
      if (!cv_.wait_for(lock, 10s, [&] { return rung_ || (waiting_ && waits_ > before); }))
        Fail("receive thread stuck");
      if (!rung_) return;
      rung_ = false;
      lock.unlock();
      serve();
      lock.lock();
    }
  }

  std::vector<std::uint8_t> Queue() {
    std::lock_guard lock(m_);
    return {queue_.begin(), queue_.end()};
  }
 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::uint8_t> queue_;
  std::vector<std::vector<std::uint8_t>>& written_;
  std::optional<PortEvent> pending_;
  bool cancelled_ = false;
  bool waiting_ = false;
  bool rung_ = false;
  std::uint64_t waits_ = 0;
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() << 8 | Byte()); }
  std::uint32_t Long() { return static_cast<std::uint32_t>(Word()) << 16 | Word(); }
  std::span<const std::uint8_t> Bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    const std::span<const std::uint8_t> s(data_ + pos_, n);
    pos_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

bool ValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// The text between prefix and suffix; fails when either is missing.
std::string_view Between(std::string_view text, std::string_view prefix, std::string_view suffix,
                         const char* what) {
  Check(ValidUtf8(text), what, text);
  Check(text.size() >= prefix.size() + suffix.size() && text.starts_with(prefix) && text.ends_with(suffix),
        what, text);
  return text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
}

// "[-]digits.digits" with at least minInt integer digits and exactly decimals decimals;
// returns the value.
double Number(std::string_view s, std::size_t minInt, std::size_t decimals, const char* what) {
  std::string_view t = s;
  const bool negative = t.starts_with('-');
  if (negative) t.remove_prefix(1);
  const std::size_t point = decimals ? t.find('.') : t.size();
  Check(point != std::string_view::npos && point >= minInt && t.size() - point == (decimals ? decimals + 1 : 0),
        what, s);
  double v = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i == point) continue;
    Check(t[i] >= '0' && t[i] <= '9', what, s);
    v = v * 10 + (t[i] - '0');
  }
  for (std::size_t k = 0; k < decimals; ++k) v /= 10;
  return negative ? -v : v;
}

// Tenths as the masks "#0.0" and "#00.0" show them: a count of tenths needs no rounding.
std::string Tenths(int count, int minIntDigits) {
  const int magnitude = count < 0 ? -count : count;
  std::string intPart = std::to_string(magnitude / 10);
  if (static_cast<int>(intPart.size()) < minIntDigits) intPart.insert(0, minIntDigits - intPart.size(), '0');
  return (count < 0 ? "-" : "") + intPart + "." + std::to_string(magnitude % 10);
}

void Near(double shown, double exact, double halfStep, const char* what, std::string_view text) {
  Check(shown >= exact - halfStep - 1e-9 && shown <= exact + halfStep + 1e-9, what, text);
}

// What the window does with a measurement: decode, render, log. Checked against
// the register values read straight from the bytes.
void CheckMeasurement(const std::uint8_t* reply, const std::string& trace, int replyCount) {
  std::array<int, tagris::kRegisterCount> r{};
  for (int n = 0; n < tagris::kRegisterCount; ++n) r[n] = reply[3 + 2 * n] << 8 | reply[4 + 2 * n];
  const auto signed16 = [](int v) { return v >= 0x8000 ? v - 0x10000 : v; };

  const tagris::RegisterBlock block = tagris::DecodeRegisterBlock(reply);
  const tagris::MeasurementTexts t = tagris::RenderMeasurementTexts(block);

  static constexpr const char* kBaud[8] = {"4800", "4800", "4800", "4800", "9600", "14400", "19200", "38400"};
  static constexpr const char* kParity[4] = {"NOPARITY", "EVENPARITY", "ODDPARITY", "NOPARITY"};
  Check(t.baud == std::string(kBaud[r[0] & 7]) + " бод", "baud text", t.baud);
  Check(t.parity == kParity[(r[0] >> 3) & 3], "parity text", t.parity);
  Check(t.stop == ((r[0] & 0x20) ? "STOP2" : "STOP1"), "stop bits text", t.stop);
  Check(t.channel == "Включен канал  " + std::to_string(r[33]), "channel text", t.channel);
  for (int k = 1; k <= tagris::kChannelCount; ++k) {
    Check(t.grade[k - 1] == Tenths(r[k + 1] - 100, 1), "grade cell", t.grade[k - 1]);
    Check(t.salinity[k - 1] == Tenths(r[k + 17], 1), "salinity cell", t.salinity[k - 1]);
  }

  const std::string temperature = Tenths(signed16(r[38]), 2);
  Check(t.temperature == "Temp = " + temperature + " C", "temperature text", t.temperature);
  Check(t.mixTemperature == "Temp смеси = " + Tenths(signed16(r[50]), 2) + " C", "mixture temperature text",
        t.mixTemperature);
  Near(Number(Between(t.moisture, "W =  ", " %об.", "moisture text"), 1, 1, "moisture number"), r[36] / 100.0,
       0.05, "moisture value", t.moisture);
  const int unlimited = r[37] > 0x7FFF ? r[37] - 0xFFFF : r[37];
  Near(Number(Between(t.moistureUnlimited, "без ограничений ", " %", "unlimited moisture text"), 2, 1,
              "unlimited moisture number"),
       unlimited / 100.0, 0.05, "unlimited moisture value", t.moistureUnlimited);
  Near(Number(Between(t.peakFrequency, "Частота пика   ", "  мГц", "peak frequency text"), 1, 1,
              "peak frequency number"),
       r[45] * 0.05859375 + 1980, 0.05, "peak frequency value", t.peakFrequency);
  Near(Number(Between(t.peakWidth, "Ширина пика    ", "      мГц", "peak width text"), 1, 1, "peak width number"),
       r[46] * 0.1171875, 0.05, "peak width value", t.peakWidth);
  Check(t.medium.has_value() == (r[39] <= 2), "medium text present", t.medium.value_or(""));
  if (t.medium) Check(ValidUtf8(tagris::PhaseText(*t.medium)) && !t.medium->empty(), "phase text", *t.medium);

  const struct {
    const std::string& text;
    std::string_view prefix;
    int value;
  } counts[] = {
      {t.smCorr, "смещение ", r[40]}, {t.ymaxOp, "YmaxOp =  ", r[41]}, {t.xmaxOp, "XmaxOp =  ", r[42]},
      {t.polOp, "PolOp =  ", r[43]},  {t.ymax, "Ymax =  ", r[44]},      {t.xmax, "Xmax =  ", r[45]},
      {t.pol, "Pol =  ", r[46]},      {t.marker, "Marker =  ", r[47] * 4}, {t.dac, "DAC =  ", r[48]},
      {t.sm, "без коррекции ", r[45] < r[42] ? r[42] - r[45] : 0},
  };
  for (const auto& c : counts)
    Check(c.text == std::string(c.prefix) + std::to_string(c.value), "diagnostic count", c.text);

  // The log data line exactly as the window writes it after this reply.
  const tagris::Measurement kept = tagris::KeptValues(block);
  const std::string line =
      tagris::LogDataLine(replyCount, block.moisture, trace, kept.temperature, 0.0f);
  Check(line.ends_with("\r\n"), "log line end", line);
  std::vector<std::string_view> fields;
  std::string_view rest(line.data(), line.size() - 2);
  for (std::size_t tab; (tab = rest.find('\t')) != std::string_view::npos; rest.remove_prefix(tab + 1))
    fields.push_back(rest.substr(0, tab));
  fields.push_back(rest);
  Check(fields.size() == 6 && rest.find_first_of("\r\n") == std::string_view::npos, "log line fields", line);
  char count[32];
  std::snprintf(count, sizeof count, "%06d.0", replyCount);
  Check(fields[0] == count, "log reply count", fields[0]);
  Check(fields[1] == fields[2], "log moisture twice", line);
  Near(Number(fields[1], 3, 4, "log moisture"), r[36] / 100.0, 0.00005, "log moisture value", fields[1]);
  Check(fields[3] == trace, "log trace", fields[3]);
  Check(fields[4] == temperature, "log temperature", fields[4]);
  Check(fields[5] == "00.0", "log dsp temperature", fields[5]);
}

struct Exchange {
  tagris::Connection* conn = nullptr;
  ScriptedPort* port = nullptr;
  std::size_t threshold = tagris::kConnectReplyLength;  // what the link waits for, as the model has it
  int accepted = 0;
  std::vector<std::vector<std::uint8_t>> sent;

  // One event on the port, then what the window does when the link rang: Dispatch.
  void Deliver(PortEvent event, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> queued = port->Queue();
    queued.insert(queued.end(), bytes.begin(), bytes.end());
    // What the receive rules promise for the bytes now queued; nullopt: no hand-over.
    std::optional<std::vector<std::uint8_t>> expected;
    const bool counted = event == PortEvent::Received;
    if (counted && queued.size() <= tagris::kLinkBufferSize && !queued.empty() && queued.size() >= threshold)
      expected = queued;
    const bool wasLost = conn->PortLost();
    int rings = 0;
    port->Deliver(event, bytes, [&] { ++rings; });
    Check(rings == (expected || (event == PortEvent::LineLost && !wasLost) ? 1 : 0), "wake-ups");

    const bool measuring = conn->Cycle().ExpectsMeasurement();
    const std::vector<tagris::ReplyOutcome> outcomes = conn->Dispatch();
    Check(outcomes.size() == (expected && measuring ? 1u : 0u), "replies handled");
    if (!outcomes.empty()) Handle(outcomes.front(), *expected);

    // After the event: read replies leave the queue, a flood empties it, a short
    // queue stays for the next event.
    const std::vector<std::uint8_t> after = port->Queue();
    if (!counted) {
      Check(after == queued, "queue changed without a character event");
      Check(conn->PortLost() == (event == PortEvent::LineLost), "lost-line flag");
    } else if (queued.size() > tagris::kLinkBufferSize) {
      Check(after.empty(), "flood left in the queue");
    } else {
      Check(after == (expected ? std::vector<std::uint8_t>{} : queued), "queue after the event");
    }
    if (counted) Check(!conn->PortLost(), "lost-line flag after characters");
  }

  // The connection's outcome for a hand-over of `read`, checked against the bytes.
  void Handle(const tagris::ReplyOutcome& reply, const std::vector<std::uint8_t>& read) {
    std::array<std::uint8_t, tagris::kLinkBufferSize> rx{};  // the read, zero after it
    std::copy(read.begin(), read.end(), rx.begin());
    const std::uint8_t* b = rx.data();
    const bool sound = read.size() >= 113 && b[0] == conn->Cycle().PollFrame[0] && b[1] == 0x03 && b[2] == 0x6C &&
                       tagris::Crc16(std::span(b, 111)) == (b[111] | b[112] << 8);
    Check((reply.kind == tagris::ReplyKind::Measurement) == sound, "reply check");

    std::string independent = "-->";
    for (std::size_t i = 0; i < threshold; ++i) {
      char group[8];
      std::snprintf(group, sizeof group, " 0x%02X", b[i]);
      independent += group;
    }
    independent += "<---";
    Check(reply.trace == independent, "receive trace line", reply.trace);

    Check(reply.block.has_value() == sound, "decoded block");
    if (!sound) return;
    CheckMeasurement(b, reply.trace, ++accepted);
    Check(reply.count == accepted, "reply count");
    const tagris::Measurement kept = tagris::KeptValues(tagris::DecodeRegisterBlock(b));
    const tagris::Measurement& held = conn->Kept();
    Check(held.temperature == kept.temperature && held.mixTemperature == kept.mixTemperature &&
              held.moisture == kept.moisture && held.peakFrequency == kept.peakFrequency &&
              held.peakWidth == kept.peakWidth,
          "kept values");
  }

  void Tick() {
    const tagris::TickOutcome slot = conn->Tick();
    if (!slot.sent) return;
    threshold = slot.sent->kind == tagris::PollCycle::Send::Poll ? tagris::kPollReplyLength
                                                                  : tagris::kCommandReplyLength;
    sent.emplace_back(slot.sent->frame.begin(), slot.sent->frame.end());
  }

  // A request of the blocking drive, which waits for any length and keeps what came in.
  void Request(std::size_t length) {
    const tagris::Request& frame = conn->Cycle().PollFrame;
    conn->Link().Send(frame, length, false);
    threshold = length;
    sent.emplace_back(frame.begin(), frame.end());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  std::vector<std::vector<std::uint8_t>> written;
  ScriptedPort* port = nullptr;
  tagris::Connection conn([&port] { port->Ring(); },
                          [&port, &written] {
                            auto p = std::make_unique<ScriptedPort>(written);
                            port = p.get();
                            return p;
                          });
  // As a connect leaves it: address 5, 107 bytes awaited until the first frame.
  if (conn.Open({"fuzz", {}, 5}) != tagris::OpenError::None) Fail("scripted port did not open");

  Exchange x;
  x.conn = &conn;
  x.port = port;
  port->WaitIdle();

  for (int ops = 0; ops < 200 && !in.Empty(); ++ops) {
    switch (in.Byte() % 8) {
      case 0:
        x.Deliver(PortEvent::Received, in.Bytes(in.Word()));
        break;
      case 1: {
        std::array<std::uint8_t, 113 + 15> frame{};
        frame[0] = conn.Cycle().PollFrame[0];
        frame[1] = 0x03;
        frame[2] = 0x6C;
        const auto regs = in.Bytes(108);
        std::copy(regs.begin(), regs.end(), frame.begin() + 3);
        tagris::StampCrc(std::span(frame.data(), 113));
        const std::size_t cut = in.Byte() % 114;
        const auto trailing = in.Bytes(in.Byte() % 16);
        std::copy(trailing.begin(), trailing.end(), frame.begin() + 113);
        const std::span<const std::uint8_t> all(frame.data(), 113 + trailing.size());
        x.Deliver(PortEvent::Received, all.first(cut));
        x.Deliver(PortEvent::Received, all.subspan(cut));
        break;
      }
      case 2:
        x.Tick();
        break;
      case 3: {
        const std::uint16_t reg = in.Word();
        conn.QueueCommand({reg, in.Word()});
        break;
      }
      case 4:
        x.Deliver(PortEvent::LineLost, {});
        break;
      case 5: {
        const std::vector<std::uint8_t> flood(in.Word() % 4096, in.Byte());
        x.Deliver(PortEvent::Received, flood);
        break;
      }
      case 6:
        x.Deliver(PortEvent::Received, {});
        break;
      case 7:
        x.Request(in.Long());
        break;
    }
  }
  conn.Close();

  // The transmit thread writes frames in the order sent. A frame still waiting
  // when the next one is sent gives way to it, and Close may cut the last one
  // short, but nothing written may be other than a frame sent. The threads are joined now.
  auto next = x.sent.begin();
  for (const auto& frame : written) {
    next = std::find(next, x.sent.end(), frame);
    Check(next != x.sent.end(), "a frame written that was never sent (or out of order)",
          tagris::TransmitTraceLine(frame.data(), frame.size()));
    ++next;
  }
  return 0;
}
