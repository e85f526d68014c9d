// One full measurement update of TForm1 (decode, labels, table, chart points,
// window), with the drawn series already holding a given number of points.
// The cost must stay flat from a few points up to the 10000-point cap.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineSeries>
#include <QSignalBlocker>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "tform1.h"
#include "measure/register_block.h"

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
  return r;
}

void BM_MeasurementUpdate(benchmark::State& state) {
  const int held = static_cast<int>(state.range(0));
  auto form = std::make_unique<TForm1>();
  form->ResetCharts();
  const auto reply = MakeReply(2346);
  const std::string trace = "-->trace<---";
  for (int i = 0; i < held; ++i) form->MeasurementUpdate(reply.data(), trace);
  for (auto _ : state) {
    form->MeasurementUpdate(reply.data(), trace);
    if (held < 10000) {
      // Keep the number of points held where it was (below the cap the update adds one).
      state.PauseTiming();
      for (QLineSeries* s : {form->Series1, form->Series3}) {
        const QSignalBlocker quiet(s);  // the chart items are brought up to date in bulk
        s->remove(0);
      }
      state.ResumeTiming();
    }
  }
  state.counters["points"] = form->Series1->count();
  QApplication::processEvents();
}
BENCHMARK(BM_MeasurementUpdate)->Arg(10)->Arg(1000)->Arg(5000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The update that moves the time window (one in 300): it changes the axes of both charts.
void BM_WindowJumpUpdate(benchmark::State& state) {
  const int held = static_cast<int>(state.range(0));
  auto form = std::make_unique<TForm1>();
  form->ResetCharts();
  const auto reply = MakeReply(2346);
  const std::string trace = "-->trace<---";
  for (int i = 0; i < held; ++i) form->MeasurementUpdate(reply.data(), trace);
  for (auto _ : state) {
    state.PauseTiming();
    form->PlotWindowStart = form->PlotTime + 1 - 10001;  // the next point passes the right edge
    if (held < 10000) {
      for (QLineSeries* s : {form->Series1, form->Series3}) {
        const QSignalBlocker quiet(s);
        s->remove(0);
      }
    }
    state.ResumeTiming();
    form->MeasurementUpdate(reply.data(), trace);
  }
  state.counters["points"] = form->Series1->count();
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
