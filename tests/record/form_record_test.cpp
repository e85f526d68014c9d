// The recording handlers of the window: the sample timer with its table and file, and
// the log file behind chk_Write, driven as the operator and the reply handler drive them.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tform1.h"
#include "files.h"
#include "modal.h"
#include "modbus/crc.h"
#include "record/log_file.h"
#include "trace_fixture.h"
#include "window.h"

namespace fs = std::filesystem;
using tagris::test::ModalAnswerer;

namespace {

using tagris::test::ReadFileBytes;
using tagris::test::WriteFileBytes;

// True while some program holds the file (the log recorder locks its file).
bool Held(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

// MeasurementReply with register values set and its CRC, as the unit sends it.
std::vector<unsigned char> SoundReply(std::initializer_list<std::pair<int, std::uint16_t>> registers,
                                      unsigned reg36 = 0) {
  std::vector<unsigned char> r = tagris::test::MeasurementReply(reg36);
  for (const auto& [n, value] : registers) {
    r[3 + 2 * static_cast<std::size_t>(n)] = static_cast<unsigned char>(value >> 8);
    r[4 + 2 * static_cast<std::size_t>(n)] = static_cast<unsigned char>(value & 0xFF);
  }
  tagris::StampCrc(r);
  return r;
}

// What the save dialog looked like when it came up.
struct DialogSeen {
  QString objectName, title, selectedFilter, typedName;
  QStringList filters;
  bool save = false, native = true, confirmsOverwrite = true;
  QString defaultSuffix;
};

// Answers the save dialog with a file name (selectFile + accept), or cancels it (nullopt).
std::function<void(QWidget*)> SaveAs(std::optional<QString> file, DialogSeen* seen = nullptr) {
  return [file, seen](QWidget* w) {
    auto* dlg = qobject_cast<QFileDialog*>(w);
    if (!dlg) return;
    if (seen) {
      seen->objectName = dlg->objectName();
      seen->title = dlg->windowTitle();
      seen->filters = dlg->nameFilters();
      seen->selectedFilter = dlg->selectedNameFilter();
      seen->save = dlg->acceptMode() == QFileDialog::AcceptSave;
      seen->native = !dlg->testOption(QFileDialog::DontUseNativeDialog);
      seen->confirmsOverwrite = !dlg->testOption(QFileDialog::DontConfirmOverwrite);
      seen->defaultSuffix = dlg->defaultSuffix();
      if (auto* name = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        seen->typedName = name->text();
      else
        seen->typedName = QStringLiteral("<no name box>");
    }
    if (file) {
      tagris::test::AnswerFileDialog(dlg, &*file);
    } else {
      tagris::test::AnswerFileDialog(dlg, nullptr);
    }
  };
}

class RecordForm : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tagris-form-record-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    form_.SetSampleDir(QString::fromStdString(dir_));
    Connect();  // the sample timer samples only while connected
  }
  void TearDown() override {
    ui_.Timer2->stop();
    form_.Connection().Log().Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // As the operator connects (to a terminal nobody answers on) and disconnects.
  void Connect() { ASSERT_TRUE(tagris::test::ConnectWindow(form_, port_.path())); }
  void Disconnect() {
    ModalAnswerer answerer({QMessageBox::Ok});
    ui_.bt_Connect->click();
    ASSERT_FALSE(form_.Connection().IsOpen());
  }
  // One tick of the sample timer, paced by the test.
  void Tick() { tagris::test::Fire(ui_.Timer2); }
  // One measurement reply as the link hands it over (no poll tick runs in these tests).
  void Reply(const std::vector<unsigned char>& bytes) { tagris::test::FeedReply(form_, bytes); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string SampleFile() const { return ReadFileBytes(Path("Tagris.txt")); }
  long SampleLines() const {
    const std::string text = SampleFile();
    return std::count(text.begin(), text.end(), '\n');
  }
  QTableWidget* Grid() { return ui_.StringGrid2; }
  QString Cell(int row, int col) {
    QTableWidgetItem* item = Grid()->item(row, col);
    return item ? item->text() : QString();
  }

  // Start a run with the given period and take the timer over, so ticks come one by one.
  void StartRun(const QString& period) {
    ui_.Edit1->setText(period);
    ui_.Button7->click();
    ASSERT_TRUE(ui_.Timer2->isActive());
    ui_.Timer2->stop();
  }

  // chk_Write changed as the operator changes it: its handler runs exactly once, also
  // when the box already showed that state.
  void SetWrite(bool on) {
    if (ui_.chk_Write->isChecked() == on) {
      QSignalBlocker block(ui_.chk_Write);
      ui_.chk_Write->setChecked(!on);
    }
    ui_.chk_Write->setChecked(on);
  }

  // Opens a log file through the dialog, answering an overwrite question with `answer`.
  std::vector<tagris::test::SeenBox> OpenLog(const std::string& chosen,
                                             QMessageBox::StandardButton answer = QMessageBox::Yes,
                                             DialogSeen* seen = nullptr) {
    ModalAnswerer answerer({answer}, SaveAs(QString::fromStdString(chosen), seen));
    SetWrite(true);
    return answerer.seen();
  }

  std::string dir_;
  tagris::test::IdlePort port_;
  TForm1 form_;
  const tagris::test::Controls ui_{form_};
};

// ----- sample recording -----

TEST_F(RecordForm, StartRefusesAMissingPeriod) {
  for (const char* period : {"", "abc", "0", "  ", "1.5", "99999999999"}) {
    Grid()->setRowCount(3);
    ui_.Edit1->setText(QString::fromUtf8(period));
    ModalAnswerer answerer({QMessageBox::Ok});
    ui_.Button7->click();
    ASSERT_EQ(answerer.seen().size(), 1u) << period;
    EXPECT_EQ(answerer.seen()[0].title, "Warning!");
    EXPECT_EQ(answerer.seen()[0].text, QString::fromUtf8("Не введен период опроса"));
    EXPECT_FALSE(ui_.Timer2->isActive()) << period;
    EXPECT_TRUE(ui_.Edit1->isEnabled());
    EXPECT_EQ(Grid()->rowCount(), 3);
  }
  // A run already going on is not stopped by a refused start.
  ui_.Edit1->setText("5");
  ui_.Button7->click();
  ui_.Edit1->setText("x");
  ModalAnswerer answerer({QMessageBox::Ok});
  ui_.Button7->click();
  EXPECT_EQ(answerer.seen().size(), 1u);
  EXPECT_TRUE(ui_.Timer2->isActive());
}

// Start during a run enables a timer that is already enabled: its one-second rhythm goes on.
TEST_F(RecordForm, StartDuringARunKeepsTheTickRhythm) {
  ui_.Edit1->setText("10");
  ui_.Button7->click();
  ASSERT_TRUE(ui_.Timer2->isActive());
  QThread::msleep(600);
  ui_.Button7->click();
  EXPECT_TRUE(ui_.Timer2->isActive());
  EXPECT_LE(ui_.Timer2->remainingTime(), 500);
}

// Every "Warning!" box of the recording: no icon, no owner window, only its own buttons.
TEST_F(RecordForm, WarningBoxesHaveNoIconAndNoOwner) {
  struct Look {
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool owned;
  };
  struct Watcher : QObject {
    std::vector<Look> looks;
    Watcher() { qApp->installEventFilter(this); }
    ~Watcher() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::Show)
        if (auto* box = qobject_cast<QMessageBox*>(o))
          looks.push_back({box->text(), box->icon(), box->standardButtons(), box->parentWidget() != nullptr});
      return false;
    }
  };
  const struct {
    std::function<void()> act;
    const char* text;
    QMessageBox::StandardButtons buttons;
  } cases[] = {
      {[this] {
         ui_.Edit1->setText("0");
         ModalAnswerer answerer({QMessageBox::Ok});
         ui_.Button7->click();
       },
       "Не введен период опроса", QMessageBox::Ok},
      {[this] {
         WriteFileBytes(Path("old.txt"), "x");
         OpenLog(Path("old.txt"), QMessageBox::No);
       },
       "File exist!. Rewrite?", QMessageBox::Yes | QMessageBox::No},
  };
  for (const auto& c : cases) {
    Watcher watcher;
    c.act();
    ASSERT_EQ(watcher.looks.size(), 1u) << c.text;
    EXPECT_EQ(watcher.looks[0].text, QString::fromUtf8(c.text));
    EXPECT_EQ(watcher.looks[0].icon, QMessageBox::NoIcon) << c.text;
    EXPECT_EQ(watcher.looks[0].buttons, c.buttons) << c.text;
    EXPECT_FALSE(watcher.looks[0].owned) << c.text;
  }
}

TEST_F(RecordForm, DefaultPeriodSamplesEveryElevenTicks) {
  StartRun("10");
  EXPECT_FALSE(ui_.Edit1->isEnabled());
  EXPECT_EQ(Grid()->rowCount(), 1);
  EXPECT_EQ(ui_.Timer2->interval(), 1000);

  QStringList shown;
  std::vector<int> sampleTicks;
  for (int tick = 1; tick <= 25; ++tick) {
    const int rows = Grid()->rowCount();
    Tick();
    shown << ui_.Edit2->text();
    if (Grid()->rowCount() == rows + 1) sampleTicks.push_back(tick);
  }
  EXPECT_EQ(sampleTicks, (std::vector<int>{1, 12, 23}));
  EXPECT_EQ(shown.join(','), "0,10,9,8,7,6,5,4,3,2,1,0,10,9,8,7,6,5,4,3,2,1,0,10,9");
  EXPECT_EQ(Grid()->rowCount(), 4);

  // Stop keeps rows, countdown and display; a new start empties the table.
  ui_.Timer2->start();
  ui_.Button8->click();
  EXPECT_FALSE(ui_.Timer2->isActive());
  EXPECT_TRUE(ui_.Edit1->isEnabled());
  EXPECT_EQ(Grid()->rowCount(), 4);
  EXPECT_EQ(ui_.Edit2->text(), "9");
  Tick();  // a tick that still came: the countdown was kept
  EXPECT_EQ(ui_.Edit2->text(), "8");
  StartRun("10");
  EXPECT_EQ(Grid()->rowCount(), 1);
  Tick();
  EXPECT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(ui_.Edit2->text(), "0");
  // The file keeps the lines of both runs.
  EXPECT_EQ(SampleLines(), 4);
}

TEST_F(RecordForm, PausedWhileThePortIsClosed) {
  StartRun("3");
  Tick();  // sample, countdown 3
  Tick();  // shows 3, countdown 2
  Disconnect();
  for (int i = 0; i < 5; ++i) Tick();
  EXPECT_EQ(ui_.Edit2->text(), "3");
  EXPECT_EQ(Grid()->rowCount(), 2);
  Connect();  // the countdown goes on where it was
  QStringList shown;
  for (int i = 0; i < 3; ++i) {
    Tick();
    shown << ui_.Edit2->text();
  }
  EXPECT_EQ(shown.join(','), "2,1,0");
  EXPECT_EQ(Grid()->rowCount(), 3);
}

TEST_F(RecordForm, NegativePeriodSamplesEveryTick) {
  StartRun("-5");
  QStringList shown;
  for (int i = 0; i < 4; ++i) {
    Tick();
    shown << ui_.Edit2->text();
  }
  EXPECT_EQ(shown.join(','), "0,-5,-5,-5");
  EXPECT_EQ(Grid()->rowCount(), 5);
}

TEST_F(RecordForm, SampleRowAndFileLine) {
  // Kept from the last reply: temperature 23.5, moisture 0.5, peak 1985.27, width 0.
  Reply(SoundReply({{38, 235}, {45, 90}, {46, 0}}, 50));
  StartRun("-1");  // a sample at every tick
  Tick();

  ASSERT_EQ(Grid()->rowCount(), 2);
  const QString when = Cell(1, 0);
  EXPECT_TRUE(QRegularExpression(R"(^\d\d\.\d\d\.\d{4}( \d\d:\d\d:\d\d)?$)").match(when).hasMatch())
      << when.toStdString();
  EXPECT_EQ(Cell(1, 1), "23.5");
  EXPECT_EQ(Cell(1, 2), ".5");
  EXPECT_EQ(Cell(1, 3), "1985.3");
  EXPECT_EQ(Cell(1, 4), ".0");

  const std::string line = when.toStdString() + ";23.5;.5;1985.3;.0;";
  EXPECT_EQ(SampleFile(), line + "\r\n");  // no header
  EXPECT_EQ(ui_.M1->toPlainText().toStdString(), line + "\n");

  // The next sample, after the file lost its last line break and got LF-only line ends.
  WriteFileBytes(Path("Tagris.txt"), "a;\nb;");
  Tick();
  const std::string line2 = Cell(2, 0).toStdString() + ";23.5;.5;1985.3;.0;";
  EXPECT_EQ(SampleFile(), "a;\r\nb;\r\n" + line2);
  EXPECT_EQ(ui_.M1->toPlainText().toStdString(), "a;\nb;\n" + line2);

  // Further samples, the file untouched in between: M1 still shows the whole file,
  // and keeps no undo history of them.
  for (int k = 3; k <= 5; ++k) Tick();
  QString expected = QString::fromStdString("a;\nb;\n" + line2);
  for (int k = 3; k <= 5; ++k) expected += "\n" + Cell(k, 0) + ";23.5;.5;1985.3;.0;";
  EXPECT_EQ(ui_.M1->toPlainText(), expected);
  EXPECT_EQ(QString::fromStdString(SampleFile()), QString(expected).replace("\n", "\r\n"));
  EXPECT_FALSE(ui_.M1->document()->isUndoAvailable());
}

TEST_F(RecordForm, AFailingSampleFileIsReportedAndTheRunGoesOn) {
  form_.SetSampleDir(QString::fromStdString(Path("no-such-folder")));
  StartRun("2");
  {
    ModalAnswerer answerer({QMessageBox::Ok});
    Tick();
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].title, "Error");
    EXPECT_TRUE(answerer.seen()[0].text.contains(QString::fromStdString(Path("no-such-folder") + "//Tagris.txt")))
        << answerer.seen()[0].text.toStdString();
  }
  // The row is in the table and the countdown reloaded; the next ticks go on.
  EXPECT_EQ(Grid()->rowCount(), 2);
  form_.SetSampleDir(QString::fromStdString(dir_));
  Tick();
  EXPECT_EQ(ui_.Edit2->text(), "2");
  for (int i = 0; i < 2; ++i) Tick();
  EXPECT_EQ(Grid()->rowCount(), 3);
  EXPECT_EQ(SampleLines(), 1);
}

TEST_F(RecordForm, SampleFolderIsAWritableFolder) {
  const QString folder = TForm1::DefaultSampleDir();
  EXPECT_FALSE(folder.isEmpty());
  EXPECT_TRUE(QFileInfo(folder).isDir());
  EXPECT_TRUE(QFileInfo(folder).isWritable());
}

// ----- log file -----

TEST_F(RecordForm, SaveDialogAsConfigured) {
  DialogSeen seen;
  OpenLog(Path("log.txt"), QMessageBox::Yes, &seen);
  EXPECT_EQ(seen.objectName, "SaveDialog1");
  EXPECT_EQ(seen.title, "Input name file for save");
  EXPECT_EQ(seen.filters, (QStringList{"Data files (*.txt)", "All files (*.*)"}));
  EXPECT_EQ(seen.selectedFilter, "Data files (*.txt)");
  EXPECT_TRUE(seen.save);
  EXPECT_FALSE(seen.native);
  EXPECT_FALSE(seen.confirmsOverwrite);
  EXPECT_TRUE(seen.defaultSuffix.isEmpty());
  EXPECT_TRUE(seen.typedName.isEmpty());
}

TEST_F(RecordForm, NewLogFileHoldsTheHeaderAndThenOneLinePerReply) {
  // Field 1 counts the replies since the connect, not since the file was opened.
  for (int i = 0; i < 6; ++i) Reply(SoundReply({}));
  const auto boxes = OpenLog(Path("report"));
  EXPECT_TRUE(boxes.empty());  // nothing existed, so nothing to ask
  const std::string path = Path("report.txt");
  EXPECT_TRUE(ui_.chk_Write->isChecked());
  EXPECT_EQ(ui_.StatusBar1Panel1->text().toStdString(), path);
  EXPECT_TRUE(form_.Connection().Log().IsOpen());
  EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader());

  const std::vector<unsigned char> seventh = SoundReply({{38, 235}}, 1234);
  const std::vector<unsigned char> eighth = SoundReply({{38, 50}}, 65535);
  Reply(seventh);
  Reply(eighth);
  EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader() +
                             "000007.0\t012.3400\t012.3400\t" + tagris::test::ReceiveTrace(seventh) +
                             "\t23.5\t00.0\r\n" + "000008.0\t655.3500\t655.3500\t" +
                             tagris::test::ReceiveTrace(eighth) + "\t05.0\t00.0\r\n");
}

// Driven through the measurement update itself: the count runs from the connect, and a
// new connect starts it again from 1.
TEST_F(RecordForm, LogLinesFollowTheMeasurementUpdate) {
  const std::vector<unsigned char> reply = SoundReply({{38, 235}}, 2346);  // outside temperature 23.5
  const std::string trace = tagris::test::ReceiveTrace(reply);
  const std::string line = "\t023.4600\t023.4600\t" + trace + "\t23.5\t00.0\r\n";

  for (int i = 0; i < 3; ++i) Reply(reply);  // connected in SetUp
  OpenLog(Path("late.txt"));
  Reply(reply);
  Reply(reply);
  SetWrite(false);
  EXPECT_EQ(ReadFileBytes(Path("late.txt")), tagris::LogHeader() + "000004.0" + line + "000005.0" + line);

  Disconnect();
  Connect();  // a new connect
  OpenLog(Path("again.txt"));
  Reply(reply);
  EXPECT_EQ(ReadFileBytes(Path("again.txt")), tagris::LogHeader() + "000001.0" + line);
}

TEST_F(RecordForm, ExistingFileIsReplacedOnlyAfterYes) {
  const std::string path = Path("old.txt");
  for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
    WriteFileBytes(path, "earlier log\r\n");
    const auto boxes = OpenLog(path, answer);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Warning!");
    EXPECT_EQ(boxes[0].text, "File exist!. Rewrite?");
    if (answer == QMessageBox::No) {
      EXPECT_EQ(ReadFileBytes(path), "earlier log\r\n");
      EXPECT_FALSE(ui_.chk_Write->isChecked());
      EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
      EXPECT_FALSE(form_.Connection().Log().IsOpen());
    } else {
      EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader());
      EXPECT_TRUE(ui_.chk_Write->isChecked());
      EXPECT_EQ(ui_.StatusBar1Panel1->text().toStdString(), path);
      EXPECT_TRUE(form_.Connection().Log().IsOpen());
    }
  }
}

TEST_F(RecordForm, CancelLeavesNothingOpen) {
  {
    ModalAnswerer answerer({QMessageBox::Ok}, SaveAs(std::nullopt));
    SetWrite(true);
    EXPECT_TRUE(answerer.seen().empty());
  }
  EXPECT_FALSE(ui_.chk_Write->isChecked());
  EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
  EXPECT_FALSE(form_.Connection().Log().IsOpen());
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(RecordForm, UncheckAndCloseLogFileCloseTheFile) {
  for (bool byUncheck : {true, false}) {
    OpenLog(Path("log.txt"));
    ASSERT_TRUE(form_.Connection().Log().IsOpen());
    // Held exclusively while open.
    EXPECT_TRUE(Held(Path("log.txt")));
    if (byUncheck) {
      SetWrite(false);
      EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
    } else {
      form_.Connection().Log().Stop();  // what the disconnect and the exit do first
    }
    EXPECT_FALSE(form_.Connection().Log().IsOpen());
    EXPECT_FALSE(Held(Path("log.txt")));
    {
      ModalAnswerer answerer({QMessageBox::Ok});
      Reply(SoundReply({}));  // nothing open: nothing written, nothing shown
      EXPECT_TRUE(answerer.seen().empty());
    }
    EXPECT_EQ(ReadFileBytes(Path("log.txt")), tagris::LogHeader());
    SetWrite(false);
  }
}

TEST_F(RecordForm, ALogFileThatCannotBeCreatedIsReported) {
  // Root ignores permission bits, so: a folder that does not exist, and /proc.
  struct Case {
    std::string path;
    QString reason;
  } cases[] = {
      {Path("missing/log.txt"), "No such file or directory"},
      {"/proc/tagris-log.txt", ""},
  };
  for (const Case& c : cases) {
    const auto boxes = OpenLog(c.path);
    ASSERT_EQ(boxes.size(), 1u) << c.path;
    EXPECT_EQ(boxes[0].title, "Warning!");
    EXPECT_TRUE(boxes[0].text.contains(QString::fromStdString(c.path))) << boxes[0].text.toStdString();
    EXPECT_TRUE(boxes[0].text.contains(c.reason)) << boxes[0].text.toStdString();
    EXPECT_FALSE(ui_.chk_Write->isChecked());
    EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
    EXPECT_FALSE(form_.Connection().Log().IsOpen());
  }
}

// After Yes to the overwrite question: a log another copy of the program holds, or a named
// pipe, is left exactly as it was, and the operator is told why, as for any creation failure.
TEST_F(RecordForm, ALogInUseOrAPipeIsLeftAloneAndReported) {
  const std::string held = Path("held.txt");
  const int holder = tagris::CreateLogFile(held);  // the other copy, logging
  const std::string theirs = tagris::LogHeader() + "000001.0\t-->\r\n";
  tagris::WriteLogBytes(holder, theirs, held);
  const std::string pipe = Path("pipe.txt");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);

  const struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {held, "it is in use by another program"},
      {pipe, "it is a named pipe, not a regular file"},
  };
  for (const auto& c : cases) {
    const auto boxes = OpenLog(c.path, QMessageBox::Yes);
    ASSERT_EQ(boxes.size(), 2u) << c.path;
    EXPECT_EQ(boxes[0].text, "File exist!. Rewrite?");
    EXPECT_EQ(boxes[1].title, "Warning!");
    EXPECT_EQ(boxes[1].text.toStdString(), "Cannot replace the file " + c.path + ": " + c.reason);
    EXPECT_EQ(boxes[1].buttons, QMessageBox::Ok);
    EXPECT_FALSE(boxes[1].owned);
    EXPECT_FALSE(ui_.chk_Write->isChecked());
    EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
  }
  EXPECT_TRUE(fs::is_fifo(pipe));
  tagris::WriteLogBytes(holder, "000002.0\t-->\r\n", held);
  tagris::CloseLogFd(holder);
  EXPECT_EQ(ReadFileBytes(held), theirs + "000002.0\t-->\r\n");
}

// The file may grow no further than the header (a full disk, as far as the
// recorder can tell): the first data line fails.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_ = SIG_DFL;
};

TEST_F(RecordForm, ALogLineThatCannotBeWrittenIsReportedOnceAndTheFileClosed) {
  const std::string path = Path("full.txt");
  OpenLog(path);
  ASSERT_TRUE(form_.Connection().Log().IsOpen());
  ASSERT_EQ(ReadFileBytes(path), tagris::LogHeader());

  ModalAnswerer answerer({QMessageBox::Ok});
  {
    const FileSizeLimit full(tagris::LogHeader().size() + 10);
    Reply(SoundReply({}));
    Reply(SoundReply({}));  // the next reply
  }
  ASSERT_EQ(answerer.seen().size(), 1u);
  EXPECT_EQ(answerer.seen()[0].title, "Warning!");
  EXPECT_TRUE(answerer.seen()[0].text.contains(QString::fromStdString(path))) << answerer.seen()[0].text.toStdString();
  EXPECT_TRUE(answerer.seen()[0].text.contains("File too large")) << answerer.seen()[0].text.toStdString();
  EXPECT_FALSE(ui_.chk_Write->isChecked());
  EXPECT_TRUE(ui_.StatusBar1Panel1->text().isEmpty());
  EXPECT_FALSE(form_.Connection().Log().IsOpen());
  EXPECT_FALSE(Held(path));
}

}  // namespace
