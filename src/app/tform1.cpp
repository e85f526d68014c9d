#include "tform1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>

#include "config/key_filter.h"
#include "error_display.h"
#include "label_autosize.h"
#include "main_thread_bell.h"
#include "updown.h"
#include "ui_form1.h"

namespace {

// The layout's fonts are named for the desktop it was drawn on; where those are
// missing, metric-compatible faces keep the texts inside their controls.
void InstallFontSubstitutes() {
  static bool done = false;
  if (done) return;
  done = true;
  const QStringList sans{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                         QStringLiteral("Nimbus Sans"), QStringLiteral("DejaVu Sans")};
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
  QFont::insertSubstitutions(QStringLiteral("Tahoma"), QStringList{QStringLiteral("DejaVu Sans")} + sans);
  QFont::insertSubstitutions(QStringLiteral("Arial Narrow"),
                             QStringList{QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Nimbus Sans Narrow"),
                                         QStringLiteral("DejaVu Sans Condensed")});
}

// An editable combo box with no item selected shows its own text; uic selects
// the first item when it fills the list, so the shown text is put back here.
void UnselectKeepingText(QComboBox* combo) {
  const QString text = combo->currentText();
  combo->setCurrentIndex(-1);
  combo->setEditText(text);
}

// A text wider than its box shows from its start, not from its end.
void ShowTextStart(QComboBox* combo) {
  if (QLineEdit* edit = combo->lineEdit()) edit->setCursorPosition(0);
}

// Keeps a page whose tab is hidden out of reach: Ctrl+Tab and Ctrl+Shift+Tab go
// on to the next shown page, and the arrow keys or the wheel on the tab bar,
// which would also stop on a hidden tab, stay where they were.
class ShownTabsOnly : public QObject {
 public:
  explicit ShownTabsOnly(QTabWidget* tabs) : QObject(tabs), tabs_(tabs), shown_(tabs->currentIndex()) {
    tabs->installEventFilter(this);
    connect(tabs, &QTabWidget::currentChanged, this, [this](int index) {
      if (index < 0 || tabs_->isTabVisible(index))
        shown_ = index;
      else
        tabs_->setCurrentIndex(shown_);
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != tabs_ || event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!(key->modifiers() & Qt::ControlModifier) || (key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab))
      return false;
    const int n = tabs_->count();
    const int step = (key->key() == Qt::Key_Backtab || key->modifiers() & Qt::ShiftModifier) ? n - 1 : 1;
    for (int i = 1, page = tabs_->currentIndex(); i < n; ++i) {
      page = (page + step) % n;
      if (tabs_->isTabVisible(page) && tabs_->isTabEnabled(page)) {
        tabs_->setCurrentIndex(page);
        break;
      }
    }
    return true;
  }

 private:
  QTabWidget* tabs_;
  int shown_;
};

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), ui(new Ui::TForm1), numericKeys_(tagris::NumericKeySet()) {
  Q_INIT_RESOURCE(tagris);  // the resources live in a static library
  // Numbers and dates: "." whatever the desktop's locale (dates are written by
  // tagris::FormatDate as dd.mm.yyyy). Set first, so the controls take it too.
  QLocale::setDefault(QLocale::c());
  InstallFontSubstitutes();
  ui->setupUi(this);
  CompleteLayout();
  CreateTimers();
  // The receive thread rings the bell for each reply it hands over and goes on;
  // the bell runs ServeReplies on this thread.
  auto* bell = new tagris::MainThreadBell(this, [this] { ServeReplies(); });
  connection_ = std::make_unique<tagris::Connection>([bell] { bell->Ring(); });
  SetupCharts();
  BindEvents();
  InstallKeyFilters();
  SetStartingTexts();
  tagris::AutoSizeLabels(this);
}

void TForm1::CompleteLayout() {
  for (QComboBox* combo : {ui->cmb_PORT, ui->cmb_Rate, ui->cmb_Par}) UnselectKeepingText(combo);
  for (QComboBox* combo : findChildren<QComboBox*>()) ShowTextStart(combo);
  ui->PageControl1->setTabVisible(ui->PageControl1->indexOf(ui->TabSheet4), false);
  ui->PageControl1->setCurrentWidget(ui->TabSheet1);
  new ShownTabsOnly(ui->PageControl1);
  {
    // The panel's colour shows only around the tabs, not on the pages.
    QPalette pages = ui->PageControl1->palette();
    pages.setColor(QPalette::Window, palette().color(QPalette::Window));
    ui->PageControl1->setPalette(pages);
  }
  ui->UpDown1->setAssociate(ui->ed_Adr);
  ui->UpDown2->setAssociate(ui->ed_Chan);
  ui->UpDown3->setAssociate(ui->ed_AdrNew);

  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(425, 572);
  setWindowIcon(QIcon(QStringLiteral(":/tagris/tagris.png")));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desk = screen->availableGeometry();
    move(desk.center() - QPoint(width() / 2, height() / 2));
  }
}

void TForm1::CreateTimers() {
  // Precise: a coarse timer of this length fires about 5 % early, every time,
  // which would poll faster than once a second and shorten the link watchdog.
  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setTimerType(Qt::PreciseTimer);
  Timer1->setInterval(500);
  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setTimerType(Qt::PreciseTimer);
  Timer2->setInterval(1000);
}

void TForm1::SetStartingTexts() {
  ui->StatusBar1Panel0->setText(QStringLiteral(">> Модуль не подключен!"));
  ui->bt_Connect->setText(QStringLiteral("Подключить"));
  {
    const QStringList heads{QStringLiteral("Время"), QStringLiteral("Температура"), QStringLiteral("Влага"),
                            QStringLiteral("U1"), QStringLiteral("U2")};
    for (int c = 0; c < heads.size(); ++c) ui->StringGrid2->item(0, c)->setText(heads[c]);
  }
  ui->Memo1->clear();
  ui->lb_TOUT->setText(QStringLiteral("Temp = -00.0 C"));
  ui->StatusBar1Panel1->setText(QString());
  // Chart1's left axis, its hidden title and the 0..100 time window of both
  // charts are set by SetupCharts.
  ui->lb_Curr->setText(QStringLiteral("W =  0.0 %об."));
  {
    const QStringList heads{QStringLiteral("Канал"), QStringLiteral("Сортность"), QStringLiteral("Соленость")};
    for (int c = 0; c < heads.size(); ++c) ui->StringGrid1->item(0, c)->setText(heads[c]);
    for (int r = 1; r <= 14; ++r) ui->StringGrid1->item(r, 0)->setText(QString::number(r));
  }
}

TForm1::~TForm1() {
  // The exit was confirmed in CloseForm; this only covers a window destroyed
  // without a close request (tests, an escaping error). The connection stops its
  // threads before the bell they ring goes, and closes the log file.
  connection_.reset();
  delete ui;
}

void TForm1::CloseForm(QObject*, bool& CanClose) {
  if (!tagris::Confirm(QStringLiteral("        Выход из программы\n              Вы уверены?"))) {
    CanClose = false;
    return;
  }
  CloseLogFile();
  ClosePort();
  CanClose = true;
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  tagris::Guarded([&] { CloseForm(this, canClose); });
  if (canClose)
    event->accept();
  else
    event->ignore();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (KeyFilterEvent(watched, event)) return true;
  return QWidget::eventFilter(watched, event);
}

void TForm1::BindEvents() {
  using tagris::Guarded;
  connect(ui->bt_Connect, &QPushButton::clicked, this, [this] { Guarded([this] { bt_ConnectClick(); }); });
  connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Tick(); }); });
  connect(Timer2, &QTimer::timeout, this, [this] { Guarded([this] { Timer2Timer(); }); });

  const std::pair<QPushButton*, void (TForm1::*)()> buttons[] = {
      {ui->Button1, &TForm1::Button1Click}, {ui->Button2, &TForm1::Button2Click}, {ui->Button3, &TForm1::Button3Click},
      {ui->Button4, &TForm1::Button4Click}, {ui->Button5, &TForm1::Button5Click}, {ui->Button6, &TForm1::Button6Click},
      {ui->Button7, &TForm1::Button7Click}, {ui->Button8, &TForm1::Button8Click},
  };
  for (const auto& [button, handler] : buttons)
    connect(button, &QPushButton::clicked, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });

  // toggled, not clicked: a check-state change made by the program runs the handler too.
  connect(ui->chk_Write, &QCheckBox::toggled, this, [this] { Guarded([this] { Write_File(); }); });

  for (QLineEdit* edit : {ui->ed_Sort, ui->ed_Sol})
    connect(edit, &QLineEdit::textChanged, this, [this, edit] { Guarded([this, edit] { ed_SortChange(edit); }); });
}
