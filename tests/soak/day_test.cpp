// A day of the window's work, accelerated: 86 400 measurement replies through the reply
// handler (one per second of a day) and a day of samples through the recording timer.
// Memory must stay flat once the charts hold their cap, and the table and sample file
// must stay usable; the figures are printed for the record.
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTableWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "tform1.h"
#include "reply_fixture.h"
#include "serial/serial_link.h"
#include "window.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDay = 86400;  // seconds, and measurement replies at one per second

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Resident size with the allocator's free pages handed back: the least of a few readings.
long SettledRssKb() {
  long least = -1;
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    malloc_trim(0);
    const long kb = RssKb();
    if (least < 0 || kb < least) least = kb;
  }
  return least;
}

// CPU time of the calling thread: what the work cost, whatever else the machine runs.
double ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

TEST(Day, ADayOfRepliesKeepsMemoryFlatAndUpdatesFast) {
  tagris::test::IdlePort port;
  TForm1 form;
  const tagris::test::Controls ui(form);
  ASSERT_TRUE(tagris::test::ConnectWindow(form, port.path()));  // no tick runs: every reply answers the poll
  std::array<std::uint8_t, tagris::kLinkBufferSize> rx{};
  tagris::test::ReplyFixture reply;

  long rssAtCap = 0;
  std::vector<std::pair<int, double>> costs;  // (reply number, CPU microseconds per reply)
  double batch = ThreadCpuUs();
  for (int n = 1; n <= kDay; ++n) {
    // Values that move as a unit's do: every reply differs from the one before.
    reply.Set({{36, static_cast<std::uint16_t>(100 + n % 300)},
               {38, static_cast<std::uint16_t>(200 + n % 150)},
               {51, static_cast<std::uint16_t>(n & 0xFFFF)}});
    std::copy_n(reply.data(), tagris::kMeasurementReplyLength, rx.begin());
    tagris::test::FeedReply(form, std::span(rx.data(), tagris::kMeasurementReplyLength));
    if (n % 1000 == 0) {
      QCoreApplication::processEvents();  // the window's event loop turns between replies
      const double now = ThreadCpuUs();
      costs.emplace_back(n, (now - batch) / 1000);
      batch = now;
    }
    if (n == 20000) rssAtCap = SettledRssKb();
  }
  const long rssAtDay = SettledRssKb();

  QLineSeries* moisture = tagris::test::SeriesOf(ui.Chart1, "Series1");
  EXPECT_EQ(moisture->at(moisture->count() - 1).x(), kDay);
  EXPECT_EQ(moisture->count(), 10000);
  EXPECT_EQ(tagris::test::SeriesOf(ui.Chart2, "Series3")->count(), 10000);
  EXPECT_EQ(ui.Memo1->document()->blockCount(), 5);
  EXPECT_LT(rssAtDay - rssAtCap, 1024) << "VmRSS " << rssAtCap << " KiB at reply 20000, " << rssAtDay
                                       << " KiB at reply 86400";

  // The cost of one update must not grow with the day once the cap is reached.
  auto median = [&](int from, int to) {
    std::vector<double> us;
    for (const auto& [n, c] : costs)
      if (n > from && n <= to) us.push_back(c);
    std::sort(us.begin(), us.end());
    return us.empty() ? 0 : us[us.size() / 2];
  };
  const double early = median(10000, 20000), late = median(76400, 86400);
  std::printf("day of replies: VmRSS %ld KiB at reply 20000, %ld KiB at reply 86400 (%+ld KiB); "
              "CPU %.0f us per reply at 10000-20000, %.0f us at 76400-86400 (medians of batches of 1000), "
              "%.0f us over the first 1000\n",
              rssAtCap, rssAtDay, rssAtDay - rssAtCap, early, late, costs.front().second);
  EXPECT_LT(late, 2 * early + 200);
}

// The sample file is read and rewritten whole at every sample, so a sample costs more
// the longer the day has run: a day is 7 855 samples at the default period 10 (one every
// 11 ticks) and 86 400 at a negative period (one every tick). Taking a whole day here
// would take minutes, so a stretch of real samples checks the table and the file, and
// the cost of a sample is then measured with the file and the table as they stand at
// points of the day.
class DaySamples : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tagris-day-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = dir_ + "//Tagris.txt";
    form_.SetSampleDir(QString::fromStdString(dir_));
    ASSERT_TRUE(tagris::test::ConnectWindow(form_, port_.path()));  // samples are taken while connected
    // The values a sample records: temperature 23.5, moisture 1.25, peak 2030.1, width 14.8.
    const tagris::test::ReplyFixture reply{{38, 235}, {36, 125}, {45, 855}, {46, 126}};
    tagris::test::FeedReply(form_, std::span(reply.data(), tagris::kMeasurementReplyLength));
    ui_.Edit1->setText(QStringLiteral("-1"));
    ui_.Button7->click();
    ASSERT_TRUE(ui_.Timer2->isActive());
    ui_.Timer2->stop();  // the ticks come from the test
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // One tick that samples; its duration in milliseconds.
  double Sample() {
    const auto t = Clock::now();
    tagris::test::Fire(ui_.Timer2);
    return MsSince(t);
  }
  std::string FileText() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static constexpr const char* kLineEnd = ";23.5;1.3;2030.1;14.8;\r\n";
  std::string dir_, file_;
  tagris::test::IdlePort port_;
  TForm1 form_;
  const tagris::test::Controls ui_{form_};
};

TEST_F(DaySamples, TableAndFileStayTrueAndASampleFitsItsTick) {
  // A stretch of real samples: one row and one line each.
  constexpr int kStretch = 300;
  for (int i = 0; i < kStretch; ++i) Sample();
  EXPECT_EQ(ui_.StringGrid2->rowCount(), kStretch + 1);
  std::string text = FileText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kStretch);
  EXPECT_EQ(text.substr(text.size() - 24), kLineEnd);

  // Points of the day: the file and the table as they stand after `lines` samples.
  const std::string line = text.substr(0, text.find('\n') + 1);
  struct Point {
    const char* what;
    int lines;
  } points[] = {
      {"1 h at period 10", 328},          {"6 h at period 10", 1964},      {"day at period 10", 7855},
      {"6 h at a negative period", 21600}, {"12 h at a negative period", 43200},
      {"day at a negative period", kDay},
  };
  double dayAtDefault = 0;
  std::printf("cost of one sample as the day goes on (median of 3):\n");
  for (const Point& p : points) {
    {
      std::ofstream out(file_, std::ios::binary | std::ios::trunc);
      for (int i = 0; i < p.lines; ++i) out << line;
    }
    ui_.StringGrid2->setRowCount(p.lines + 1);
    std::array<double, 3> ms{Sample(), Sample(), Sample()};
    std::sort(ms.begin(), ms.end());
    EXPECT_EQ(ui_.StringGrid2->rowCount(), p.lines + 4) << p.what;
    text = FileText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), p.lines + 3) << p.what;
    EXPECT_EQ(text.substr(text.size() - 24), kLineEnd) << p.what;
    std::printf("  %-26s %6d lines, %8zu bytes: %7.1f ms\n", p.what, p.lines, text.size(), ms[1]);
    if (p.lines == 7855) dayAtDefault = ms[1];
  }
  // At the default period a day's sample must still fit the 1 s tick of the recording timer.
  EXPECT_LT(dayAtDefault, 1000);
}

}  // namespace
