// One measurement reply through the window (the connection's reply handling, then
// the window's: trace line, labels, table, chart points, time window), with the
// drawn series already holding a given number of points. The cost must stay flat
// from a few points up to the 10000-point cap.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineSeries>
#include <QSignalBlocker>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "tform1.h"
#include "measure/register_block.h"
#include "modbus/crc.h"
#include "window.h"

namespace {

std::array<std::uint8_t, tagris::kMeasurementReplyLength> MakeReply(std::uint16_t moisture) {
  std::array<std::uint8_t, tagris::kMeasurementReplyLength> r{0x05, 0x03, 0x6C};
  auto set = [&r](int n, std::uint16_t v) {
    r[3 + 2 * n] = static_cast<std::uint8_t>(v >> 8);
    r[4 + 2 * n] = static_cast<std::uint8_t>(v);
  };
  set(0, 0x0004);
  for (int k = 1; k <= 14; ++k) {
    set(k + 1, static_cast<std::uint16_t>(100 + k));
    set(k + 17, static_cast<std::uint16_t>(10 * k));
  }
  set(33, 3);
  set(36, moisture);
  set(37, 0xFFF0);
  set(38, 0xFFCE);
  set(39, 1);
  set(45, 1000);
  set(46, 100);
  set(50, 215);
  tagris::StampCrc(r);
  return r;
}

// A window connected as the operator connects it (to a terminal nobody answers on),
// fed replies by hand; `held` points are kept in each drawn series.
class Window {
 public:
  explicit Window(int held) : held_(held), reply_(MakeReply(2346)) {
    if (!tagris::test::ConnectWindow(form_, port_.path())) std::abort();
    drawn_ = {tagris::test::SeriesOf(ui_.Chart1, "Series1"), tagris::test::SeriesOf(ui_.Chart2, "Series3")};
  }

  void Reply() {
    tagris::test::FeedReply(form_, reply_);
    ++count_;
  }
  // Below the cap a reply adds a point: the oldest goes, so `held` stay.
  void KeepHeld() {
    if (held_ >= 10000) return;
    for (QLineSeries* s : drawn_) {
      const QSignalBlocker quiet(s);  // the chart items are brought up to date in bulk
      while (s->count() > held_) s->remove(0);
    }
  }
  int Count() const { return count_; }
  int Points() const { return static_cast<int>(drawn_[0]->count()); }

 private:
  tagris::test::IdlePort port_;
  TForm1 form_;
  const tagris::test::Controls ui_{form_};
  const int held_;
  const std::array<std::uint8_t, tagris::kMeasurementReplyLength> reply_;
  std::array<QLineSeries*, 2> drawn_{};
  int count_ = 0;
};

void BM_MeasurementUpdate(benchmark::State& state) {
  Window window(static_cast<int>(state.range(0)));
  for (int i = 0; i < state.range(0); ++i) window.Reply();
  for (auto _ : state) {
    window.Reply();
    state.PauseTiming();
    window.KeepHeld();
    state.ResumeTiming();
  }
  state.counters["points"] = window.Points();
  QApplication::processEvents();
}
BENCHMARK(BM_MeasurementUpdate)->Arg(10)->Arg(1000)->Arg(5000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The reply that moves the time window (one in 300, from reply 10001 on): it changes
// the axes of both charts. The 299 replies between are not timed.
void BM_WindowJumpUpdate(benchmark::State& state) {
  Window window(static_cast<int>(state.range(0)));
  int windowStart = 0;  // the window's left edge, as the charts have it
  for (auto _ : state) {
    state.PauseTiming();
    while (window.Count() < windowStart + 10000) {
      window.Reply();
      window.KeepHeld();
    }
    state.ResumeTiming();
    window.Reply();  // past the right edge
    state.PauseTiming();
    windowStart += 300;
    window.KeepHeld();
    state.ResumeTiming();
  }
  state.counters["points"] = window.Points();
}
BENCHMARK(BM_WindowJumpUpdate)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
