// tagris-perf-sample: cost of one sample as the sample file grows.
// For each starting size (lines already in the file) it times
//   AppendSampleLine: read the whole file, append the line, write it back safely;
//   Timer2Timer:      the window's recording tick, which also stages the whole
//                     file text in the hidden memo M1 before writing it.
// Prints median and max in ms over --repeat samples per size.
#include <pty.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tform1.h"
#include "common/cp1251.h"
#include "record/sample_file.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// One line as the recording tick writes it: time stamp and four values.
std::string TypicalLine() {
  return tagris::SampleLine({"08.12.2026 13:45:07", "23.5", "2.3", "1000.0", "100.0"});
}

void FillFile(const fs::path& path, int lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string line = TypicalLine() + "\r\n";
  for (int i = 0; i < lines; ++i) out << line;
}

struct Figures {
  double median = 0;
  double max = 0;
};

Figures Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.back()};
}

template <class T>
T* Control(const QObject& form, const char* name) {
  T* found = form.findChild<T*>(QString::fromLatin1(name));
  if (!found) {
    std::fprintf(stderr, "tagris-perf-sample: the window has no %s\n", name);
    std::exit(1);
  }
  return found;
}

template <typename Fn>
double TimeMs(Fn&& fn) {
  const auto start = Clock::now();
  fn();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 21;
  std::vector<int> sizes = {0, 1000, 10000, 86400};
  std::string dirArg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--dir" && i + 1 < argc) dirArg = argv[++i];
    else if (a == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::string list = argv[++i];
      for (std::size_t p = 0; p <= list.size();) {
        const std::size_t comma = std::min(list.find(',', p), list.size());
        sizes.push_back(std::atoi(list.substr(p, comma - p).c_str()));
        p = comma + 1;
      }
    } else {
      std::fprintf(stderr, "usage: tagris-perf-sample [--repeat N] [--sizes 0,1000,...] [--dir DIR]\n");
      return 2;
    }
  }
  const fs::path dir = dirArg.empty() ? fs::temp_directory_path() / ("tagris-perf-sample-" + std::to_string(::getpid()))
                                      : fs::path(dirArg);
  fs::create_directories(dir);

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  TForm1 form;
  form.SetSampleDir(QString::fromStdString(dir.string()));
  // The tick samples only while connected: to a terminal nobody answers on, with
  // the poll timer stopped.
  int master = -1, slave = -1;
  char name[128] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  Control<QComboBox>(form, "cmb_PORT")->setEditText(QString::fromLatin1(name));
  Control<QPushButton>(form, "bt_Connect")->click();
  Control<QTimer>(form, "Timer1")->stop();
  if (!form.Connection().IsOpen()) {
    std::fprintf(stderr, "tagris-perf-sample: cannot connect to %s\n", name);
    return 1;
  }
  QTimer* timer2 = Control<QTimer>(form, "Timer2");
  QTableWidget* table = Control<QTableWidget>(form, "StringGrid2");
  QPlainTextEdit* m1 = Control<QPlainTextEdit>(form, "M1");
  // Period 0: every tick samples. The ticks come from here (Timer2 is not started).
  Control<QLineEdit>(form, "Edit1")->setText(QStringLiteral("0"));
  const fs::path file = dir / tagris::kSampleFileName;
  const std::string line = TypicalLine();

  std::printf("%-8s %-10s %-28s %-28s %s\n", "lines", "file KiB", "AppendSampleLine med/max ms",
              "Timer2Timer med/max ms", "full M1 reload med ms");
  for (int lines : sizes) {
    std::vector<double> append, tick, staging;
    for (int r = 0; r < repeat; ++r) {
      FillFile(file, lines);
      append.push_back(TimeMs([&] { tagris::AppendSampleLine(file.string(), line); }));
    }
    // A run in its steady state: the file grows by one line per tick, M1 already
    // holds it from the tick before (the first, untimed tick loads it).
    FillFile(file, lines);
    for (int r = 0; r <= repeat; ++r) {
      table->setRowCount(1);  // the table is not what is measured here
      const double ms = TimeMs([&] { QMetaObject::invokeMethod(timer2, "timeout", Qt::DirectConnection); });
      if (r > 0) tick.push_back(ms);
    }
    // What a tick costs when M1 must load the whole file (the first sample of a run,
    // or a file changed by someone else): the memo laid out from scratch.
    const std::string text = tagris::ReadFileIfPresent(file.string()).value_or(std::string());
    for (int r = 0; r < repeat; ++r) {
      staging.push_back(TimeMs([&] {
        QString memo = QString::fromStdString(tagris::Cp1251ToUtf8(text));
        memo.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        m1->clear();
        m1->setPlainText(memo);
      }));
    }
    const Figures a = Summarise(append);
    const Figures t = Summarise(tick);
    std::printf("%-8d %-10.0f %9.3f / %-16.3f %9.3f / %-16.3f %9.3f\n", lines,
                static_cast<double>(fs::file_size(file)) / 1024.0, a.median, a.max, t.median, t.max,
                Summarise(staging).median);
    std::fflush(stdout);
  }
  form.Connection().Close();
  ::close(master);
  ::close(slave);
  fs::remove_all(dir);
  return 0;
}
