// Soak run: the real window against the simulated unit, in one process, with line
// faults and operator actions at random for a number of minutes. It proves that the
// tool keeps working, shows and logs only what the unit really sent, writes complete
// files, never stalls its main thread and leaves no thread behind.
//
//   tagris_soak [--minutes N] [--seed N] [--report FILE]
//
// Prints a report ending in "soak: N passed, M failed"; exit code 1 when a check failed.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tform1.h"
#include "common/numfmt.h"
#include "measure/measure_text.h"
#include "measure/register_block.h"
#include "files.h"
#include "modal.h"
#include "modbus/crc.h"
#include "record/log_file.h"
#include "record/sample_file.h"
#include "serial/serial_link.h"
#include "simulator.h"
#include "window.h"

namespace fs = std::filesystem;
const QString kNoLinkText = QStringLiteral(" Нет связи с блоком");
namespace sim = tagris::unitsim;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr const char* kUsage = "usage: tagris_soak [--minutes N] [--seed N] [--report FILE] [--verbose]\n";
constexpr double kMaxBusyMs = 50;        // longest the main thread may run at a stretch
// The main thread off the CPU and not runnable. A virtual machine can be slow to resume
// an idle CPU, and other programs' disk writes can hold up ours: stretches of 60-200 ms
// were seen with the thread asleep in its event loop and no fault. So a stall over
// kStallMs is allowed now and then, never every poll (as a blocking read on the main
// thread would give), and none may come near the one-second poll.
constexpr double kStallMs = 100;
constexpr double kSecondsPerStall = 10;   // at most one stall in this many seconds
constexpr double kMaxStalledMs = 1000;
constexpr double kStallAbortSeconds = 5;  // the watchdog gives up on a main loop this late
constexpr int kSequenceRegister = 51;     // 51 and 52 are unused by the tool: a reply number

struct Options {
  double minutes = 1;
  std::uint32_t seed = 1;
  std::string report;
  bool verbose = false;  // every operator action and unit event on stderr, with its time
};

std::optional<Options> ParseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::string v = argv[++i];
    try {
      if (a == "--minutes")
        o.minutes = std::stod(v);
      else if (a == "--seed")
        o.seed = static_cast<std::uint32_t>(std::stoul(v));
      else if (a == "--report")
        o.report = v;
      else
        return std::nullopt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  if (!(o.minutes > 0)) return std::nullopt;
  return o;
}

// ----- process figures -----

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  return -1;
}

// Names of this process's threads, sorted.
std::vector<std::string> ThreadNames() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) {
    std::ifstream in(e.path() / "comm");
    std::string name;
    std::getline(in, name);
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ",") + x;
  return s;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// User plus system time of one thread of this process, from /proc.
double ThreadCpuSeconds(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::vector<std::string> f;
  for (std::string t; rest >> t;) f.push_back(t);
  if (f.size() < 13) return 0;  // f[0] is field 3 (state); utime is field 14, stime 15
  return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Nanoseconds the calling thread has spent waiting for a CPU while runnable: time the
// machine took from it, which says nothing about the program.
// Nanoseconds of CPU the calling thread has used.
std::int64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

std::int64_t RunQueueWaitNs() {
  std::ifstream in("/proc/thread-self/schedstat");
  std::int64_t run = 0, wait = 0;
  in >> run >> wait;
  return wait;
}

// ----- bytes and texts -----

std::string Hex(const Bytes& b, std::size_t n) {
  std::string s;
  char item[4];
  for (std::size_t i = 0; i < n && i < b.size(); ++i) {
    std::snprintf(item, sizeof item, "%02X", b[i]);
    s += item;
  }
  return s;
}

// Bytes of a hexadecimal text: "05 03 6C" (simulator), " 0x05 0x03" (the tool's trace)
// or "05036C" (the keys kept here). Stops at the first thing that is not a byte.
Bytes ParseHex(const std::string& text) {
  Bytes out;
  auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (text.compare(i, 2, "0x") == 0) i += 2;
    if (i + 1 >= text.size() || digit(text[i]) < 0 || digit(text[i + 1]) < 0) break;
    out.push_back(static_cast<std::uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
    i += 2;
  }
  return out;
}

// The bytes of a receive trace line "--> 0xHH ... 0xHH<---".
std::optional<Bytes> TraceBytes(const std::string& line) {
  if (line.rfind("-->", 0) != 0 || line.size() < 7 || line.compare(line.size() - 4, 4, "<---") != 0)
    return std::nullopt;
  Bytes b = ParseHex(line.substr(3, line.size() - 7));
  if (b.size() * 5 != line.size() - 7) return std::nullopt;
  return b;
}

// A complete answer of `address` to the poll, checked here independently of the tool.
bool SoundReply(const Bytes& b, std::uint8_t address) {
  return b.size() >= 113 && b[0] == address && b[1] == 0x03 && b[2] == 0x6C &&
         tagris::CrcMatches(std::span<const std::uint8_t>(b.data(), 113));
}

using tagris::test::ReadFileBytes;

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (;;) {
    const auto at = s.find(sep, from);
    out.push_back(s.substr(from, at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}

// Lines of a CR LF file; false in *complete when a line lacks its CR LF or a lone CR/LF shows up.
std::vector<std::string> CrLfLines(const std::string& text, bool* complete) {
  std::vector<std::string> lines;
  *complete = true;
  std::size_t from = 0;
  while (from < text.size()) {
    const auto lf = text.find('\n', from);
    if (lf == std::string::npos || lf == from || text[lf - 1] != '\r') {
      *complete = false;
      return lines;
    }
    std::string line = text.substr(from, lf - 1 - from);
    if (line.find('\r') != std::string::npos) *complete = false;
    lines.push_back(std::move(line));
    from = lf + 1;
  }
  return lines;
}

void Pump(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// ----- what the simulator sent, recorded from its event stream (worker thread) -----

struct SimRecord {
  std::mutex m;
  long tid = 0;
  std::uint32_t sequence = 0;
  std::map<std::string, int> pollRepliesByFault;  // "" = un-faulted
  std::set<std::string> goodBlocks;               // hex of 113 bytes sent with intact data
  std::vector<std::string> deliverable;           // un-faulted, bursts, trailing: the tool should take them
  std::vector<std::pair<int, int>> writesApplied;  // (register, value)
  std::vector<Clock::time_point> hangups;
  int echoes = 0;
};

struct Check {
  std::string name;
  bool ok;
  std::string detail;
};

struct LogRecord {
  std::string path;
};

class Soak {
 public:
  explicit Soak(const Options& o) : opt_(o), rng_(o.seed) {}
  int Run();

 private:
  // Operator actions.
  bool Connect();
  void Disconnect();
  void Reconnect(const char* why);
  void ConfigCommand();
  void AddressChange();
  void ToggleLog();
  void ToggleSampling();
  void NextFaultPhase();
  void Settle();

  // Observers.
  void OnMemoChange(int position, int added);
  void Flush();
  void OnTick10ms();

  bool HangupUnnoticed() {
    std::lock_guard lock(rec_.m);
    return rec_.hangups.size() > hangupsSeen_;
  }
  void Verify();
  void Add(const std::string& name, bool ok, const std::string& detail = {}) { checks_.push_back({name, ok, detail}); }
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  void SetActivity(const char* a) {
    activity_.store(a);
    if (opt_.verbose && std::string_view(a) != "idle") Say(std::string("operator: ") + a);
  }
  void Say(const std::string& what) const {
    const double t = std::chrono::duration<double>(Clock::now() - started_).count();
    std::fprintf(stderr, "%8.3f %s\n", t, what.c_str());
  }

  Options opt_;
  std::mt19937 rng_;
  Clock::time_point started_ = Clock::now();
  std::string dir_;
  std::unique_ptr<TForm1> form_;
  std::optional<tagris::test::Controls> ui_;
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<tagris::test::ModalAnswerer> answerer_;
  std::vector<tagris::test::SeenBox> boxes_;
  SimRecord rec_;
  std::vector<Check> checks_;

  // Tool side, main thread.
  std::uint8_t polledAddress_ = 0;
  std::vector<std::string> pendingLines_;
  bool flushQueued_ = false;
  double lastPlotTime_ = 0;
  long traced_ = 0, accepted_ = 0, rejected_ = 0, disagreements_ = 0;
  std::string firstDisagreement_;
  long pollsSent_ = 0, commandsSent_ = 0;
  std::vector<std::pair<int, int>> commandFrames_;  // (register, value) traced as sent
  struct Shown {
    std::string hex;
    QString curr, tout;
  };
  std::vector<Shown> shown_;
  std::map<std::string, int> acceptedHex_;
  std::set<QString> labelTexts_;

  // Operator bookkeeping.
  int connects_ = 0, connectFailures_ = 0, disconnects_ = 0, reconnectsForNoLink_ = 0, addressChanges_ = 0;
  int commandsClicked_ = 0, logOpened_ = 0, logCancelled_ = 0, logDialogProblems_ = 0, sampleRuns_ = 0;
  long sampleRows_ = 0;
  bool sampling_ = false;
  std::vector<LogRecord> logs_;
  std::optional<QString> nextDialogAnswer_;
  int logSerial_ = 0;
  std::vector<std::string> faultPhases_;
  std::vector<int> phaseBag_;
  double maxNoLinkAfterHangupS_ = 0;
  std::size_t hangupsSeen_ = 0;
  bool reconnectFailed_ = false;
  std::optional<Clock::time_point> noLinkSince_;

  // Main-thread timing.
  QTimer tick10_;
  Clock::time_point lastTick_{};
  // Between two ticks the thread either ran (busy), waited for a CPU, or sat off it.
  double maxBusyMs_ = 0;
  double maxStalledMs_ = 0;
  double maxWallGapMs_ = 0;
  std::int64_t lastWaitNs_ = 0, lastCpuNs_ = 0;
  std::string maxBusyActivity_, maxStalledActivity_;
  const char* lastActivity_ = "start";
  long busyOver_ = 0, stalledOver_ = 0, ticks_ = 0;
  std::atomic<std::int64_t> heartbeatMs_{0};
  std::atomic<const char*> activity_{"start"};
};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// ----- observers -----

// Every line the window adds to its trace memo passes here; a receive line is judged
// once the reply handler has returned (the labels then show what it did).
void Soak::OnMemoChange(int position, int added) {
  if (added <= 0) return;
  // Each line comes in at the end (with the first one dropped in the same change
  // once there are five): a change that reaches the end brought the last line.
  QTextDocument* doc = ui_->Memo1->document();
  if (position + added < doc->characterCount() - 1) return;
  const QString text = doc->lastBlock().text();
  const std::string line = text.toStdString();
  if (line.rfind("-->", 0) == 0) {
    ++traced_;
    pendingLines_.push_back(line);
    if (!flushQueued_) {
      flushQueued_ = true;
      QTimer::singleShot(0, form_.get(), [this] { Flush(); });
    }
  } else if (line.rfind("<--", 0) == 0) {
    const Bytes f = ParseHex(line.substr(3));
    if (f.size() == 8 && f[1] == 0x03) ++pollsSent_;
    if (f.size() == 8 && f[1] == 0x06) {
      ++commandsSent_;
      commandFrames_.emplace_back(f[2] << 8 | f[3], f[4] << 8 | f[5]);
    }
  }
}

void Soak::Flush() {
  flushQueued_ = false;
  if (pendingLines_.empty()) return;
  // The charts' time axis counts the replies the window took since the connect.
  QLineSeries* moisture = tagris::test::SeriesOf(ui_->Chart1, "Series1");
  const double plotTime = moisture->count() > 0 ? moisture->at(moisture->count() - 1).x() : 0;
  const long delta = std::lround(plotTime - lastPlotTime_);
  lastPlotTime_ = plotTime;
  long sound = 0;
  std::string lastSound;
  for (const auto& line : pendingLines_) {
    const auto b = TraceBytes(line);
    if (b && SoundReply(*b, polledAddress_)) {
      ++sound;
      lastSound = Hex(*b, 113);
      ++acceptedHex_[lastSound];
    }
  }
  accepted_ += delta;
  rejected_ += static_cast<long>(pendingLines_.size()) - delta;
  if (delta != sound) {
    if (disagreements_++ == 0)
      firstDisagreement_ = std::to_string(pendingLines_.size()) + " lines, " + std::to_string(sound) +
                           " sound, chart +" + std::to_string(delta) + ": " + pendingLines_.back().substr(0, 80);
  } else if (sound > 0) {
    shown_.push_back({lastSound, ui_->lb_Curr->text(), ui_->lb_TOUT->text()});
  }
  pendingLines_.clear();
}

void Soak::OnTick10ms() {
  const auto now = Clock::now();
  const std::int64_t waitNs = RunQueueWaitNs();
  const std::int64_t cpuNs = ThreadCpuNs();
  heartbeatMs_ = NowMs();
  if (lastTick_ != Clock::time_point{}) {
    const double gap = std::chrono::duration<double, std::milli>(now - lastTick_).count();
    const double busy = (cpuNs - lastCpuNs_) / 1e6;
    // Less the 10 ms the timer is meant to sleep.
    const double stalled = gap - busy - (waitNs - lastWaitNs_) / 1e6 - 10;
    ++ticks_;
    // What the soak was doing when the gap began and when it ended.
    const char* now_doing = activity_.load();
    const std::string activity =
        std::string_view(lastActivity_) == now_doing ? now_doing : std::string(lastActivity_) + "\" to \"" + now_doing;
    if (busy > kMaxBusyMs) {
      ++busyOver_;
      if (opt_.verbose) Say("main thread busy " + std::to_string(std::lround(busy)) + " ms during \"" + activity + "\"");
    }
    if (stalled > kStallMs) {
      ++stalledOver_;
      if (opt_.verbose)
        Say("main thread stalled " + std::to_string(std::lround(stalled)) + " ms during \"" + activity + "\"");
    }
    maxWallGapMs_ = std::max(maxWallGapMs_, gap);
    if (busy > maxBusyMs_) {
      maxBusyMs_ = busy;
      maxBusyActivity_ = activity;
    }
    if (stalled > maxStalledMs_) {
      maxStalledMs_ = stalled;
      maxStalledActivity_ = activity;
    }
  }
  lastTick_ = now;
  lastWaitNs_ = waitNs;
  lastCpuNs_ = cpuNs;
  lastActivity_ = activity_.load();
  labelTexts_.insert(ui_->lb_Curr->text());
  labelTexts_.insert(ui_->lb_TOUT->text());
}

// ----- operator actions -----

bool Soak::Connect() {
  SetActivity("connect");
  Flush();
  ui_->cmb_PORT->setEditText(QString::fromStdString(sim_->LinkPath()));
  // The operator knows the unit's address (its display shows it).
  polledAddress_ = sim_->Address();
  ui_->ed_Adr->setText(QString::number(polledAddress_));
  ui_->bt_Connect->click();
  if (!form_->Connection().IsOpen()) {
    ++connectFailures_;
    return false;
  }
  ++connects_;
  lastPlotTime_ = 0;
  noLinkSince_.reset();
  {
    // Hang-ups before this connect are behind us.
    std::lock_guard lock(rec_.m);
    hangupsSeen_ = rec_.hangups.size();
  }
  return true;
}

void Soak::Disconnect() {
  SetActivity("disconnect");
  Flush();
  ui_->bt_Connect->click();  // "Вы уверены?" answered OK
  Flush();
  if (!form_->Connection().IsOpen()) ++disconnects_;
}

// Disconnect, wait a moment, connect again; retries while the line is away.
void Soak::Reconnect(const char* why) {
  if (form_->Connection().IsOpen()) Disconnect();
  Pump(Uniform(200, 1500));
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (!Connect()) {
    if (Clock::now() > deadline) {
      reconnectFailed_ = true;
      Add(std::string("reconnect after ") + why, false, "the port could not be opened again for 15 s");
      return;
    }
    SetActivity("waiting for the line");
    Pump(500);
  }
}

void Soak::ConfigCommand() {
  SetActivity("configuration command");
  auto* ui = &*ui_;
  switch (Uniform(1, 4)) {
    case 1:
      ui->ed_Chan->setText(QString::number(Uniform(0, 16)));  // 0 and 15+ are clamped by the tool
      ui->Button1->click();
      break;
    case 2:
      ui->ed_Chan->setText(QString::number(Uniform(1, 14)));
      ui->ed_Sort->setText(QString::number(Uniform(-100, 99) / 10.0, 'f', 1));
      ui->Button2->click();
      break;
    case 3:
      ui->ed_Chan->setText(QString::number(Uniform(1, 14)));
      ui->ed_Sol->setText(QString::number(Uniform(900, 1200) / 10.0, 'f', 1));
      ui->Button3->click();
      break;
    default:
      ui->cmb_Rate->setCurrentIndex(Uniform(0, ui->cmb_Rate->count() - 1));
      ui->cmb_Par->setCurrentIndex(Uniform(0, ui->cmb_Par->count() - 1));
      (Uniform(0, 1) ? ui->rb_2 : ui->rb_1)->setChecked(true);
      ui->Button4->click();
      break;
  }
  ++commandsClicked_;
}

// New unit address: the command goes out, then the operator reconnects with it.
void Soak::AddressChange() {
  SetActivity("address change");
  int address = Uniform(1, 126);
  if (address >= sim_->Address()) ++address;
  ui_->ed_AdrNew->setText(QString::number(address));
  ui_->Button5->click();
  ++commandsClicked_;
  ++addressChanges_;
  tagris::test::WaitFor([&] { return !form_->Connection().Cycle().CommandPending; }, 3000);
  Pump(1200);
  Reconnect("address change");
}

void Soak::ToggleLog() {
  auto* box = ui_->chk_Write;
  if (box->isChecked()) {
    SetActivity("log off");
    box->setChecked(false);
    return;
  }
  SetActivity("log on (save dialog)");
  const bool cancel = Uniform(0, 4) == 0;
  const std::string path = dir_ + "/log-" + std::to_string(++logSerial_);  // the tool adds ".txt"
  nextDialogAnswer_ = cancel ? std::nullopt : std::optional<QString>(QString::fromStdString(path));
  box->setChecked(true);  // the box is hidden and disabled: the program's own way of checking it
  if (cancel) {
    ++logCancelled_;
    if (box->isChecked() || form_->Connection().Log().IsOpen()) ++logDialogProblems_;
    return;
  }
  if (box->isChecked() && form_->Connection().Log().IsOpen()) {
    ++logOpened_;
    logs_.push_back({path + ".txt"});
  } else {
    ++logDialogProblems_;
  }
}

void Soak::ToggleSampling() {
  auto* ui = &*ui_;
  if (sampling_) {
    SetActivity("sample stop");
    ui->Button8->click();
    sampleRows_ += ui->StringGrid2->rowCount() - 1;
    sampling_ = false;
    return;
  }
  SetActivity("sample start");
  static const char* periods[] = {"1", "2", "-1", "3"};
  ui->Edit1->setText(QString::fromLatin1(periods[Uniform(0, 3)]));
  ui->Button7->click();
  sampling_ = ui_->Timer2->isActive();
  if (sampling_) ++sampleRuns_;
}

void Soak::NextFaultPhase() {
  SetActivity("fault phase");
  static const sim::FaultKind kinds[] = {
      sim::FaultKind::None,    sim::FaultKind::BadCrc, sim::FaultKind::WrongAddress, sim::FaultKind::Silent,
      sim::FaultKind::Bursts,  sim::FaultKind::Trailing, sim::FaultKind::Flood,      sim::FaultKind::Mix,
      sim::FaultKind::Hangup,  // a hang-up now, then a clean line
  };
  if (phaseBag_.empty()) {
    for (int i = 0; i < static_cast<int>(std::size(kinds)); ++i) phaseBag_.push_back(i);
    std::shuffle(phaseBag_.begin(), phaseBag_.end(), rng_);
  }
  const sim::FaultKind kind = kinds[phaseBag_.back()];
  phaseBag_.pop_back();
  if (kind == sim::FaultKind::Hangup) {
    sim_->SetFault(sim::FaultKind::None);
    sim_->HangUp();
    faultPhases_.push_back("hang-up");
    return;
  }
  const double rate = Uniform(30, 100) / 100.0;
  sim_->SetFault(kind, rate);
  faultPhases_.push_back(std::string(sim::FaultName(kind)) + (kind == sim::FaultKind::None ? "" : "@" + QString::number(rate, 'f', 2).toStdString()));
}

// A clean line at the end: the tool must come back to showing what the unit holds.
void Soak::Settle() {
  SetActivity("settle");
  sim_->SetFault(sim::FaultKind::None);
  if (!form_->Connection().IsOpen() || form_->Connection().PortLost()) Reconnect("settle");
  const long before = accepted_;
  tagris::test::WaitFor([&] {
    Flush();
    return accepted_ >= before + 3;
  }, 12000);
  Add("replies accepted again on a clean line at the end", accepted_ >= before + 3,
      std::to_string(accepted_ - before) + " in 12 s");

  // The configuration shown is what the unit holds.
  const auto regs = sim_->Registers();
  const tagris::MeasurementTexts want = tagris::RenderMeasurementTexts(tagris::DecodeRegisters(regs));
  auto* ui = &*ui_;
  std::string diff;
  auto same = [&](const char* what, const QString& shown, const std::string& expected) {
    if (shown.toStdString() != expected) diff += std::string(what) + " '" + shown.toStdString() + "' != '" + expected + "'; ";
  };
  same("lb_Baud", ui->lb_Baud->text(), want.baud);
  same("lb_Par", ui->lb_Par->text(), want.parity);
  same("lb_Stop", ui->lb_Stop->text(), want.stop);
  same("lb_Chan", ui->lb_Chan->text(), want.channel);
  for (int k = 1; k <= tagris::kChannelCount; ++k) {
    same("grade", ui->StringGrid1->item(k, 1)->text(), want.grade[k - 1]);
    same("salinity", ui->StringGrid1->item(k, 2)->text(), want.salinity[k - 1]);
  }
  Add("settings shown equal the unit's registers", diff.empty(), diff);

  if (sampling_) ToggleSampling();
  if (ui->chk_Write->isChecked()) ToggleLog();
  Disconnect();
  Pump(300);
  Flush();
}

// ----- run -----

int Soak::Run() {
  std::string pattern = (fs::temp_directory_path() / "tagris-soak-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  dir_ = pattern;

  form_ = std::make_unique<TForm1>();
  ui_.emplace(*form_);
  form_->SetSampleDir(QString::fromStdString(dir_));
  form_->show();
  Pump(200);
  QObject::connect(ui_->Memo1->document(), &QTextDocument::contentsChange, form_.get(),
                   [this](int position, int, int added) { OnMemoChange(position, added); });

  QThreadPool::globalInstance()->waitForDone(3000);  // start-up work of Qt's pool is over
  const std::vector<std::string> threadsBefore = ThreadNames();
  const long rssStartKb = StatusKb("VmRSS");

  sim::SimulatorOptions so;
  so.linkPath = dir_ + "/unit";
  so.address = static_cast<std::uint8_t>(Uniform(1, 127));
  so.seed = opt_.seed;
  so.hangupTime = std::chrono::milliseconds(1500);
  so.traceFrames = true;
  so.onEvent = [this](const std::string& e) {
    std::lock_guard lock(rec_.m);
    if (opt_.verbose) Say("unit: " + e.substr(0, 60));
    if (rec_.tid == 0) rec_.tid = static_cast<long>(::syscall(SYS_gettid));
    if (e.rfind("<-- ", 0) == 0) {
      // Every reply carries a number of its own, so each one is told apart later.
      ++rec_.sequence;
      sim_->SetRegister(kSequenceRegister, static_cast<std::uint16_t>(rec_.sequence & 0xFFFF));
      sim_->SetRegister(kSequenceRegister + 1, static_cast<std::uint16_t>(rec_.sequence >> 16));
    } else if (e.rfind("--> ", 0) == 0) {
      const auto tag = e.find("  [");
      const std::string fault = tag == std::string::npos ? "" : e.substr(tag + 3, e.find(']', tag) - tag - 3);
      const Bytes b = ParseHex(e.substr(4, tag == std::string::npos ? std::string::npos : tag - 4));
      if (b.size() >= 113 && b[1] == 0x03 && b[2] == 0x6C) {
        ++rec_.pollRepliesByFault[fault];
        const bool intact = fault.empty() || fault == "bursts" || fault == "trailing" || fault == "flood";
        if (intact) rec_.goodBlocks.insert(Hex(b, 113));
        if (fault.empty() || fault == "bursts" || fault == "trailing") rec_.deliverable.push_back(Hex(b, 113));
      } else if (b.size() == 8) {
        ++rec_.echoes;
      }
    } else if (e.rfind("Line hung up", 0) == 0) {
      rec_.hangups.push_back(Clock::now());
    } else if (e.rfind("Register ", 0) == 0) {
      int reg = 0, value = 0;
      if (std::sscanf(e.c_str(), "Register %d set to %d", &reg, &value) == 2) rec_.writesApplied.emplace_back(reg, value);
    }
  };
  sim_ = std::make_unique<sim::Simulator>(so);
  sim_->Start();

  answerer_ = std::make_unique<tagris::test::ModalAnswerer>(
      std::vector<QMessageBox::StandardButton>{QMessageBox::Ok}, [this](QWidget* w) {
        tagris::test::AnswerFileDialog(w, nextDialogAnswer_ ? &*nextDialogAnswer_ : nullptr);
      });

  // Watchdog: a main loop that stops turning is a hang; say where and give up.
  heartbeatMs_ = NowMs();
  std::atomic<bool> watchdogStop{false};
  std::thread watchdog([&] {
    while (!watchdogStop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double late = (NowMs() - heartbeatMs_.load()) / 1000.0;
      if (late > kStallAbortSeconds) {
        std::fprintf(stderr, "soak: main loop stalled for %.1f s during \"%s\"; aborting\n", late, activity_.load());
        std::fflush(stderr);
        std::abort();
      }
    }
  });
  tick10_.setTimerType(Qt::PreciseTimer);
  tick10_.setInterval(10);
  QObject::connect(&tick10_, &QTimer::timeout, [this] { OnTick10ms(); });
  tick10_.start();

  const auto wallStart = Clock::now();
  const double cpuStart = ProcessCpuSeconds();
  const auto end = wallStart + std::chrono::milliseconds(static_cast<long long>(opt_.minutes * 60000));

  if (!Connect()) Add("first connect", false, sim_->LinkPath());
  auto nextPhase = Clock::now() + std::chrono::seconds(2);
  auto nextAction = Clock::now() + std::chrono::milliseconds(Uniform(500, 2500));
  while (Clock::now() < end && !reconnectFailed_) {
    SetActivity("idle");
    Pump(50);
    // What the operator sees: the no-link text. After a hang-up the line only comes back
    // for a new connection, so that is what the operator makes.
    // The countdown is not reset at connect, so the text may show for a moment after a
    // connect: the operator acts on a text that stays.
    const bool noLink = form_->Connection().IsOpen() && ui_->lb_connect->text() == kNoLinkText;
    if (!noLink) {
      noLinkSince_.reset();
    } else if (!noLinkSince_) {
      noLinkSince_ = Clock::now();
      std::lock_guard lock(rec_.m);
      if (rec_.hangups.size() > hangupsSeen_) {
        maxNoLinkAfterHangupS_ = std::max(
            maxNoLinkAfterHangupS_, std::chrono::duration<double>(Clock::now() - rec_.hangups[hangupsSeen_]).count());
        hangupsSeen_ = rec_.hangups.size();
      }
      if (opt_.verbose) Say("tool: no link shown");
    } else if (Clock::now() - *noLinkSince_ > std::chrono::milliseconds(2500)) {
      ++reconnectsForNoLink_;
      Reconnect("no link");
      continue;
    }
    if (!form_->Connection().IsOpen()) {
      Connect();
      Pump(300);
      continue;
    }
    if (Clock::now() >= nextPhase) {
      NextFaultPhase();
      nextPhase = Clock::now() + std::chrono::milliseconds(Uniform(3000, 6000));
    }
    if (Clock::now() >= nextAction) {
      const int pick = Uniform(0, 99);
      if (pick < 40)
        ConfigCommand();
      else if (pick < 55)
        ToggleLog();
      else if (pick < 70)
        ToggleSampling();
      else if (HangupUnnoticed())
        ;  // leave the lost line to the tool's own watchdog text
      else if (pick < 90)
        Reconnect("operator");
      else if (addressChanges_ < 2)
        AddressChange();
      nextAction = Clock::now() + std::chrono::milliseconds(Uniform(1000, 4000));
    }
  }
  if (!reconnectFailed_) Settle();
  tick10_.stop();

  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const double cpu = ProcessCpuSeconds() - cpuStart;
  long simTid;
  {
    std::lock_guard lock(rec_.m);
    simTid = rec_.tid;
  }
  const double simCpu = simTid ? ThreadCpuSeconds(simTid) : 0;
  const long rssEndKb = StatusKb("VmRSS");
  const sim::SimulatorStats stats = sim_->Stats();
  sim_->Stop();
  boxes_ = answerer_->seen();
  answerer_.reset();
  QThreadPool::globalInstance()->waitForDone(3000);  // idle pool threads would otherwise linger 30 s
  Pump(100);
  const std::vector<std::string> threadsAfter = ThreadNames();
  watchdogStop = true;
  watchdog.join();
  // Every thread now running was there before the run (the watchdog aside).
  std::vector<std::string> leftBehind;
  {
    std::vector<std::string> before = threadsBefore;
    before.push_back("tagris_soak");  // the watchdog carries the program's name
    std::sort(before.begin(), before.end());
    std::set_difference(threadsAfter.begin(), threadsAfter.end(), before.begin(), before.end(),
                        std::back_inserter(leftBehind));
  }

  Verify();

  // ----- report -----
  std::ostringstream r;
  char line[512];
  std::snprintf(line, sizeof line, "soak: seed %u, %.2f min, unit address %d at start, work dir %s\n", opt_.seed,
                opt_.minutes, so.address, dir_.c_str());
  r << line;
  std::string phases;
  for (const auto& p : faultPhases_) phases += (phases.empty() ? "" : ", ") + p;
  r << "fault phases: " << phases << "\n";
  {
    std::lock_guard lock(rec_.m);
    long poll = 0;
    std::string kinds;
    for (const auto& [k, n] : rec_.pollRepliesByFault) {
      poll += n;
      kinds += " " + (k.empty() ? std::string("clean") : k) + "=" + std::to_string(n);
    }
    std::snprintf(line, sizeof line,
                  "simulator: requests %llu, poll replies %ld (%s ), write echoes %d, writes applied %zu, "
                  "faults %llu, hang-ups %llu, line back %llu\n",
                  static_cast<unsigned long long>(stats.requestsSeen), poll, kinds.c_str() + 1, rec_.echoes,
                  rec_.writesApplied.size(), static_cast<unsigned long long>(stats.faultsInjected),
                  static_cast<unsigned long long>(stats.hangups), static_cast<unsigned long long>(stats.reopens));
    r << line;
  }
  std::snprintf(line, sizeof line,
                "tool: polls sent %ld, replies traced %ld, accepted %ld, rejected %ld, commands sent %ld\n", pollsSent_,
                traced_, accepted_, rejected_, commandsSent_);
  r << line;
  std::snprintf(line, sizeof line,
                "operator: connects %d (refused while the line was away %d), disconnects %d (for no link %d), "
                "address changes %d, commands clicked %d, log files %d (dialog cancelled %d), sample runs %d "
                "(rows %ld)\n",
                connects_, connectFailures_, disconnects_, reconnectsForNoLink_, addressChanges_, commandsClicked_,
                logOpened_, logCancelled_, sampleRuns_, sampleRows_);
  r << line;
  std::snprintf(line, sizeof line,
                "main thread: %ld ticks of 10 ms; longest gap %.1f ms on the wall clock; longest busy %.1f ms "
                "(during \"%s\"), %ld over %.0f ms; longest off the CPU and not waiting for one %.1f ms (during "
                "\"%s\"), %ld over %.0f ms\n",
                ticks_, maxWallGapMs_, maxBusyMs_, maxBusyActivity_.c_str(), busyOver_, kMaxBusyMs, maxStalledMs_,
                maxStalledActivity_.c_str(), stalledOver_, kStallMs);
  r << line;
  std::snprintf(line, sizeof line,
                "cpu: process %.2f s in %.1f s wall (%.1f %%), simulator thread %.3f s, tool %.2f s (%.1f %% of one "
                "core)\n",
                cpu, wall, 100 * cpu / wall, simCpu, cpu - simCpu, 100 * (cpu - simCpu) / wall);
  r << line;
  std::snprintf(line, sizeof line, "memory: VmRSS %ld KiB at start, %ld KiB at end (%+ld KiB)\n", rssStartKb,
                rssEndKb, rssEndKb - rssStartKb);
  r << line;
  r << "threads: before the run [" << Joined(threadsBefore) << "], after it [" << Joined(threadsAfter)
    << "] (the watchdog included)\n";
  std::snprintf(line, sizeof line, "no link shown at most %.1f s after a hang-up\n", maxNoLinkAfterHangupS_);
  r << line;
  Add("no thread left behind", leftBehind.empty(),
      std::to_string(threadsBefore.size()) + " before, " + std::to_string(threadsAfter.size() - 1) + " after" +
          (leftBehind.empty() ? "" : ", new: " + Joined(leftBehind)));
  Add("the tool uses under 20 % of one core", (cpu - simCpu) / wall < 0.20,
      QString::number(100 * (cpu - simCpu) / wall, 'f', 1).toStdString() + " %");
  Add("VmRSS grows by less than 32 MiB", rssEndKb - rssStartKb < 32 * 1024,
      std::to_string(rssEndKb - rssStartKb) + " KiB");
  Add("main thread never busy longer than 50 ms", maxBusyMs_ <= kMaxBusyMs,
      QString::number(maxBusyMs_, 'f', 1).toStdString() + " ms during \"" + maxBusyActivity_ + "\"");
  Add("main thread never off the CPU for a second", maxStalledMs_ < kMaxStalledMs,
      QString::number(maxStalledMs_, 'f', 1).toStdString() + " ms during \"" + maxStalledActivity_ + "\"");
  Add("main thread off the CPU over 100 ms at most once in 10 s", stalledOver_ <= wall / kSecondsPerStall,
      std::to_string(stalledOver_) + " times in " + QString::number(wall, 'f', 0).toStdString() + " s");

  int passed = 0, failed = 0;
  for (const Check& c : checks_) {
    (c.ok ? passed : failed)++;
    r << (c.ok ? "  ok    " : "  FAIL  ") << c.name << (c.detail.empty() ? "" : ": " + c.detail) << "\n";
  }
  r << "soak: " << passed << " passed, " << failed << " failed\n";
  std::fputs(r.str().c_str(), stdout);
  std::fflush(stdout);
  if (!opt_.report.empty()) std::ofstream(opt_.report, std::ios::binary) << r.str();
  if (failed == 0) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  return failed == 0 ? 0 : 1;
}

// ----- checks on everything recorded -----

void Soak::Verify() {
  std::lock_guard lock(rec_.m);
  const auto& good = rec_.goodBlocks;

  // Values shown: each accepted reply was one the unit sent intact, and the labels showed it.
  std::set<QString> allowed{QStringLiteral("W =  0.0 %об."), QStringLiteral("Влага: 0.0 %"),
                            QStringLiteral("Temp = -00.0 C")};
  std::set<std::string> sampleAllowed{".0"};
  for (const auto& hex : good) {
    const Bytes b = ParseHex(hex);
    const auto block = tagris::DecodeRegisterBlock(b.data());
    const auto text = tagris::RenderMeasurementTexts(block);
    allowed.insert(QString::fromStdString(text.moisture));
    allowed.insert(QString::fromStdString(text.temperature));
    const auto kept = tagris::KeptValues(block);
    sampleAllowed.insert(tagris::SampleValueText(kept.temperature));
    sampleAllowed.insert(tagris::SampleValueText(kept.moisture));
  }
  long foreign = 0, mismatched = 0;
  std::string firstBad;
  for (const Shown& s : shown_) {
    if (!good.count(s.hex)) {
      if (foreign++ == 0) firstBad = s.hex.substr(0, 40);
      continue;
    }
    const Bytes b = ParseHex(s.hex);
    const auto text = tagris::RenderMeasurementTexts(tagris::DecodeRegisterBlock(b.data()));
    if (s.curr.toStdString() != text.moisture || s.tout.toStdString() != text.temperature) ++mismatched;
  }
  Add("every accepted reply is one the unit sent intact", foreign == 0,
      std::to_string(shown_.size()) + " checked" +
          (firstBad.empty() ? "" : ", " + std::to_string(foreign) + " not, first " + firstBad));
  Add("labels show the values of the reply just accepted", mismatched == 0, std::to_string(mismatched) + " differ");
  long badLabels = 0;
  std::string firstLabel;
  for (const QString& t : labelTexts_)
    if (!allowed.count(t) && badLabels++ == 0) firstLabel = t.toStdString();
  Add("lb_Curr and lb_TOUT never show a value the unit did not send", badLabels == 0,
      std::to_string(labelTexts_.size()) + " texts seen" + (firstLabel.empty() ? "" : ", first bad '" + firstLabel + "'"));
  Add("the tool accepts exactly the sound replies", disagreements_ == 0,
      std::to_string(disagreements_) + " disagreements" + (firstDisagreement_.empty() ? "" : ", first: " + firstDisagreement_));
  long duplicates = 0;
  for (const auto& [hex, n] : acceptedHex_) duplicates += n - 1;
  Add("no reply accepted twice", duplicates == 0, std::to_string(duplicates));

  // Missed: replies the unit sent whole that the tool never took. A reply in flight can
  // be lost to a disconnect or to a hang-up of the line; nothing else may lose one.
  long missed = 0;
  for (const auto& hex : rec_.deliverable)
    if (!acceptedHex_.count(hex)) ++missed;
  const long allowance = disconnects_ + static_cast<long>(rec_.hangups.size()) + 1;
  Add("good replies missed only around disconnects and hang-ups", missed <= allowance,
      std::to_string(missed) + " missed of " + std::to_string(rec_.deliverable.size()) + ", allowance " +
          std::to_string(allowance));

  // Commands: the unit applied only what the tool sent.
  std::multiset<std::pair<int, int>> sent(commandFrames_.begin(), commandFrames_.end());
  long phantom = 0;
  for (const auto& w : rec_.writesApplied) {
    auto it = sent.find(w);
    if (it == sent.end())
      ++phantom;
    else
      sent.erase(it);
  }
  Add("the unit applied only commands the tool sent", phantom == 0,
      std::to_string(rec_.writesApplied.size()) + " applied of " + std::to_string(commandFrames_.size()) + " sent");
  Add("the link came back after every hang-up", maxNoLinkAfterHangupS_ < 8.0 && !reconnectFailed_,
      "no-link text at most " + QString::number(maxNoLinkAfterHangupS_, 'f', 1).toStdString() + " s after");

  // Log files: header, six fields, CR LF, count from the connect going up by one, values intact.
  const std::string header = tagris::LogHeader();
  long logLines = 0;
  std::string logProblem;
  for (const LogRecord& log : logs_) {
    const std::string text = ReadFileBytes(log.path);
    if (text.compare(0, header.size(), header) != 0) {
      logProblem += log.path + ": header; ";
      continue;
    }
    bool complete = false;
    const auto lines = CrLfLines(text.substr(header.size()), &complete);
    if (!complete) logProblem += log.path + ": a line without CR LF; ";
    double previous = -1;
    for (const auto& l : lines) {
      ++logLines;
      const auto f = Split(l, '\t');
      if (f.size() != 6) {
        logProblem += log.path + ": " + std::to_string(f.size()) + " fields; ";
        break;
      }
      const double count = std::atof(f[0].c_str());
      if (previous >= 0 && count != previous + 1) logProblem += log.path + ": count " + f[0] + " after " + std::to_string(previous) + "; ";
      previous = count;
      const auto b = TraceBytes(f[3]);
      if (!b || !good.count(Hex(*b, 113))) {
        logProblem += log.path + ": a reply the unit did not send intact; ";
        continue;
      }
      const auto block = tagris::DecodeRegisterBlock(b->data());
      if (f[1] != tagris::FormatFloat("#000.0000", block.moisture) || f[2] != f[1] ||
          f[4] != tagris::FormatFloat("#00.0", tagris::KeptValues(block).temperature) || f[5] != "00.0")
        logProblem += log.path + ": values differ from the reply: " + l.substr(0, 30) + "; ";
    }
  }
  Add("log files complete and true to the replies", logProblem.empty(),
      std::to_string(logs_.size()) + " files, " + std::to_string(logLines) + " lines" +
          (logProblem.empty() ? "" : "; " + logProblem.substr(0, 400)));

  // Sample file: five fields each ending ";", CR LF, one line per table row, values intact.
  const std::string samplePath = dir_ + "//" + tagris::kSampleFileName;
  std::string sampleProblem;
  std::size_t sampleLines = 0;
  if (fs::exists(samplePath)) {
    bool complete = false;
    const auto lines = CrLfLines(ReadFileBytes(samplePath), &complete);
    sampleLines = lines.size();
    if (!complete) sampleProblem += "a line without CR LF; ";
    static const QRegularExpression form(
        QStringLiteral(R"(^\d\d\.\d\d\.\d{4}( \d\d?:\d\d:\d\d)?;(-?\d*\.\d);(-?\d*\.\d);-?\d*\.\d;-?\d*\.\d;$)"));
    for (const auto& l : lines) {
      const auto m = form.match(QString::fromStdString(l));
      if (!m.hasMatch()) {
        sampleProblem += "bad line '" + l + "'; ";
        break;
      }
      if (!sampleAllowed.count(m.captured(2).toStdString()) || !sampleAllowed.count(m.captured(3).toStdString())) {
        sampleProblem += "values the unit did not send: '" + l + "'; ";
        break;
      }
    }
  }
  if (static_cast<long>(sampleLines) != sampleRows_)
    sampleProblem += std::to_string(sampleLines) + " lines for " + std::to_string(sampleRows_) + " table rows; ";
  Add("sample file complete, one line per table row", sampleProblem.empty(),
      std::to_string(sampleLines) + " lines" + (sampleProblem.empty() ? "" : "; " + sampleProblem));

  Add("the save dialog opens a log file when confirmed and none when cancelled", logDialogProblems_ == 0,
      std::to_string(logOpened_) + " opened, " + std::to_string(logCancelled_) + " cancelled, " +
          std::to_string(logDialogProblems_) + " wrong");

  // Message boxes: only the disconnect question and the refused connect.
  long unexpected = 0;
  std::string firstBox;
  for (const auto& box : boxes_) {
    const bool known = box.text.contains(QStringLiteral("Отключить блок")) ||
                       box.text == QStringLiteral("Ошибка подключения!");
    if (!known && unexpected++ == 0) firstBox = (box.title + ": " + box.text).toStdString();
  }
  Add("no unexpected message box", unexpected == 0, firstBox);
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = ParseArgs(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Soak soak(*options);
  return soak.Run();
}
