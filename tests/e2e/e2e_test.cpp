// The whole program as an operator meets it: the real window, its buttons and timers,
// the link threads and a simulated unit on a pseudo-terminal of its own per test.
// Every wait is for something to happen, bounded; no test needs more than ~10 s.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tform1.h"
#include "common/numfmt.h"
#include "files.h"
#include "modal.h"
#include "simulator.h"
#include "window.h"

namespace fs = std::filesystem;
namespace reg = tagris::unitsim::reg;
using tagris::test::ModalAnswerer;
using tagris::test::WaitFor;
using tagris::unitsim::FaultKind;
using tagris::unitsim::Simulator;
using tagris::unitsim::SimulatorOptions;
using Bytes = std::vector<std::uint8_t>;
using Registers = std::array<std::uint16_t, tagris::unitsim::kRegisterCount>;
using namespace std::chrono_literals;

namespace {

const QString kNotConnected = QStringLiteral(">> Модуль не подключен!");
const QString kNoLink = QStringLiteral(" Нет связи с блоком");
const QString kDisconnectText = QStringLiteral("            Отключить блок\n              Вы уверены?");
const QString kExitText = QStringLiteral("        Выход из программы\n              Вы уверены?");

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Modbus CRC-16, written out here so the expected bytes do not come from the tool itself.
void Stamp(Bytes& frame) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
    crc ^= frame[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

// The 113-byte reply a unit with these registers sends to the poll.
Bytes PollReply(std::uint8_t address, const Registers& r) {
  Bytes b{address, 0x03, 0x6C};
  for (std::uint16_t v : r) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  b.resize(b.size() + 2);
  Stamp(b);
  return b;
}

QString Hex(const Bytes& b) {
  QString s;
  for (std::uint8_t x : b) s += QStringLiteral(" 0x") + QStringLiteral("%1").arg(x, 2, 16, QLatin1Char('0')).toUpper();
  return s;
}

QString ReplyLine(const Bytes& b) { return QStringLiteral("-->") + Hex(b) + QStringLiteral("<---"); }

QStringList MemoLines(TForm1& form) {
  const QString text = tagris::test::Controls(form).Memo1->toPlainText();
  return text.isEmpty() ? QStringList{} : text.split('\n');
}

// Lets the event loop run for ms milliseconds (the poll timer and the hand-overs go on).
void Pump(int ms) { WaitFor([] { return false; }, ms); }

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds of every thread of this process but the main one, by thread id
// (user and system time from /proc, in clock ticks).
std::map<std::string, double> OtherThreadsCpuSeconds() {
  std::map<std::string, double> cpu;
  const std::string self = std::to_string(::getpid());
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    const std::string tid = task.path().filename().string();
    if (tid == self) continue;
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');  // the name may hold blanks
    if (end == std::string::npos) continue;
    std::istringstream fields(line.substr(end + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int n = 3; fields >> field && n <= 15; ++n) {
      if (n == 14) utime = std::stod(field);
      if (n == 15) stime = std::stod(field);
    }
    cpu[tid] = (utime + stime) / tick;
  }
  return cpu;
}

QString Text(double value, const char* mask) { return Q(tagris::FormatFloat(mask, value)); }

QString MoistureLabel(std::uint16_t reg36) {
  return QStringLiteral("W =  ") + Text(reg36 * 0.01, "##0.0") + QStringLiteral(" %об.");
}

// What the window must show for a unit with registers r: {control, expected text}.
std::vector<std::pair<QString, QString>> ExpectedTexts(const Registers& r) {
  static const char* const kBaud[] = {"4800", "4800", "4800", "4800", "9600", "14400", "19200", "38400"};
  static const char* const kParity[] = {"NOPARITY", "EVENPARITY", "ODDPARITY", "NOPARITY"};
  static const char* const kMedium[] = {"  Нефть ", "  Вода ", "  Воздух "};
  const auto signedReg = [&](int n) { return static_cast<std::int16_t>(r[static_cast<std::size_t>(n)]); };
  const auto temp = [&](int n) { return static_cast<double>(static_cast<float>(signedReg(n) * 0.1)); };
  std::vector<std::pair<QString, QString>> texts = {
      {"lb_Curr", MoistureLabel(r[reg::kMoisture])},
      {"lb_TOUT", QStringLiteral("Temp = ") + Text(temp(reg::kTemperature), "#00.0") + " C"},
      {"lb_TermTWO", QStringLiteral("Temp смеси = ") + Text(temp(reg::kMixTemperature), "#00.0") + " C"},
      {"lb_Chan", QStringLiteral("Включен канал  ") + Text(r[reg::kActiveChannel], "#0")},
      {"lb_Baud", QString::fromUtf8(kBaud[r[0] & 7]) + QStringLiteral(" бод")},
      {"lb_Par", QString::fromUtf8(kParity[(r[0] >> 3) & 3])},
      {"lb_Stop", (r[0] & 0x20) ? QStringLiteral("STOP2") : QStringLiteral("STOP1")},
      {"lb_Xmax", QStringLiteral("Xmax =  ") + Text(r[reg::kXmax], "####0")},
      {"Label6", QStringLiteral("Частота пика   ") + Text(r[reg::kXmax] * 0.46875 * 0.125 + 1980, "######0.0") +
                     QStringLiteral("  мГц")},
  };
  if (r[reg::kMedium] < 3) texts.push_back({"lb_Phase", QString::fromUtf8(kMedium[r[reg::kMedium]])});
  for (int k = 1; k <= 14; ++k) {
    texts.push_back({QStringLiteral("StringGrid1[%1,1]").arg(k), Text((r[static_cast<std::size_t>(k + 1)] - 100) * 0.1, "#0.0")});
    texts.push_back({QStringLiteral("StringGrid1[%1,2]").arg(k), Text(r[static_cast<std::size_t>(k + 17)] * 0.1, "#0.0")});
  }
  return texts;
}

QString Shown(TForm1& form, const QString& control) {
  if (control.startsWith("StringGrid1[")) {
    const QStringList rc = control.mid(12).chopped(1).split(',');
    const QTableWidgetItem* item = tagris::test::Controls(form).StringGrid1->item(rc[0].toInt(), rc[1].toInt());
    return item ? item->text() : QString();
  }
  auto* label = form.findChild<QLabel*>(control);
  return label ? label->text() : QStringLiteral("<no label %1>").arg(control);
}

// Every control that differs from what registers r call for; empty when all agree.
QString Mismatches(TForm1& form, const Registers& r) {
  QString out;
  for (const auto& [control, expected] : ExpectedTexts(r)) {
    const QString shown = Shown(form, control);
    if (shown != expected) out += QStringLiteral("%1: shows \"%2\", expected \"%3\"\n").arg(control, shown, expected);
  }
  return out;
}

// Answers the save dialog by typing the path into its name box and accepting, as an operator would.
std::function<void(QWidget*)> SaveAs(const QString& path) {
  return [path](QWidget* w) { tagris::test::AnswerFileDialog(w, &path); };
}

using tagris::test::ReadFileBytes;

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    QApplication::setQuitOnLastWindowClosed(false);
    std::string pattern = (fs::temp_directory_path() / "tagris-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    form_ = std::make_unique<TForm1>();
    ui_.emplace(*form_);
    form_->SetSampleDir(Q(dir_));
    form_->show();
  }

  void TearDown() override {
    form_.reset();  // stops the link of a window left connected
    units_.clear();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  tagris::test::Controls* ui() { return &*ui_; }
  TForm1& form() { return *form_; }

  // A unit with steady values (no drift), so what the window shows can be compared
  // with its registers. It reports every frame it receives.
  Simulator& StartUnit(std::uint8_t address = 5, const std::string& name = "unit") {
    SimulatorOptions options;
    options.linkPath = dir_ + "/" + name;
    options.address = address;
    options.drift = false;
    options.hangupTime = 500ms;
    options.traceFrames = true;
    options.onEvent = [this](const std::string& line) {
      std::lock_guard lock(eventsMutex_);
      events_.push_back(line);
    };
    units_.push_back(std::make_unique<Simulator>(options));
    units_.back()->Start();
    return *units_.back();
  }

  // True once a unit received exactly this frame ("05 06 00 21 ...").
  bool UnitReceived(const std::string& frame) {
    std::lock_guard lock(eventsMutex_);
    for (const std::string& e : events_)
      if (e == "<-- " + frame) return true;
    return false;
  }

  void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
  }

  // Types the link path into the port box and presses the connect button.
  void Connect(const std::string& link) {
    Type(ui()->cmb_PORT->lineEdit(), Q(link));
    ASSERT_EQ(ui()->cmb_PORT->currentText(), Q(link));
    Click(ui()->bt_Connect);
  }

  // Presses the button while connected and answers its question; returns the boxes seen.
  std::vector<tagris::test::SeenBox> Disconnect(QMessageBox::StandardButton answer = QMessageBox::Ok) {
    ModalAnswerer answerer({answer});
    Click(ui()->bt_Connect);
    return answerer.seen();
  }

  std::vector<QWidget*> LineControls() {
    return {ui()->cmb_PORT, ui()->cmb_Speed, ui()->cmb_Parity, ui()->cmb_Stop, ui()->ed_Adr};
  }

  // Waits until the window shows what registers r call for.
  ::testing::AssertionResult ShowsUnit(const Registers& r, int timeoutMs = 3000) {
    if (WaitFor([&] { return Mismatches(form(), r).isEmpty(); }, timeoutMs)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Mismatches(form(), r).toStdString();
  }

  std::string dir_;
  std::mutex eventsMutex_;
  std::vector<std::string> events_;
  std::vector<std::unique_ptr<Simulator>> units_;
  std::unique_ptr<TForm1> form_;
  std::optional<tagris::test::Controls> ui_;
};

TEST_F(EndToEnd, ConnectPollShowDisconnectAndConnectAgain) {
  Simulator& unit = StartUnit();
  EXPECT_EQ(ui()->StatusBar1Panel0->text(), kNotConnected);
  EXPECT_EQ(ui()->bt_Connect->text(), QStringLiteral("Подключить"));

  Connect(unit.LinkPath());
  ASSERT_TRUE(form().Connection().IsOpen());
  EXPECT_EQ(ui()->StatusBar1Panel0->text(), QStringLiteral(">> Модуль подключен (Port ") + Q(unit.LinkPath()) + ")");
  EXPECT_EQ(ui()->bt_Connect->text(), QStringLiteral("Отключить"));
  for (QWidget* w : LineControls()) EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(ui()->Memo1->toPlainText().isEmpty());

  const Registers registers = unit.Registers();
  const QString reply = ReplyLine(PollReply(5, registers));
  ASSERT_TRUE(WaitFor([&] { return MemoLines(form()).contains(reply); }, 3000))
      << MemoLines(form()).join('\n').toStdString();
  const QStringList lines = MemoLines(form());
  EXPECT_EQ(lines.first(), QStringLiteral("<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58"));
  EXPECT_TRUE(reply.startsWith("--> 0x05 0x03 0x6C"));
  EXPECT_EQ(reply.count(" 0x"), 113);
  EXPECT_TRUE(ShowsUnit(registers));
  EXPECT_EQ(ui()->lb_Baud->text(), QStringLiteral("9600 бод"));
  EXPECT_EQ(ui()->lb_connect->text(), QString());

  // Cancel leaves everything running.
  auto seen = Disconnect(QMessageBox::Cancel);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(form().Connection().IsOpen());
  auto requests = unit.Stats().requestsSeen;
  EXPECT_TRUE(WaitFor([&] { return unit.Stats().requestsSeen > requests; }, 2000)) << "polling goes on";

  seen = Disconnect(QMessageBox::Ok);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].title, QStringLiteral("Warning"));
  EXPECT_EQ(seen[0].text, kDisconnectText);
  EXPECT_FALSE(form().Connection().IsOpen());
  EXPECT_EQ(ui()->StatusBar1Panel0->text(), kNotConnected);
  EXPECT_EQ(ui()->bt_Connect->text(), QStringLiteral("Подключить"));
  for (QWidget* w : LineControls()) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  requests = unit.Stats().requestsSeen;
  Pump(1300);
  EXPECT_EQ(unit.Stats().requestsSeen, requests) << "no poll after the disconnect";
  EXPECT_FALSE(MemoLines(form()).isEmpty()) << "the trace stays until the next connect";
  EXPECT_TRUE(ShowsUnit(registers, 0)) << "the labels keep the last values";

  Connect(unit.LinkPath());
  ASSERT_TRUE(form().Connection().IsOpen());
  EXPECT_TRUE(ui()->Memo1->toPlainText().isEmpty());
  EXPECT_TRUE(WaitFor([&] { return unit.Stats().requestsSeen > requests && MemoLines(form()).contains(reply); }, 3000))
      << MemoLines(form()).join('\n').toStdString();
}

TEST_F(EndToEnd, ConfigurationCommandsReachTheUnitAndComeBackInThePolls) {
  Simulator& unit = StartUnit();
  Connect(unit.LinkPath());
  ASSERT_TRUE(form().Connection().IsOpen());
  ASSERT_TRUE(ShowsUnit(unit.Registers()));

  struct Case {
    const char* what;
    std::function<void()> operate;
    std::string frame;  // as the unit receives it
    int reg;
    std::uint16_t value;
    std::function<bool()> shown;
  };
  const Case cases[] = {
      {"active channel",
       [&] {
         ui()->PageControl1->setCurrentWidget(ui()->TabSheet2);
         Type(ui()->ed_Chan, "3");
         Click(ui()->Button1);
       },
       "05 06 00 21 00 03 98 45", reg::kActiveChannel, 3,
       [&] { return ui()->lb_Chan->text() == QStringLiteral("Включен канал  3"); }},
      {"grade of channel 2",
       [&] {
         ui()->PageControl1->setCurrentWidget(ui()->TabSheet2);
         Type(ui()->ed_Chan, "2");
         Type(ui()->ed_Sort, "1.5");
         Click(ui()->Button2);
       },
       "05 06 00 03 00 73 39 AB", 3, 115,
       [&] {
         const QTableWidgetItem* cell = ui()->StringGrid1->item(2, 1);
         return cell && cell->text() == QStringLiteral("1.5");
       }},
      {"serial settings",
       [&] {
         ui()->PageControl1->setCurrentWidget(ui()->TabSheet3);
         ui()->cmb_Rate->setCurrentIndex(ui()->cmb_Rate->findText("19200"));
         ui()->cmb_Par->setCurrentIndex(ui()->cmb_Par->findText("EVENPARITY"));
         Click(ui()->rb_1);
         Click(ui()->Button4);
       },
       "05 06 00 00 00 0E 09 8A", reg::kSerialSettings, 0x0E,
       [&] {
         return ui()->lb_Baud->text() == QStringLiteral("19200 бод") && ui()->lb_Par->text() == "EVENPARITY" &&
                ui()->lb_Stop->text() == "STOP1";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.operate();
    QString traced = QStringLiteral("<-- ");
    for (const QString& b : Q(c.frame).split(' ')) traced += " 0x" + b;
    bool inTrace = false;
    EXPECT_TRUE(WaitFor([&] {
      inTrace = inTrace || MemoLines(form()).contains(traced);
      return UnitReceived(c.frame) && unit.Registers()[static_cast<std::size_t>(c.reg)] == c.value;
    }, 2500)) << "the unit never got " << c.frame;
    EXPECT_TRUE(WaitFor([&] {
      inTrace = inTrace || MemoLines(form()).contains(traced);
      return c.shown();
    }, 3000)) << "the next polls do not show it";
    EXPECT_TRUE(inTrace) << traced.toStdString();
  }
  EXPECT_TRUE(ShowsUnit(unit.Registers()));

  // A command made while disconnected leaves after the next connect, with that connect's address.
  ASSERT_EQ(Disconnect().size(), 1u);
  ASSERT_FALSE(form().Connection().IsOpen());
  Simulator& other = StartUnit(9, "unit9");
  ui()->PageControl1->setCurrentWidget(ui()->TabSheet2);
  Type(ui()->ed_Chan, "5");
  Click(ui()->Button1);
  Type(ui()->ed_Adr, "9");
  Connect(other.LinkPath());
  ASSERT_TRUE(form().Connection().IsOpen());
  EXPECT_TRUE(WaitFor([&] { return UnitReceived("09 06 00 21 00 05 18 8B"); }, 2500));
  EXPECT_TRUE(WaitFor([&] {
    return MemoLines(form()).contains(QStringLiteral("<--  0x09 0x03 0x00 0x00 0x00 0x36 0xC4 0x94")) &&
           ui()->lb_Chan->text() == QStringLiteral("Включен канал  5");
  }, 3000));
  EXPECT_EQ(other.Registers()[reg::kActiveChannel], 5);
  EXPECT_EQ(unit.Registers()[reg::kActiveChannel], 3) << "the first unit is not addressed any more";
  EXPECT_TRUE(ShowsUnit(other.Registers()));
}

TEST_F(EndToEnd, FaultyRepliesAreTracedButNeverShownAndSilenceTripsTheWatchdog) {
  Simulator& unit = StartUnit();
  Connect(unit.LinkPath());
  const Registers good = unit.Registers();
  ASSERT_TRUE(ShowsUnit(good));

  // Faulty from now on, with a moisture that would show if a faulty reply got through.
  unit.SetFault(FaultKind::BadCrc);
  QElapsedTimer sinceFault;
  sinceFault.start();
  unit.SetRegister(reg::kMoisture, 2346);
  Registers changed = good;
  changed[reg::kMoisture] = 2346;
  Bytes badCrc = PollReply(5, changed);
  badCrc[111] ^= 0xFF;
  Bytes otherSlave = PollReply(5, changed);
  otherSlave[0] = 6;
  Stamp(otherSlave);

  bool labelsKept = true;
  const auto keptAndTraced = [&](const QString& line) {
    labelsKept = labelsKept && Mismatches(form(), good).isEmpty();
    return MemoLines(form()).contains(line);
  };
  EXPECT_TRUE(WaitFor([&] { return keptAndTraced(ReplyLine(badCrc)); }, 2500)) << "bad CRC reply traced";
  unit.SetFault(FaultKind::WrongAddress);
  EXPECT_TRUE(WaitFor([&] { return keptAndTraced(ReplyLine(otherSlave)); }, 2500)) << "other slave's reply traced";
  EXPECT_EQ(ui()->lb_connect->text(), QString());

  unit.SetFault(FaultKind::Silent);
  EXPECT_TRUE(WaitFor([&] {
    keptAndTraced({});
    return ui()->lb_connect->text() == kNoLink;
  }, 7000)) << "no-link text";
  // From the 11th tick after the last accepted reply, which came before the faults began.
  EXPECT_GT(sinceFault.elapsed(), 3900);
  EXPECT_TRUE(labelsKept) << "a rejected reply changed the display";
  EXPECT_TRUE(form().Connection().IsOpen());

  unit.SetFault(FaultKind::None);
  EXPECT_TRUE(WaitFor([&] { return ui()->lb_connect->text().isEmpty(); }, 3000)) << "replies are back";
  EXPECT_TRUE(ShowsUnit(changed));
}

TEST_F(EndToEnd, HangUpWhileConnectedThenDisconnectAndConnectAgain) {
  Simulator& unit = StartUnit();
  Connect(unit.LinkPath());
  ASSERT_TRUE(ShowsUnit(unit.Registers()));

  unit.HangUp();
  ASSERT_TRUE(WaitFor([&] { return unit.Stats().hangups == 1 && form().Connection().PortLost(); }, 2000));

  // A hung-up line reports itself for ever; the receive thread (nor any other) must
  // not spin on it.
  const std::map<std::string, double> threads0 = OtherThreadsCpuSeconds();
  const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  QElapsedTimer wall;
  wall.start();
  Pump(1000);
  const double wallSeconds = wall.elapsed() / 1000.0;
  for (const auto& [tid, seconds] : OtherThreadsCpuSeconds()) {
    const auto before = threads0.find(tid);
    EXPECT_LT(seconds - (before == threads0.end() ? 0.0 : before->second), 0.05) << "thread " << tid;
  }
  EXPECT_LT(CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0, 0.3 * wallSeconds);
  EXPECT_TRUE(form().Connection().IsOpen());

  QElapsedTimer took;
  took.start();
  const auto seen = Disconnect();
  EXPECT_LT(took.elapsed(), 1000);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, kDisconnectText);
  ASSERT_FALSE(form().Connection().IsOpen());
  EXPECT_EQ(ui()->StatusBar1Panel0->text(), kNotConnected);

  // The unit comes back on a new device behind the same path.
  ASSERT_TRUE(WaitFor([&] { return unit.Stats().reopens >= 1; }, 3000));
  unit.SetRegister(reg::kMoisture, 1999);
  Connect(unit.LinkPath());
  ASSERT_TRUE(form().Connection().IsOpen());
  EXPECT_TRUE(ShowsUnit(unit.Registers()));
  EXPECT_EQ(ui()->lb_Curr->text(), MoistureLabel(1999));
}

TEST_F(EndToEnd, BurstsAndTrailingBytesDecodeAndAFloodIsSurvived) {
  Simulator& unit = StartUnit();
  Connect(unit.LinkPath());
  ASSERT_TRUE(ShowsUnit(unit.Registers()));

  const auto allRepliesWhole = [&] {
    for (const QString& line : MemoLines(form()))
      if (line.startsWith("-->") && (line.count(" 0x") != 113 || !line.endsWith("<---"))) return false;
    return true;
  };
  struct Case {
    FaultKind fault;
    std::uint16_t moisture;
  };
  // The fault is set before the value changes, so the new value can only come through a faulty reply.
  for (const Case c : {Case{FaultKind::Bursts, 1234}, Case{FaultKind::Trailing, 2345}}) {
    SCOPED_TRACE(std::string(tagris::unitsim::FaultName(c.fault)));
    const auto faults = unit.Stats().faultsInjected;
    unit.SetFault(c.fault);
    unit.SetRegister(reg::kMoisture, c.moisture);
    EXPECT_TRUE(WaitFor([&] { return ui()->lb_Curr->text() == MoistureLabel(c.moisture); }, 3000));
    EXPECT_GT(unit.Stats().faultsInjected, faults);
    EXPECT_TRUE(allRepliesWhole()) << MemoLines(form()).join('\n').toStdString();
    EXPECT_EQ(ui()->lb_connect->text(), QString());
  }

  // More than the receive buffer holds: the tool drops it and carries on.
  const auto faults = unit.Stats().faultsInjected;
  unit.SetFault(FaultKind::Flood);
  EXPECT_TRUE(WaitFor([&] { return unit.Stats().faultsInjected >= faults + 2; }, 3000));
  Pump(300);
  EXPECT_TRUE(form().Connection().IsOpen());
  EXPECT_TRUE(allRepliesWhole()) << MemoLines(form()).join('\n').toStdString();
  unit.SetFault(FaultKind::None);
  unit.SetRegister(reg::kMoisture, 3456);
  EXPECT_TRUE(WaitFor([&] { return ui()->lb_Curr->text() == MoistureLabel(3456); }, 3000));
  EXPECT_TRUE(ShowsUnit(unit.Registers()));
}

TEST_F(EndToEnd, ExitWhileConnectedAndLoggingClosesEverythingAtOnce) {
  Simulator& unit = StartUnit();
  Connect(unit.LinkPath());
  ASSERT_TRUE(ShowsUnit(unit.Registers()));

  const std::string log = dir_ + "/session.txt";
  {
    ModalAnswerer answerer({QMessageBox::Yes}, SaveAs(Q(log)));
    ui()->chk_Write->setChecked(true);
  }
  ASSERT_TRUE(form().Connection().Log().IsOpen());
  const auto lineCount = [&] {
    const std::string text = ReadFileBytes(log);
    return std::count(text.begin(), text.end(), '\n');
  };
  ASSERT_TRUE(WaitFor([&] { return lineCount() >= 2; }, 3000)) << "header and a data line";

  ModalAnswerer answerer({QMessageBox::Ok});
  QElapsedTimer took;
  took.start();
  EXPECT_TRUE(form().close());
  EXPECT_LT(took.elapsed(), 1000);
  ASSERT_EQ(answerer.seen().size(), 1u);
  EXPECT_EQ(answerer.seen()[0].title, QStringLiteral("Warning"));
  EXPECT_EQ(answerer.seen()[0].text, kExitText);
  EXPECT_FALSE(form().isVisible());
  EXPECT_FALSE(form().Connection().Log().IsOpen());
  EXPECT_FALSE(form().Connection().IsOpen());

  const auto requests = unit.Stats().requestsSeen;
  const auto lines = lineCount();
  Pump(1200);
  EXPECT_EQ(unit.Stats().requestsSeen, requests) << "nothing polls after the exit";
  EXPECT_EQ(lineCount(), lines);
  // Nobody holds the log file any more.
  const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  const std::string text = ReadFileBytes(log);
  EXPECT_TRUE(text.ends_with("\r\n"));
}

}  // namespace
