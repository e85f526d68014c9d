#pragma once
// The one window of the program, a face of tagris::Connection: its handlers read
// the controls, call the connection and render what it returns. Handlers keep the
// names of their controls and events; each part of the window has its file:
//   tform1.cpp        construction, exit, every signal connection
//   form_serial.cpp   connect and disconnect
//   form_modbus.cpp   the poll timer, the replies and the trace memo
//   form_measure.cpp  the measurement update and the trend charts
//   form_config.cpp   configuration commands, key filters, the send-file button
//   form_record.cpp   sample recording and the log file
#include <QWidget>

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/connection.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class TForm1;
}
class QChart;
class QLineEdit;
class QLineSeries;
class QTimer;
class QValueAxis;
QT_END_NAMESPACE

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The port, its threads, the poll cycle, the kept values and the log file.
  tagris::Connection& Connection() { return *connection_; }

  // Shows what one reply did: its trace line, the measurement update, a log
  // failure. The window calls it for every reply the connection dispatches; a
  // reply handled without a port (Connection().HandleReply) is shown the same way.
  void ProcessReply(const tagris::ReplyOutcome& reply);

  // Folder of the sample file "Tagris.txt": the program's own folder when it is
  // writable, else the per-user data folder (created when missing).
  static QString DefaultSampleDir();
  // Points the sample file elsewhere (tests); empty: DefaultSampleDir().
  void SetSampleDir(const QString& dir) { sampleDir_ = dir; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // ===== handlers, under the names of their controls and events =====
  void CloseForm(QObject* Sender, bool& CanClose);
  void bt_ConnectClick();
  void Tick();  // Timer1
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void Button8Click();
  void Timer2Timer();
  void Write_File();  // chk_Write
  void ed_AdrKeyPress(QObject* Sender, char& Key);
  void ed_SolKeyPress(QObject* Sender, char& Key);
  void cmb_RateKeyPress(QObject* Sender, char& Key);
  void cmb_ParKeyPress(QObject* Sender, char& Key);
  void ed_SortChange(QObject* Sender);

  // ===== application shell (tform1.cpp) =====
  void CompleteLayout();   // what the layout file cannot say
  void CreateTimers();
  void SetStartingTexts();
  void BindEvents();       // every signal connection of the window, in one place

  // ===== connect and disconnect (form_serial.cpp) =====
  void ConnectClick();
  void DisconnectClick();
  // Opens, configures and starts the link; false when the port cannot be had.
  // Throws ConversionError for a speed or address that is not a number.
  bool OpenLink(const QString& portName);
  void ClosePort();

  // ===== replies and the trace memo (form_modbus.cpp) =====
  // The receive thread rang: show what the replies it handed over did.
  void ServeReplies();
  // Trace memo rule shared by requests and replies: keeps the last five lines.
  void AddTraceLine(const QString& line);

  // ===== measurement update and charts (form_measure.cpp) =====
  // count: the reply's number since the connect (the time axis of the charts).
  void MeasurementUpdate(const tagris::RegisterBlock& block, double count);
  void ShowMeasurementTexts(const tagris::RegisterBlock& block);
  void AddChartPoints(const tagris::RegisterBlock& block, double count);
  void SetupCharts();  // both charts, at their start-up ranges (axes 0..100)
  void ResetCharts();  // at connect

  // ===== configuration (form_config.cpp) =====
  template <class Build>
  void QueueChannelValueCommand(QLineEdit* field, Build build);
  // Routes typed (and pasted) characters of the filtered fields through their
  // key handlers; true when the event was consumed.
  void InstallKeyFilters();
  bool KeyFilterEvent(QObject* watched, QEvent* event);
  // The key handler of a filtered field, the Sender it is called with and the
  // line edit that receives what it lets through; no handler: not filtered.
  struct KeyRoute {
    void (TForm1::*handler)(QObject*, char&) = nullptr;
    QObject* sender = nullptr;
    QLineEdit* target = nullptr;
  };
  KeyRoute KeyRouteOf(QObject* watched) const;

  // ===== recording (form_record.cpp) =====
  void AddSampleRow(const std::array<std::string, 5>& cells);
  // Shows the sample file's new text in M1 and writes the file.
  void StoreSampleFile(const std::string& path, const std::string& text);
  // The log file the operator chooses, with its extension; empty when abandoned.
  std::string AskLogPath();
  void CloseLogFile();
  QString SampleDir() const;

  Ui::TForm1* ui = nullptr;  // every control of the layout, under its layout name
  QTimer* Timer1 = nullptr;  // poll timer, 500 ms
  QTimer* Timer2 = nullptr;  // recording timer, 1000 ms
  std::unique_ptr<tagris::Connection> connection_;

  // Characters the decimal key filters let through: "0".."9", ".", "+", "-", backspace.
  const std::bitset<256> numericKeys_;

  std::int32_t traceLines_ = 0;  // lines the trace rule has added since the memo was cleared

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
  double plotWindowStart_ = 0;  // left edge of the charts' time window, seconds

  std::int32_t sampleCountdown_ = 0;  // ticks until the next sample
  std::string sampleTextInM1_;        // the sample-file bytes M1 shows after the last sample
  QString sampleDir_;                 // SetSampleDir; empty: DefaultSampleDir()
};
