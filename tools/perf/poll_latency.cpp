// tagris-perf-poll: times polls through the window's own code path.
//
// The window is built and shown as the program does, connected to a unit (the
// simulator) through its connect button, and then polled:
//   timed mode (default): Timer1 is stopped and its tick is run here, a poll
//     every --gap ms; each poll is timed from the tick that sends PollFrame to
//     the end of the wake-up in which the window showed the reply (ServeReplies:
//     Connection::Dispatch, then ProcessReply with the measurement update).
//     Prints median, 99th percentile, min, max in ms.
//   --idle S: Timer1 keeps its 500 ms pace for S seconds, as for an operator who
//     watches the values; the caller samples this process from outside.
//
// The end of the update is seen without touching the window's code: the reply
// reaches the main thread as a socket-notifier event of the window's
// MainThreadBell, and the application's notify() returns once that event (and so
// ProcessReply) has been dealt with. Controls and timers are found by their names.
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tform1.h"
#include "main_thread_bell.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string port = "/tmp/tagris-unit";
  std::string baud = "9600";
  std::string address = "5";
  int polls = 300;
  int warmup = 10;
  int gapMs = 20;
  int idleSeconds = 0;
  int rssEvery = 0;  // print the resident size every N polls (0: never)
  bool watchLine = false;  // count the times the receive thread reports the line lost
  std::string out;   // one latency per line, microseconds
};

void Usage() {
  std::fprintf(stderr,
               "usage: tagris-perf-poll [--port PATH] [--baud N] [--address N] [--polls N] [--warmup N]\n"
               "                        [--gap MS] [--rss-every N] [--out FILE] [--watch-line 1] | [--idle SECONDS]\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "-h" || a == "--help") return false;
    if (!(v = value())) return false;
    if (a == "--port") o.port = v;
    else if (a == "--baud") o.baud = v;
    else if (a == "--address") o.address = v;
    else if (a == "--polls") o.polls = std::atoi(v);
    else if (a == "--warmup") o.warmup = std::atoi(v);
    else if (a == "--gap") o.gapMs = std::atoi(v);
    else if (a == "--idle") o.idleSeconds = std::atoi(v);
    else if (a == "--rss-every") o.rssEvery = std::atoi(v);
    else if (a == "--out") o.out = v;
    else if (a == "--watch-line") o.watchLine = std::atoi(v) != 0;
    else return false;
  }
  return o.polls > 0 && o.warmup >= 0 && o.gapMs >= 0 && o.idleSeconds >= 0;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Ends a wait when the reply hand-over has been served on this thread.
class TimingApplication : public QApplication {
 public:
  using QApplication::QApplication;

  QEventLoop* waiting = nullptr;
  Clock::time_point servedAt{};
  Clock::duration serving{};  // time spent in the last hand-over (ProcessReply included)
  int served = 0;

  bool notify(QObject* receiver, QEvent* event) override {
    const bool isBell = event->type() == QEvent::SockAct && qobject_cast<QSocketNotifier*>(receiver) &&
                        qobject_cast<tagris::MainThreadBell*>(receiver->parent());
    const Clock::time_point start = isBell ? Clock::now() : Clock::time_point{};
    const bool result = QApplication::notify(receiver, event);
    if (isBell) {
      servedAt = Clock::now();
      serving = servedAt - start;
      ++served;
      if (waiting) waiting->quit();
    }
    return result;
  }
};

// Runs the event loop for ms milliseconds (repaints and stray events happen here).
void Idle(int ms) {
  if (ms <= 0) return;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

template <class T>
T* Control(const QObject& form, const char* name) {
  T* found = form.findChild<T*>(QString::fromLatin1(name));
  if (!found) {
    std::fprintf(stderr, "tagris-perf-poll: the window has no %s\n", name);
    std::exit(1);
  }
  return found;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  // Nearest rank: the smallest value with at least p of the samples at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TimingApplication app(argc, argv);
  TForm1 form;
  form.show();
  Idle(50);

  tagris::Connection& link = form.Connection();
  QTimer* timer1 = Control<QTimer>(form, "Timer1");
  QPlainTextEdit* memo = Control<QPlainTextEdit>(form, "Memo1");
  const auto tick = [timer1] { QMetaObject::invokeMethod(timer1, "timeout", Qt::DirectConnection); };
  Control<QComboBox>(form, "cmb_PORT")->setEditText(QString::fromStdString(o.port));
  Control<QComboBox>(form, "cmb_Speed")->setEditText(QString::fromStdString(o.baud));
  Control<QComboBox>(form, "cmb_Parity")->setCurrentIndex(0);
  Control<QComboBox>(form, "cmb_Stop")->setCurrentIndex(0);
  Control<QLineEdit>(form, "ed_Adr")->setText(QString::fromStdString(o.address));
  Control<QPushButton>(form, "bt_Connect")->click();
  if (!link.IsOpen()) {
    std::fprintf(stderr, "tagris-perf-poll: cannot connect to %s\n", o.port.c_str());
    return 1;
  }

  if (o.idleSeconds > 0) {
    std::printf("idle: polling every second at the window's own pace for %d s (pid %lld)\n", o.idleSeconds,
                static_cast<long long>(QCoreApplication::applicationPid()));
    std::fflush(stdout);
    Idle(o.idleSeconds * 1000);
    std::printf("idle: %d replies served, RSS %ld KiB\n", app.served, ResidentKiB());
    timer1->stop();
    link.Close();
    return app.served > 0 ? 0 : 1;
  }

  // The receive thread pauses a while after it finds the line lost; a watcher
  // thread counts how often that happens during the run (off unless asked).
  std::atomic<bool> watching{o.watchLine};
  std::atomic<int> lineLostEpisodes{0};
  std::thread watcher([&] {
    bool was = false;
    while (watching) {
      const bool now = link.PortLost();
      if (now && !was) ++lineLostEpisodes;
      was = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  timer1->stop();  // ticks come from here, at the pace asked for
  const QLineSeries* moisture = nullptr;
  for (QAbstractSeries* s : Control<QChartView>(form, "Chart1")->chart()->series())
    if (s->objectName() == QLatin1String("Series1")) moisture = qobject_cast<QLineSeries*>(s);
  // Room for every sample is taken (and touched) now, so that the resident size
  // printed on the way shows the window's memory, not these vectors filling up.
  const auto room = static_cast<std::size_t>(o.polls);
  std::vector<double> latencies(room), sending(room), serving(room);
  std::size_t timed = 0;
  int lost = 0;
  const int total = o.warmup + o.polls;
  for (int i = 0; i < total; ++i) {
    if (link.Cycle().PollPhase == 0) tick();  // the command slot: nothing pending, nothing sent
    Idle(o.gapMs);
    const int servedBefore = app.served;
    QEventLoop loop;
    app.waiting = &loop;
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    const Clock::time_point sent = Clock::now();
    tick();  // the poll slot: purge, PollFrame out
    const Clock::time_point ticked = Clock::now();
    if (app.served == servedBefore) loop.exec();
    app.waiting = nullptr;
    const QString last = memo->document()->lastBlock().text();
    if (app.served == servedBefore || !last.startsWith(QLatin1String("-->"))) {
      ++lost;
      continue;
    }
    if (i >= o.warmup) {
      const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
      latencies[timed] = ms(app.servedAt - sent);
      sending[timed] = ms(std::min(ticked, app.servedAt) - sent);
      serving[timed] = ms(app.serving);
      ++timed;
    }
    if (o.rssEvery > 0 && (i + 1 - o.warmup) % o.rssEvery == 0 && i >= o.warmup)
      std::printf("rss after %d polls: %ld KiB (points held %d)\n", i + 1 - o.warmup, ResidentKiB(),
                  moisture ? static_cast<int>(moisture->count()) : -1);
  }
  watching = false;
  watcher.join();
  link.Close();
  latencies.resize(timed);
  sending.resize(timed);
  serving.resize(timed);

  if (!o.out.empty()) {
    std::ofstream out(o.out);
    for (double ms : latencies) out << static_cast<long long>(std::llround(ms * 1000.0)) << '\n';
  }
  if (latencies.empty()) {
    std::fprintf(stderr, "tagris-perf-poll: no reply in %d polls\n", total);
    return 1;
  }
  std::printf("polls %zu lost %d median_ms %.3f p99_ms %.3f min_ms %.3f max_ms %.3f\n", latencies.size(), lost,
              Percentile(latencies, 0.5), Percentile(latencies, 0.99),
              *std::min_element(latencies.begin(), latencies.end()),
              *std::max_element(latencies.begin(), latencies.end()));
  // Where the time goes: the tick on the main thread (purge, frame handed to the
  // transmit thread, request trace line), and the wake-up that ran ProcessReply
  // (trace line, measurement update); the rest is threads, line and unit.
  std::printf("main-thread parts: tick median_ms %.3f, hand-over median_ms %.3f p99_ms %.3f\n",
              Percentile(sending, 0.5), Percentile(serving, 0.5), Percentile(serving, 0.99));
  if (o.watchLine) std::printf("line reported lost by the receive thread: %d times\n", lineLostEpisodes.load());
  return 0;
}
