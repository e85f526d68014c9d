// The recording handlers of the window: the sample timer with its table and file, and
// the log file behind chk_Write, driven as the operator and the reply handler drive them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "record/log_file.h"
#include "trace_fixture.h"
#include "ui_form1.h"

namespace fs = std::filesystem;
using tagris::test::ModalAnswerer;

namespace {

using tagris::test::ReadFileBytes;
using tagris::test::WriteFileBytes;

bool FdIsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

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
    form_.SampleDirOverride = QString::fromStdString(dir_);
    form_.Connected = true;
  }
  void TearDown() override {
    form_.Timer2->stop();
    form_.CloseLogFile();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string SampleFile() const { return ReadFileBytes(Path("Tagris.txt")); }
  long SampleLines() const {
    const std::string text = SampleFile();
    return std::count(text.begin(), text.end(), '\n');
  }
  QTableWidget* Grid() { return form_.ui->StringGrid2; }
  QString Cell(int row, int col) {
    QTableWidgetItem* item = Grid()->item(row, col);
    return item ? item->text() : QString();
  }

  // Start a run with the given period and take the timer over, so ticks come one by one.
  void StartRun(const QString& period) {
    form_.ui->Edit1->setText(period);
    form_.Button7Click();
    ASSERT_TRUE(form_.Timer2->isActive());
    form_.Timer2->stop();
  }

  // chk_Write changed as the operator changes it, whether or not the window has bound
  // its toggled signal yet: the handler runs exactly once.
  void SetWrite(bool on) {
    {
      QSignalBlocker block(form_.ui->chk_Write);
      form_.ui->chk_Write->setChecked(on);
    }
    form_.Write_File();
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
  TForm1 form_;
};

// ----- sample recording -----

TEST_F(RecordForm, StartRefusesAMissingPeriod) {
  for (const char* period : {"", "abc", "0", "  ", "1.5", "99999999999"}) {
    Grid()->setRowCount(3);
    form_.ui->Edit1->setText(QString::fromUtf8(period));
    ModalAnswerer answerer({QMessageBox::Ok});
    form_.Button7Click();
    ASSERT_EQ(answerer.seen().size(), 1u) << period;
    EXPECT_EQ(answerer.seen()[0].title, "Warning!");
    EXPECT_EQ(answerer.seen()[0].text, QString::fromUtf8("Не введен период опроса"));
    EXPECT_FALSE(form_.Timer2->isActive()) << period;
    EXPECT_TRUE(form_.ui->Edit1->isEnabled());
    EXPECT_EQ(Grid()->rowCount(), 3);
  }
  // A run already going on is not stopped by a refused start.
  form_.ui->Edit1->setText("5");
  form_.Button7Click();
  form_.ui->Edit1->setText("x");
  ModalAnswerer answerer({QMessageBox::Ok});
  form_.Button7Click();
  EXPECT_EQ(answerer.seen().size(), 1u);
  EXPECT_TRUE(form_.Timer2->isActive());
}

// Start during a run enables a timer that is already enabled: its one-second rhythm goes on.
TEST_F(RecordForm, StartDuringARunKeepsTheTickRhythm) {
  form_.ui->Edit1->setText("10");
  form_.Button7Click();
  ASSERT_TRUE(form_.Timer2->isActive());
  QThread::msleep(600);
  form_.Button7Click();
  EXPECT_TRUE(form_.Timer2->isActive());
  EXPECT_LE(form_.Timer2->remainingTime(), 500);
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
         form_.ui->Edit1->setText("0");
         ModalAnswerer answerer({QMessageBox::Ok});
         form_.Button7Click();
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
  EXPECT_FALSE(form_.ui->Edit1->isEnabled());
  EXPECT_EQ(Grid()->rowCount(), 1);
  EXPECT_EQ(form_.Timer2->interval(), 1000);

  QStringList shown;
  std::vector<int> sampleTicks;
  for (int tick = 1; tick <= 25; ++tick) {
    const int rows = Grid()->rowCount();
    form_.Timer2Timer();
    shown << form_.ui->Edit2->text();
    if (Grid()->rowCount() == rows + 1) sampleTicks.push_back(tick);
  }
  EXPECT_EQ(sampleTicks, (std::vector<int>{1, 12, 23}));
  EXPECT_EQ(shown.join(','), "0,10,9,8,7,6,5,4,3,2,1,0,10,9,8,7,6,5,4,3,2,1,0,10,9");
  EXPECT_EQ(Grid()->rowCount(), 4);

  // Stop keeps rows, countdown and display; a new start empties the table.
  form_.Timer2->start();
  form_.Button8Click();
  EXPECT_FALSE(form_.Timer2->isActive());
  EXPECT_TRUE(form_.ui->Edit1->isEnabled());
  EXPECT_EQ(Grid()->rowCount(), 4);
  EXPECT_EQ(form_.SampleCountdown, 8);
  EXPECT_EQ(form_.ui->Edit2->text(), "9");
  StartRun("10");
  EXPECT_EQ(Grid()->rowCount(), 1);
  form_.Timer2Timer();
  EXPECT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(form_.ui->Edit2->text(), "0");
  // The file keeps the lines of both runs.
  EXPECT_EQ(SampleLines(), 4);
}

TEST_F(RecordForm, PausedWhileThePortIsClosed) {
  StartRun("3");
  form_.Timer2Timer();  // sample, countdown 3
  form_.Timer2Timer();  // shows 3, countdown 2
  form_.Connected = false;
  for (int i = 0; i < 5; ++i) form_.Timer2Timer();
  EXPECT_EQ(form_.ui->Edit2->text(), "3");
  EXPECT_EQ(form_.SampleCountdown, 2);
  EXPECT_EQ(Grid()->rowCount(), 2);
  form_.Connected = true;
  QStringList shown;
  for (int i = 0; i < 3; ++i) {
    form_.Timer2Timer();
    shown << form_.ui->Edit2->text();
  }
  EXPECT_EQ(shown.join(','), "2,1,0");
  EXPECT_EQ(Grid()->rowCount(), 3);
}

TEST_F(RecordForm, NegativePeriodSamplesEveryTick) {
  StartRun("-5");
  QStringList shown;
  for (int i = 0; i < 4; ++i) {
    form_.Timer2Timer();
    shown << form_.ui->Edit2->text();
  }
  EXPECT_EQ(shown.join(','), "0,-5,-5,-5");
  EXPECT_EQ(Grid()->rowCount(), 5);
}

TEST_F(RecordForm, SampleRowAndFileLine) {
  form_.SampleTemperature = 23.46f;
  form_.SampleMoisture = 0.5f;
  form_.SamplePeakFrequency = 1985.3f;
  form_.SamplePeakWidth = 0;
  StartRun("10");
  form_.Timer2Timer();

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
  EXPECT_EQ(form_.ui->M1->toPlainText().toStdString(), line + "\n");

  // The next sample, after the file lost its last line break and got LF-only line ends.
  WriteFileBytes(Path("Tagris.txt"), "a;\nb;");
  form_.SampleCountdown = 0;
  form_.Timer2Timer();
  const std::string line2 = Cell(2, 0).toStdString() + ";23.5;.5;1985.3;.0;";
  EXPECT_EQ(SampleFile(), "a;\r\nb;\r\n" + line2);
  EXPECT_EQ(form_.ui->M1->toPlainText().toStdString(), "a;\nb;\n" + line2);

  // Further samples, the file untouched in between: M1 still shows the whole file,
  // and keeps no undo history of them.
  for (int k = 3; k <= 5; ++k) {
    form_.SampleCountdown = 0;
    form_.Timer2Timer();
  }
  QString expected = QString::fromStdString("a;\nb;\n" + line2);
  for (int k = 3; k <= 5; ++k) expected += "\n" + Cell(k, 0) + ";23.5;.5;1985.3;.0;";
  EXPECT_EQ(form_.ui->M1->toPlainText(), expected);
  EXPECT_EQ(QString::fromStdString(SampleFile()), QString(expected).replace("\n", "\r\n"));
  EXPECT_FALSE(form_.ui->M1->document()->isUndoAvailable());
}

TEST_F(RecordForm, AFailingSampleFileThrowsAndTheRunGoesOn) {
  form_.SampleDirOverride = QString::fromStdString(Path("no-such-folder"));
  StartRun("2");
  try {
    form_.Timer2Timer();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(Path("no-such-folder") + "//Tagris.txt"),
              std::string::npos)
        << e.what();
  }
  // The row is in the table and the countdown reloaded; the next ticks go on.
  EXPECT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(form_.SampleCountdown, 2);
  form_.SampleDirOverride = QString::fromStdString(dir_);
  for (int i = 0; i < 3; ++i) form_.Timer2Timer();
  EXPECT_EQ(Grid()->rowCount(), 3);
  EXPECT_EQ(SampleLines(), 1);
}

TEST_F(RecordForm, SampleFolderIsAWritableFolder) {
  form_.SampleDirOverride.clear();
  const QString folder = form_.SampleDir();
  EXPECT_FALSE(folder.isEmpty());
  EXPECT_TRUE(QFileInfo(folder).isDir());
  EXPECT_TRUE(QFileInfo(folder).isWritable());
  EXPECT_EQ(folder, TForm1::DefaultSampleDir());
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
  const auto boxes = OpenLog(Path("report"));
  EXPECT_TRUE(boxes.empty());  // nothing existed, so nothing to ask
  const std::string path = Path("report.txt");
  EXPECT_TRUE(form_.ui->chk_Write->isChecked());
  EXPECT_EQ(form_.ui->StatusBar1Panel1->text().toStdString(), path);
  EXPECT_GT(form_.LogFile, 0);
  EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader());

  // Field 1 counts the replies since the connect, not since the file was opened.
  const std::string trace = tagris::test::ReceiveTrace(tagris::test::MeasurementReply(1234));
  form_.Temperature = 23.5f;
  form_.Moisture = 1234 * 0.01;
  form_.PlotTime = 7;
  form_.WriteLogLine(trace);
  form_.PlotTime = 8;
  form_.Temperature = 5.0f;
  form_.Moisture = 65535 * 0.01;
  form_.WriteLogLine(tagris::test::ReceiveTrace(tagris::test::MeasurementReply(65535)));
  EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader() +
                             "000007.0\t012.3400\t012.3400\t" + trace + "\t23.5\t00.0\r\n" +
                             "000008.0\t655.3500\t655.3500\t" +
                             tagris::test::ReceiveTrace(tagris::test::MeasurementReply(65535)) +
                             "\t05.0\t00.0\r\n");
}

// Driven through the measurement update itself: the count runs from the connect, and a
// new connect starts it again from 1.
TEST_F(RecordForm, LogLinesFollowTheMeasurementUpdate) {
  std::vector<unsigned char> reply = tagris::test::MeasurementReply(2346);
  reply[79] = 0;  // register 38: outside temperature 23.5
  reply[80] = 235;
  const std::string trace = tagris::test::ReceiveTrace(reply);
  const std::string line = "\t023.4600\t023.4600\t" + trace + "\t23.5\t00.0\r\n";

  form_.ResetCharts();  // as at connect
  for (int i = 0; i < 3; ++i) form_.MeasurementUpdate(reply.data(), trace);
  OpenLog(Path("late.txt"));
  form_.MeasurementUpdate(reply.data(), trace);
  form_.MeasurementUpdate(reply.data(), trace);
  form_.CloseLogFile();
  {
    QSignalBlocker block(form_.ui->chk_Write);
    form_.ui->chk_Write->setChecked(false);
  }
  EXPECT_EQ(ReadFileBytes(Path("late.txt")), tagris::LogHeader() + "000004.0" + line + "000005.0" + line);

  form_.ResetCharts();  // a new connect
  OpenLog(Path("again.txt"));
  form_.MeasurementUpdate(reply.data(), trace);
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
      EXPECT_FALSE(form_.ui->chk_Write->isChecked());
      EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
      EXPECT_EQ(form_.LogFile, 0);
    } else {
      EXPECT_EQ(ReadFileBytes(path), tagris::LogHeader());
      EXPECT_TRUE(form_.ui->chk_Write->isChecked());
      EXPECT_EQ(form_.ui->StatusBar1Panel1->text().toStdString(), path);
      EXPECT_GT(form_.LogFile, 0);
    }
  }
}

TEST_F(RecordForm, CancelLeavesNothingOpen) {
  {
    ModalAnswerer answerer({QMessageBox::Ok}, SaveAs(std::nullopt));
    SetWrite(true);
    EXPECT_TRUE(answerer.seen().empty());
  }
  EXPECT_FALSE(form_.ui->chk_Write->isChecked());
  EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
  EXPECT_EQ(form_.LogFile, 0);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(RecordForm, UncheckAndCloseLogFileCloseTheFile) {
  for (bool byUncheck : {true, false}) {
    OpenLog(Path("log.txt"));
    const int fd = form_.LogFile;
    ASSERT_GT(fd, 0);
    // Held exclusively while open.
    const int other = ::open(Path("log.txt").c_str(), O_RDONLY);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
    if (byUncheck) {
      SetWrite(false);
      EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
    } else {
      form_.CloseLogFile();
    }
    EXPECT_EQ(form_.LogFile, 0);
    EXPECT_FALSE(FdIsOpen(fd));
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    form_.WriteLogLine("-->");  // nothing open: nothing written, nothing shown
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
    EXPECT_FALSE(form_.ui->chk_Write->isChecked());
    EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
    EXPECT_EQ(form_.LogFile, 0);
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
    EXPECT_FALSE(form_.ui->chk_Write->isChecked());
    EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
  }
  EXPECT_TRUE(fs::is_fifo(pipe));
  tagris::WriteLogBytes(holder, "000002.0\t-->\r\n", held);
  tagris::CloseLogFd(holder);
  EXPECT_EQ(ReadFileBytes(held), theirs + "000002.0\t-->\r\n");
}

TEST_F(RecordForm, ALogLineThatCannotBeWrittenIsReportedOnceAndTheFileClosed) {
  {
    QSignalBlocker block(form_.ui->chk_Write);
    form_.ui->chk_Write->setChecked(true);
  }
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GT(fd, 0);
  form_.LogFile = fd;
  form_.LogFileName = "/dev/full";
  form_.ui->StatusBar1Panel1->setText("/dev/full");

  ModalAnswerer answerer({QMessageBox::Ok});
  const std::string trace = tagris::test::ReceiveTrace(tagris::test::MeasurementReply(1));
  form_.WriteLogLine(trace);
  form_.WriteLogLine(trace);  // the next reply
  ASSERT_EQ(answerer.seen().size(), 1u);
  EXPECT_EQ(answerer.seen()[0].title, "Warning!");
  EXPECT_TRUE(answerer.seen()[0].text.contains("/dev/full"));
  EXPECT_TRUE(answerer.seen()[0].text.contains("No space left on device"));
  EXPECT_FALSE(form_.ui->chk_Write->isChecked());
  EXPECT_TRUE(form_.ui->StatusBar1Panel1->text().isEmpty());
  EXPECT_EQ(form_.LogFile, 0);
  EXPECT_FALSE(FdIsOpen(fd));
}

}  // namespace
