#pragma once
// The one window of the program. Handlers keep the names of their controls and
// events; each subsystem defines its handlers in its own folder (form_*.cpp).
#include <QWidget>

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/connection.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class TForm1;
}
class QTimer;
class QLineSeries;
class QValueAxis;
class QChart;
QT_END_NAMESPACE

namespace tagris {
class MainThreadBell;
}  // namespace tagris

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Every control of the layout, under its layout name (ui->bt_Connect, ...).
  Ui::TForm1* ui = nullptr;
  QTimer* Timer1 = nullptr;  // poll timer, 500 ms
  QTimer* Timer2 = nullptr;  // recording timer, 1000 ms

  // ===== application shell (src/app) =====
  void CloseForm(QObject* Sender, bool& CanClose);
  // Characters the decimal key filters let through: "0".."9", ".", "+", "-", backspace.
  std::bitset<256> NumericKeys;

  // ===== serial link and Modbus exchange (src/serial, src/modbus) =====
  void bt_ConnectClick();
  void ClosePort();
  void Tick();
  // Shows what one reply did: its trace line, the measurement update, a log failure.
  void ProcessReply(const tagris::ReplyOutcome& reply);
  // Trace memo rule shared by requests and replies: keeps the last five lines.
  void AddTraceLine(const QString& line);
  // Connect step: opens, configures and starts the link; false when the port
  // cannot be had. Throws ConversionError for a speed or address that is not a number.
  bool OpenLink(const QString& portName);

  bool Connected = false;
  std::int32_t TraceLineCount = 0;
  // The port, its threads, the poll cycle, the kept values and the log file.
  std::unique_ptr<tagris::Connection> Link;

  // ===== measurements and display (src/measure) =====
  // The measurement update for one accepted reply; count is its number since the connect.
  void MeasurementUpdate(const tagris::RegisterBlock& block, double count);
  // Builds both charts and gives them their start-up ranges (axes 0..100, window 0..100).
  void SetupCharts();
  void ResetCharts();  // at connect

  QChart* Chart1Chart = nullptr;
  QChart* Chart2Chart = nullptr;
  QValueAxis* Chart1BottomAxis = nullptr;
  QValueAxis* Chart1LeftAxis = nullptr;
  QValueAxis* Chart2BottomAxis = nullptr;
  QValueAxis* Chart2LeftAxis = nullptr;
  QLineSeries* Series1 = nullptr;
  QLineSeries* Series2 = nullptr;
  QLineSeries* Series3 = nullptr;
  QLineSeries* Series4 = nullptr;
  QLineSeries* Series5 = nullptr;

  double PlotTime = 0;
  double PlotWindowStart = 0;
  double PlotWindowEnd = 100;

  // ===== device configuration (src/config) =====
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void ed_AdrKeyPress(QObject* Sender, char& Key);
  void ed_SolKeyPress(QObject* Sender, char& Key);
  void cmb_RateKeyPress(QObject* Sender, char& Key);
  void cmb_ParKeyPress(QObject* Sender, char& Key);
  void ed_SortChange(QObject* Sender);

  // ===== recording (src/record) =====
  void Button7Click();
  void Button8Click();
  void Timer2Timer();
  void Write_File();
  void CloseLogFile();

  std::int32_t SampleCountdown = 0;
  std::string SampleTextInM1;  // the sample-file bytes M1 shows after the last sample

  // Folder of the sample file "Tagris.txt": the program's own folder when it is
  // writable, else the per-user data folder (created when missing).
  static QString DefaultSampleDir();
  QString SampleDir() const;  // SampleDirOverride when set, else DefaultSampleDir()
  QString SampleDirOverride;  // tests point the sample file elsewhere

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BindEvents();  // every signal connection of the window, in one place
  // The receive thread rang: show what the replies it handed over did.
  void ServeReplies();
  tagris::MainThreadBell* ReplyBell = nullptr;
  // src/config: routes typed (and pasted) characters of the filtered fields
  // through their key handlers; true when the event was consumed.
  void InstallKeyFilters();
  bool KeyFilterEvent(QObject* watched, QEvent* event);
};
