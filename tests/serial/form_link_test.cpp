// The window's connect, poll, reply and disconnect against a pseudo-terminal unit.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tform1.h"
#include "modal.h"
#include "modbus/crc.h"
#include "modbus/reply.h"
#include "pty_peer.h"
#include "serial/custom_baud_linux.h"
#include "serial/serial_link.h"
#include "window.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tagris::test::Controls;
using tagris::test::Fire;
using tagris::test::ModalAnswerer;
using tagris::test::PtyPeer;
using tagris::test::WaitFor;

// A good measurement reply of `address`.
Bytes Reply(std::uint8_t address) {
  Bytes r(113);
  r[0] = address;
  r[1] = 0x03;
  r[2] = 0x6C;
  for (std::size_t i = 3; i < 111; ++i) r[i] = static_cast<std::uint8_t>(i);
  tagris::StampCrc(r);
  return r;
}

Bytes PollFrameOf(std::uint8_t address) {
  Bytes f{address, 0x03, 0x00, 0x00, 0x00, 0x36, 0, 0};
  tagris::StampCrc(f);
  return f;
}

QStringList MemoLines(TForm1& form) {
  const QString text = Controls(form).Memo1->toPlainText();
  return text.isEmpty() ? QStringList{} : text.split('\n');
}

// Lets the event loop run for ms milliseconds.
void Pump(int ms) { WaitFor([] { return false; }, ms); }

// A log file as if the operator had chosen one through chk_Write: the box is
// checked without running its handler, the path shown in the status bar.
void PretendLogging(TForm1& form, const std::string& path) {
  form.Connection().Log().Start(path);
  const Controls ui(form);
  const QSignalBlocker quiet(ui.chk_Write);
  ui.chk_Write->setChecked(true);
  ui.StatusBar1Panel1->setText(QString::fromStdString(path));
}

// True while some program holds the log file (the log recorder locks it).
bool LogHeld(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

// True when nobody holds the port any more: another link can have it.
bool PortFree(const std::string& path) {
  tagris::SerialLink probe;
  const bool free = probe.Open(path) == tagris::OpenError::None;
  probe.Close();
  return free;
}

class FormLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok());
    std::string pattern = "/tmp/tagris-form-link-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    form.Connection().Close();
    form.Connection().Log().Stop();
    for (const char* name : {"/log.txt", ""}) ::remove((dir + name).c_str());
  }

  // Connects through the button; the poll timer is then driven by hand.
  void Connect(const QString& port, const QString& address = QStringLiteral("5")) {
    ui.cmb_PORT->setEditText(port);
    ui.ed_Adr->setText(address);
    ui.bt_Connect->click();
    ui.Timer1->stop();
  }

  // One tick of the poll timer, paced by the test.
  void Tick() { Fire(ui.Timer1); }
  bool Connected() { return form.Connection().IsOpen(); }
  tagris::PollCycle& Poll() { return form.Connection().Cycle(); }

  // Sends the next poll: ticks until a poll went out, returns the frame the unit saw.
  Bytes TickToPoll() {
    if (Poll().PollPhase == 0) Tick();  // the command slot comes first
    Tick();
    return peer.Read(8, 500);
  }

  PtyPeer peer;
  std::string dir;
  TForm1 form;
  const Controls ui{form};
};

TEST_F(FormLink, ConnectPollAndTraceTheReply) {
  ui.Memo1->setPlainText(QStringLiteral("old trace"));
  QLineSeries* moisture = tagris::test::SeriesOf(ui.Chart1, "Series1");
  moisture->append(42, 1);
  Connect(QString::fromStdString(peer.path()));
  ASSERT_TRUE(Connected());
  EXPECT_EQ(moisture->count(), 0);
  for (QChartView* chart : {ui.Chart1, ui.Chart2}) {
    const QValueAxis* time = tagris::test::AxisOf(chart, Qt::Horizontal);
    EXPECT_EQ(time->min(), 0.0);
    EXPECT_EQ(time->max(), 10000.0);
  }
  EXPECT_EQ(ui.bt_Connect->text(), QStringLiteral("Отключить"));
  EXPECT_EQ(ui.StatusBar1Panel0->text(),
            QStringLiteral(">> Модуль подключен (Port ") + QString::fromStdString(peer.path()) + ")");
  EXPECT_EQ(ui.lb_Curr->text(), QStringLiteral("Влага: 0.0 %"));
  EXPECT_TRUE(ui.Memo1->toPlainText().isEmpty());
  for (QWidget* w : std::initializer_list<QWidget*>{ui.cmb_PORT, ui.cmb_Speed, ui.cmb_Parity,
                                                    ui.cmb_Stop, ui.ed_Adr})
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();

  Tick();  // first tick after the first connect: command slot, nothing pending
  EXPECT_TRUE(peer.Read(1, 100).empty());
  Tick();
  EXPECT_EQ(peer.Read(8, 500), PollFrameOf(5));
  ASSERT_EQ(MemoLines(form), QStringList{"<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58"});

  Poll().LinkCountdown = 2;
  peer.Write(Reply(5));
  ASSERT_TRUE(WaitFor([&] { return MemoLines(form).size() == 2; }, 2000));
  const QString line = MemoLines(form)[1];
  EXPECT_TRUE(line.startsWith("--> 0x05 0x03 0x6C 0x03 0x04")) << line.toStdString();
  EXPECT_TRUE(line.endsWith("<---"));
  EXPECT_EQ(line.size(), 3 + 5 * 113 + 4);
  EXPECT_EQ(Poll().LinkCountdown, 10);
}

// Between the connect and the first request the receive thread hands over nothing
// shorter than 107 bytes; what it hands over is traced as a reply.
TEST_F(FormLink, BeforeTheFirstRequestOnly107BytesAreHandedOver) {
  Connect(QString::fromStdString(peer.path()));
  ASSERT_TRUE(Connected());
  peer.Write(Bytes(106, 0x11));
  Pump(300);
  EXPECT_TRUE(MemoLines(form).isEmpty()) << "106 bytes stay queued";
  peer.Write(Bytes{0x11});
  ASSERT_TRUE(WaitFor([&] { return MemoLines(form).size() == 1; }, 2000));
  EXPECT_EQ(MemoLines(form)[0], QStringLiteral("-->") + QStringLiteral(" 0x11").repeated(107) + QStringLiteral("<---"));
}

TEST_F(FormLink, TheRealTimerPollsOncePerSecond) {
  using Clock = std::chrono::steady_clock;
  ui.cmb_PORT->setEditText(QString::fromStdString(peer.path()));
  const Clock::time_point connected = Clock::now();
  ui.bt_Connect->click();
  ASSERT_TRUE(ui.Timer1->isActive());
  EXPECT_EQ(ui.Timer1->interval(), 500);
  // The first tick is a command slot with nothing to send: polls follow at 1 s,
  // 2 s, ... after the connect, never earlier (a late tick may be made up).
  for (int poll = 1; poll <= 2; ++poll) {
    SCOPED_TRACE(poll);
    Bytes seen;
    ASSERT_TRUE(WaitFor([&] {
      const Bytes got = peer.Read(8 - seen.size(), 5);
      seen.insert(seen.end(), got.begin(), got.end());
      return seen.size() >= 8;
    }, 2500));
    const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - connected).count();
    EXPECT_EQ(seen, PollFrameOf(5));
    EXPECT_GE(at, poll * 1000 - 10);
    EXPECT_LT(at, poll * 1000 + 700);
  }
}

TEST_F(FormLink, FaultyRepliesAreTracedButNotTaken) {
  struct Case {
    const char* what;
    void (*spoil)(Bytes&);
  };
  const Case cases[] = {
      {"bad CRC", [](Bytes& r) { r[111] ^= 0xFF; }},
      {"other slave", [](Bytes& r) { r[0] = 6; tagris::StampCrc(r); }},
      {"wrong function", [](Bytes& r) { r[1] = 0x04; tagris::StampCrc(r); }},
      {"wrong byte count", [](Bytes& r) { r[2] = 0x6B; tagris::StampCrc(r); }},
  };
  Connect(QString::fromStdString(peer.path()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(TickToPoll(), PollFrameOf(5));
    Poll().LinkCountdown = 3;
    Bytes r = Reply(5);
    c.spoil(r);
    peer.Write(r);
    const QString trace = QString::fromStdString(tagris::ReceiveTraceLine(r, 113));
    ASSERT_TRUE(WaitFor([&] { return MemoLines(form).back() == trace; }, 2000)) << "still traced";
    EXPECT_EQ(Poll().LinkCountdown, 3) << "a faulty reply must not keep the link alive";
    EXPECT_EQ(ui.lb_Curr->text(), QStringLiteral("Влага: 0.0 %")) << "a faulty reply must not be shown";
  }
}

TEST_F(FormLink, LateReplyAfterThePhaseSwitchedIsIgnored) {
  Connect(QString::fromStdString(peer.path()));
  ASSERT_EQ(TickToPoll(), PollFrameOf(5));
  Poll().LinkCountdown = 4;
  peer.Write(Reply(5));
  // The reply is read and posted, but the next tick runs before the window sees it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Tick();  // command slot, nothing sent
  Pump(300);
  EXPECT_EQ(MemoLines(form).size(), 1);
  EXPECT_EQ(Poll().LinkCountdown, 3);
}

TEST_F(FormLink, MemoKeepsTheLastFiveLinesOfBothDirections) {
  Connect(QString::fromStdString(peer.path()));
  QStringList all;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(TickToPoll(), PollFrameOf(5));
    all << QStringLiteral("<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58");
    Bytes r = Reply(5);
    r[3] = static_cast<std::uint8_t>(i);  // tell the replies apart
    tagris::StampCrc(r);
    peer.Write(r);
    all << QString::fromStdString(tagris::ReceiveTraceLine(r, 113));
    ASSERT_TRUE(WaitFor([&] { return ui.Memo1->toPlainText().endsWith(all.back()); }, 2000));
    const QStringList expected = all.mid(std::max<qsizetype>(0, all.size() - 5));
    EXPECT_EQ(MemoLines(form), expected);
  }
}

TEST_F(FormLink, AddressIsClampedAndStampedIntoBothFrames) {
  Poll().QueueCommand(0x0021, 1);  // made while disconnected
  Connect(QString::fromStdString(peer.path()), QStringLiteral("200"));
  ASSERT_TRUE(Connected());
  EXPECT_EQ(ui.ed_Adr->text(), QStringLiteral("127"));
  Tick();  // command slot: the waiting command goes out with the new address
  Bytes cmd{0x7F, 0x06, 0x00, 0x21, 0x00, 0x01, 0, 0};
  tagris::StampCrc(cmd);
  EXPECT_EQ(peer.Read(8, 500), cmd);
  Tick();
  EXPECT_EQ(peer.Read(8, 500), (Bytes{0x7F, 0x03, 0x00, 0x00, 0x00, 0x36, 0xCF, 0xC2}));
}

// The line takes the speed as typed, the parity by its list index and the
// stop bits by theirs.
TEST_F(FormLink, ConnectAppliesTheChosenLineSettings) {
  struct Case {
    const char* speed;
    int parity;  // index in cmb_Parity: NOPARITY, ODDPARITY, EVENPARITY
    int stop;    // index in cmb_Stop: STOP 1, STOP 2
    std::uint32_t baud;
  };
  const Case cases[] = {
      {"9600", 0, 0, 9600},
      {"4800", 1, 1, 4800},
      {"19200", 2, 0, 19200},
      {"57600", 0, 1, 57600},  // not in the list
      {" 38400", 1, 0, 38400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.speed);
    ui.cmb_Speed->setEditText(QString::fromUtf8(c.speed));
    ui.cmb_Parity->setCurrentIndex(c.parity);
    ui.cmb_Stop->setCurrentIndex(c.stop);
    Connect(QString::fromStdString(peer.path()));
    ASSERT_TRUE(Connected());
    termios t{};
    ASSERT_EQ(tcgetattr(peer.slave(), &t), 0);
    EXPECT_EQ(tagris::detail::GetBaud(peer.slave()), c.baud);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(bool(t.c_cflag & CSTOPB), c.stop == 1);
    // A pseudo-terminal drops PARENB but keeps PARODD.
    EXPECT_EQ(bool(t.c_cflag & PARODD), c.parity == 1);
    ModalAnswerer answer({QMessageBox::Ok});
    ui.bt_Connect->click();
    ASSERT_FALSE(Connected());
  }
  ui.cmb_Speed->setEditText(QStringLiteral("9600"));
}

TEST_F(FormLink, MissingPortShowsTheConnectError) {
  struct Case {
    const char* port;
    const char* speed;  // not looked at: the port is opened first
  };
  const Case cases[] = {
      {"/dev/tagris-no-such-port", "9600"},
      {"", "9600"},
      {"", "96OO"},
      {"COM", "9600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("port '") + c.port + "', speed " + c.speed);
    ui.cmb_Speed->setEditText(QString::fromUtf8(c.speed));
    ModalAnswerer answer({QMessageBox::Ok});
    Connect(QString::fromUtf8(c.port));
    ASSERT_EQ(answer.seen().size(), 1u);
    EXPECT_EQ(answer.seen()[0].title, QStringLiteral("Warning!"));
    EXPECT_EQ(answer.seen()[0].text, QStringLiteral("Ошибка подключения!"));
    EXPECT_EQ(answer.seen()[0].buttons, QMessageBox::Ok);
    EXPECT_FALSE(answer.seen()[0].owned) << "the box has no owner window";
    EXPECT_FALSE(Connected());
    for (QWidget* w : std::initializer_list<QWidget*>{ui.cmb_PORT, ui.cmb_Speed, ui.cmb_Parity,
                                                      ui.cmb_Stop, ui.ed_Adr})
      EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(ui.bt_Connect->text(), QStringLiteral("Подключить"));
    EXPECT_EQ(ui.StatusBar1Panel0->text(), QStringLiteral(">> Модуль не подключен!"));
    EXPECT_EQ(ui.cmb_PORT->currentText(), QString::fromUtf8(c.port));
  }
  ui.cmb_Speed->setEditText(QStringLiteral("9600"));
}

TEST_F(FormLink, PortInUseShowsTheConnectError) {
  Connect(QString::fromStdString(peer.path()));
  ASSERT_TRUE(Connected());
  TForm1 other;
  ModalAnswerer answer({QMessageBox::Ok});
  const Controls otherUi(other);
  otherUi.cmb_PORT->setEditText(QString::fromStdString(peer.path()));
  otherUi.bt_Connect->click();
  EXPECT_FALSE(other.Connection().IsOpen());
  ASSERT_EQ(answer.seen().size(), 1u);
  EXPECT_EQ(answer.seen()[0].text, QStringLiteral("Ошибка подключения!"));
}

TEST_F(FormLink, TextThatIsNoNumberLeavesThePortFree) {
  struct Case {
    const char* speed;
    const char* address;
    const char* message;
  };
  const Case cases[] = {
      {"96OO", "5", "'96OO' is not a valid integer value"},
      {"9600", "", "'' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ui.cmb_Speed->setEditText(QString::fromUtf8(c.speed));
    {
      ModalAnswerer answer({QMessageBox::Ok});
      Connect(QString::fromStdString(peer.path()), QString::fromUtf8(c.address));
      ASSERT_EQ(answer.seen().size(), 1u);
      EXPECT_EQ(answer.seen()[0].title, QStringLiteral("Error"));
      EXPECT_EQ(answer.seen()[0].text, QString::fromUtf8(c.message));
      EXPECT_EQ(answer.seen()[0].buttons, QMessageBox::Ok);
    }
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(ui.cmb_PORT->isEnabled());
    // Nobody holds the port any more: the next attempt gets it.
    ui.cmb_Speed->setEditText(QStringLiteral("9600"));
    Connect(QString::fromStdString(peer.path()));
    ASSERT_TRUE(Connected());
    EXPECT_EQ(TickToPoll(), PollFrameOf(5));
    ModalAnswerer answer({QMessageBox::Ok});
    ui.bt_Connect->click();
    ASSERT_FALSE(Connected());
  }
}

TEST_F(FormLink, DisconnectAsksAndStopsEverything) {
  Connect(QString::fromStdString(peer.path()), QStringLiteral("7"));
  ASSERT_EQ(TickToPoll(), PollFrameOf(7));
  peer.Write(Reply(7));
  ASSERT_TRUE(WaitFor([&] { return MemoLines(form).size() == 2; }, 2000));
  ui.lb_connect->setText(QStringLiteral(" Нет связи с блоком"));
  const QString trace = ui.Memo1->toPlainText();
  const QString moisture = ui.lb_Curr->text();
  const std::string log = dir + "/log.txt";
  PretendLogging(form, log);
  {
    ModalAnswerer answer({QMessageBox::Cancel});
    ui.bt_Connect->click();
    ASSERT_EQ(answer.seen().size(), 1u);
    EXPECT_EQ(answer.seen()[0].title, QStringLiteral("Warning"));
    EXPECT_EQ(answer.seen()[0].text, QStringLiteral("            Отключить блок\n              Вы уверены?"));
    EXPECT_EQ(answer.seen()[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_FALSE(answer.seen()[0].owned);
  }
  EXPECT_TRUE(Connected());
  EXPECT_TRUE(form.Connection().Log().IsOpen());
  EXPECT_TRUE(LogHeld(log));
  EXPECT_TRUE(ui.chk_Write->isChecked());
  ui.Timer1->start();
  {
    ModalAnswerer answer({QMessageBox::Ok});
    ui.bt_Connect->click();
  }
  EXPECT_FALSE(Connected());
  EXPECT_FALSE(ui.Timer1->isActive());
  EXPECT_FALSE(form.Connection().Log().IsOpen());
  EXPECT_FALSE(LogHeld(log)) << "the log file is closed";
  EXPECT_FALSE(ui.chk_Write->isChecked());
  EXPECT_TRUE(ui.StatusBar1Panel1->text().isEmpty()) << "unchecking ran Write_File";
  // What the last connection showed stays.
  EXPECT_EQ(ui.Memo1->toPlainText(), trace);
  EXPECT_EQ(ui.lb_Curr->text(), moisture);
  EXPECT_EQ(ui.lb_connect->text(), QStringLiteral(" Нет связи с блоком"));
  EXPECT_EQ(Poll().PollFrame[0], 7);
  EXPECT_EQ(Poll().CommandFrame[0], 7);
  EXPECT_EQ(ui.bt_Connect->text(), QStringLiteral("Подключить"));
  EXPECT_EQ(ui.StatusBar1Panel0->text(), QStringLiteral(">> Модуль не подключен!"));
  for (QWidget* w : std::initializer_list<QWidget*>{ui.cmb_PORT, ui.cmb_Speed, ui.cmb_Parity,
                                                    ui.cmb_Stop, ui.ed_Adr})
    EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(PortFree(peer.path())) << "the port must be closed";
}

// The poll cycle goes on where it was: a connect resets neither the slot nor
// the watchdog, and a command still waiting survives the disconnect.
TEST_F(FormLink, PollStateIsKeptAcrossDisconnectAndConnect) {
  Poll().PollPhase = 1;
  Poll().LinkCountdown = 3;
  Connect(QString::fromStdString(peer.path()));
  EXPECT_EQ(Poll().PollPhase, 1);
  EXPECT_EQ(Poll().LinkCountdown, 3);
  Tick();  // a poll slot straight away
  EXPECT_EQ(peer.Read(8, 500), PollFrameOf(5));
  EXPECT_EQ(Poll().LinkCountdown, 2);

  Poll().QueueCommand(0x0021, 1);  // due at the next command slot, which never comes
  {
    ModalAnswerer answer({QMessageBox::Ok});
    ui.bt_Connect->click();
  }
  ASSERT_FALSE(Connected());
  EXPECT_TRUE(Poll().CommandPending);

  Connect(QString::fromStdString(peer.path()), QStringLiteral("9"));
  ASSERT_TRUE(Connected());
  EXPECT_EQ(Poll().LinkCountdown, 2);
  Tick();  // command slot: the command goes out with the new address
  Bytes cmd{0x09, 0x06, 0x00, 0x21, 0x00, 0x01, 0, 0};
  tagris::StampCrc(cmd);
  EXPECT_EQ(peer.Read(8, 500), cmd);
  EXPECT_FALSE(Poll().CommandPending);
}

// The confirmed exit closes the log file and stops the link without the
// disconnect's texts; Cancel leaves polling and logging as they were.
TEST_F(FormLink, ExitWhileConnectedAndLogging) {
  Connect(QString::fromStdString(peer.path()));
  ui.Timer1->start();
  const std::string log = dir + "/log.txt";
  PretendLogging(form, log);
  form.show();
  {
    ModalAnswerer answer({QMessageBox::Cancel});
    EXPECT_FALSE(form.close());
    ASSERT_EQ(answer.seen().size(), 1u);
    EXPECT_EQ(answer.seen()[0].text, QStringLiteral("        Выход из программы\n              Вы уверены?"));
    EXPECT_EQ(answer.seen()[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
  }
  EXPECT_TRUE(ui.Timer1->isActive());
  EXPECT_TRUE(form.Connection().Log().IsOpen());
  EXPECT_TRUE(LogHeld(log));
  EXPECT_EQ(TickToPoll(), PollFrameOf(5)) << "polling goes on";
  {
    ModalAnswerer answer({QMessageBox::Ok});
    EXPECT_TRUE(form.close());
  }
  EXPECT_FALSE(form.Connection().Log().IsOpen());
  EXPECT_FALSE(LogHeld(log));
  EXPECT_TRUE(PortFree(peer.path())) << "the port must be closed";
  EXPECT_EQ(ui.bt_Connect->text(), QStringLiteral("Отключить"));
  EXPECT_EQ(ui.StatusBar1Panel0->text(),
            QStringLiteral(">> Модуль подключен (Port ") + QString::fromStdString(peer.path()) + ")");
}

TEST_F(FormLink, ClosePortWithAReplyWaitingForTheWindow) {
  Connect(QString::fromStdString(peer.path()));
  ASSERT_EQ(TickToPoll(), PollFrameOf(5));
  peer.Write(Reply(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // read and posted, not yet run
  const auto start = std::chrono::steady_clock::now();
  form.Connection().Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  Pump(100);  // the posted hand-over arrives after the close and does nothing
  EXPECT_EQ(MemoLines(form).size(), 1);
}

TEST_F(FormLink, LostLineShowsNoLinkAndCanBeDisconnectedAndRejoined) {
  Connect(QString::fromStdString(peer.path()));
  ASSERT_EQ(TickToPoll(), PollFrameOf(5));
  peer.CloseMaster();  // the adapter is pulled
  Pump(100);
  Poll().LinkCountdown = 10;
  for (int tick = 1; tick <= 10; ++tick) {
    Tick();
    EXPECT_TRUE(ui.lb_connect->text().isEmpty()) << tick;
  }
  Tick();
  EXPECT_EQ(ui.lb_connect->text(), QStringLiteral(" Нет связи с блоком"));
  {
    ModalAnswerer answer({QMessageBox::Ok});
    ui.bt_Connect->click();
  }
  EXPECT_FALSE(Connected());
  PtyPeer back;
  Connect(QString::fromStdString(back.path()));
  ASSERT_TRUE(Connected());
  if (Poll().PollPhase == 0) Tick();
  Tick();
  EXPECT_EQ(back.Read(8, 500), PollFrameOf(5));
  back.Write(Reply(5));
  ASSERT_TRUE(WaitFor([&] { return Poll().LinkCountdown == 10; }, 2000));
  Tick();
  EXPECT_TRUE(ui.lb_connect->text().isEmpty());
}

}  // namespace
