#pragma once
// The window's controls and timers found by their object names, as an acceptance
// run finds them: GUI tests reach TForm1 only through these, through the signals
// of its controls and through TForm1::Connection().
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QValueAxis>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>

#include "tform1.h"
#include "updown.h"

namespace tagris::test {

// The child of `window` of class T named `name`; a missing one ends the test run.
template <class T>
T* Find(const QObject& window, const char* name) {
  T* found = window.findChild<T*>(QString::fromLatin1(name));
  if (!found) qFatal("the window has no %s named %s", T::staticMetaObject.className(), name);
  return found;
}

// Runs what the timer runs when it fires, now (tests pace the window's timers).
inline void Fire(QTimer* timer) { QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection); }

// Series of a chart view by name ("Series1" .. "Series5").
inline QLineSeries* SeriesOf(const QChartView* view, const char* name) {
  for (QAbstractSeries* s : view->chart()->series())
    if (s->objectName() == QLatin1String(name)) return qobject_cast<QLineSeries*>(s);
  qFatal("chart %s has no series %s", qPrintable(view->objectName()), name);
  return nullptr;
}

inline QValueAxis* AxisOf(const QChartView* view, Qt::Orientation orientation) {
  const QList<QAbstractAxis*> axes = view->chart()->axes(orientation);
  auto* axis = axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.front());
  if (!axis) qFatal("chart %s has no value axis", qPrintable(view->objectName()));
  return axis;
}

#define TAGRIS_WINDOW_CONTROLS(X)                                                                                     \
  X(QPushButton, bt_Connect) X(QComboBox, cmb_PORT) X(QComboBox, cmb_Speed) X(QComboBox, cmb_Parity)                  \
  X(QComboBox, cmb_Stop) X(QLineEdit, ed_Adr) X(TUpDown, UpDown1) X(QLabel, StatusBar1Panel0)                         \
  X(QLabel, StatusBar1Panel1) X(QLabel, lb_connect) X(QLabel, lb_Curr) X(QLabel, lb_TOUT) X(QPlainTextEdit, Memo1)    \
  X(QPlainTextEdit, M1) X(QCheckBox, chk_Write) X(QPushButton, Button6) X(QChartView, Chart1) X(QChartView, Chart2)   \
  X(QTabWidget, PageControl1) X(QWidget, TabSheet1) X(QWidget, TabSheet2) X(QWidget, TabSheet3) X(QWidget, TabSheet4) \
  X(QLabel, Label6) X(QLabel, Label7) X(QLabel, Label8) X(QLabel, lb_Phase) X(QLabel, lb_Wlag) X(QLabel, lb_TermTWO)  \
  X(QLabel, lb_Sm) X(QLabel, lb_SmCorr) X(QLabel, lb_Xmax) X(QLabel, lb_Ymax) X(QLabel, lb_XmaxOp)                    \
  X(QLabel, lb_YmaxOp) X(QLabel, lb_PolOp) X(QLabel, lb_Pol) X(QLabel, lb_Dac) X(QLabel, lb_Marker)                   \
  X(QLabel, lb_Chan) X(QLineEdit, ed_Chan) X(TUpDown, UpDown2) X(QPushButton, Button1) X(QLineEdit, ed_Sort)          \
  X(QLineEdit, ed_Sol) X(QPushButton, Button2) X(QPushButton, Button3) X(QTableWidget, StringGrid1)                   \
  X(QLabel, lb_Baud) X(QLabel, lb_Par) X(QLabel, lb_Stop) X(QComboBox, cmb_Rate) X(QComboBox, cmb_Par)                \
  X(QRadioButton, rb_1) X(QRadioButton, rb_2) X(QPushButton, Button4) X(QLineEdit, ed_AdrNew) X(TUpDown, UpDown3)     \
  X(QPushButton, Button5) X(QTableWidget, StringGrid2) X(QLineEdit, Edit1) X(QLineEdit, Edit2)                        \
  X(QPushButton, Button7) X(QPushButton, Button8) X(QTimer, Timer1) X(QTimer, Timer2)

// Every control the tests use, under its layout name (ui.bt_Connect, ui.Timer1, ...).
struct Controls {
#define TAGRIS_DECLARE_CONTROL(Type, name) Type* name = nullptr;
  TAGRIS_WINDOW_CONTROLS(TAGRIS_DECLARE_CONTROL)
#undef TAGRIS_DECLARE_CONTROL

  explicit Controls(const QObject& window) {
#define TAGRIS_FIND_CONTROL(Type, name) name = Find<Type>(window, #name);
    TAGRIS_WINDOW_CONTROLS(TAGRIS_FIND_CONTROL)
#undef TAGRIS_FIND_CONTROL
  }
};

#undef TAGRIS_WINDOW_CONTROLS

// Handles and shows one reply as the window does when the link hands it over.
// The connection takes it for a measurement only while the last tick sent the
// poll (Cycle().PollPhase 0, as before the first tick).
inline void FeedReply(TForm1& form, std::span<const std::uint8_t> bytes) {
  form.ProcessReply(form.Connection().HandleReply(bytes, bytes.size(), bytes.size()));
}

// Shows one trace line as a reply brings it (a rejected reply shows only its trace).
inline void ShowTraceLine(TForm1& form, const QString& line) {
  tagris::ReplyOutcome reply;
  reply.kind = tagris::ReplyKind::Rejected;
  reply.trace = line.toStdString();
  form.ProcessReply(reply);
}

// A pseudo-terminal for a test that needs the window connected but no unit: both
// sides stay open, nothing is read or answered.
class IdlePort {
 public:
  IdlePort() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  ~IdlePort() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  IdlePort(const IdlePort&) = delete;
  IdlePort& operator=(const IdlePort&) = delete;
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Connects the window to `port` through its button, as at a connect, then stops the
// poll timer so that nothing is sent unless the test ticks. True when connected.
inline bool ConnectWindow(TForm1& form, const std::string& port) {
  const Controls ui(form);
  ui.cmb_PORT->setEditText(QString::fromStdString(port));
  ui.bt_Connect->click();
  ui.Timer1->stop();
  return form.Connection().IsOpen();
}

}  // namespace tagris::test
