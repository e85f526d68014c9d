// The window as the operator first sees it: every control of the layout, the
// start-up texts, the spin buttons and the confirmed exit.
#include <QApplication>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tform1.h"
#include "updown.h"
#include "modal.h"
#include "window.h"

namespace {

using tagris::test::AxisOf;
using tagris::test::Controls;
using tagris::test::ModalAnswerer;
using tagris::test::WaitFor;

QString U(const char* s) { return QString::fromUtf8(s); }

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TForm1>();
    ui.emplace(*form);
  }
  void TearDown() override { form.reset(); }

  template <class T = QWidget>
  T* W(const char* name) const {
    auto* w = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  std::unique_ptr<TForm1> form;
  std::optional<Controls> ui;
};

// The nearest ancestor that belongs to the layout (Qt's own helper widgets,
// such as the page stack of a tab widget, are skipped).
QString LayoutParent(const QWidget* w) {
  for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
    if (!p->objectName().startsWith(QLatin1String("qt_"))) return p->objectName();
  return {};
}

// Part of the window where the operator can see `w`: its rectangle clipped by
// every ancestor. Pages count as shown when their tab is shown, so the answer
// does not depend on which tab is current.
QRect SeenArea(const QWidget* w, const QWidget* window) {
  QRect area(w->mapTo(window, QPoint(0, 0)), w->size());
  for (const QWidget* c = w; c && c != window; c = c->parentWidget()) {
    const QWidget* parent = c->parentWidget();
    if (auto* tabs = qobject_cast<const QTabWidget*>(parent ? parent->parentWidget() : nullptr);
        tabs && tabs->indexOf(const_cast<QWidget*>(c)) >= 0) {
      if (!tabs->isTabVisible(tabs->indexOf(const_cast<QWidget*>(c)))) return {};
    } else if (c->isHidden()) {
      return {};
    }
    if (parent) area &= QRect(parent->mapTo(window, QPoint(0, 0)), parent->size());
  }
  return area;
}

QString TextOf(const QWidget* w) {
  if (auto* x = qobject_cast<const QLabel*>(w)) return x->text();
  if (auto* x = qobject_cast<const QAbstractButton*>(w)) return x->text();
  if (auto* x = qobject_cast<const QGroupBox*>(w)) return x->title();
  if (auto* x = qobject_cast<const QLineEdit*>(w)) return x->text();
  if (auto* x = qobject_cast<const QComboBox*>(w)) return x->currentText();
  if (auto* x = qobject_cast<const QPlainTextEdit*>(w)) return x->toPlainText();
  return {};
}

enum Font { Def, B8, B10, B12, B14, StatusFont, MemoFont };

struct Control {
  const char* name;
  const char* cls;
  const char* parent;
  QRect geo;
  bool hidden;   // created invisible
  bool enabled;
  bool seen;     // the operator can see it at all (hidden, out of view or clipped: false)
  const char* text;
  Font font;
};

// Everything the layout places, with its texts as the constructor leaves them.
const Control kControls[] = {
    {"Label9", "QLabel", "Form1", {320, 168, 46, 16}, false, true, true, "Адрес", B10},
    {"lb_connect", "QLabel", "Form1", {1032, 0, 5, 13}, false, true, false, " ", B8},
    {"Label10", "QLabel", "Form1", {8, 480, 135, 13}, false, true, true, "Наименование ПО: TAGRIS_F", Def},
    {"Label11", "QLabel", "Form1", {8, 504, 95, 13}, false, true, true, "Версия ПО: 3.7.0.5", Def},
    {"Label12", "QLabel", "Form1", {8, 528, 171, 13}, false, true, true, "Контрольная сумма: 0х5EFD861C", Def},
    {"bt_Connect", "QPushButton", "Form1", {320, 40, 89, 25}, false, true, true, "Подключить", B8},
    {"cmb_PORT", "QComboBox", "Form1", {320, 64, 89, 24}, false, true, true, "COM3", B10},
    {"StatusBar1", "QStatusBar", "Form1", {0, 547, 425, 25}, false, true, true, "", StatusFont},
    {"StatusBar1Panel0", "QLabel", "StatusBar1", {0, 2, 320, 23}, false, true, true, ">> Модуль не подключен!",
     StatusFont},
    {"StatusBar1Panel1", "QLabel", "StatusBar1", {322, 2, 50, 23}, false, true, true, "", StatusFont},
    {"Chart1", "QChartView", "Form1", {576, 72, 89, 33}, true, true, false, "", Def},
    {"Memo1", "QPlainTextEdit", "Form1", {400, 408, 169, 105}, true, true, false, "", MemoFont},
    {"chk_Write", "QCheckBox", "Form1", {840, 2, 89, 17}, true, false, false, "Запись", B12},
    {"pn_Error", "QFrame", "Form1", {8, 72, 265, 393}, false, true, true, "", Def},
    {"PageControl1", "QTabWidget", "pn_Error", {1, 1, 263, 391}, false, true, true, "", Def},
    {"cmb_Speed", "QComboBox", "Form1", {320, 88, 89, 24}, false, true, true, "9600", B10},
    {"cmb_Parity", "QComboBox", "Form1", {320, 112, 89, 24}, false, true, true, "NOPARITY", B10},
    {"cmb_Stop", "QComboBox", "Form1", {320, 136, 89, 24}, false, true, true, "STOP 1", B10},
    {"Chart2", "QChartView", "Form1", {920, 64, 41, 41}, true, true, false, "", Def},
    {"Panel1", "QFrame", "Form1", {8, 16, 225, 49}, false, true, true, "", Def},
    {"lb_Curr", "QLabel", "Panel1", {8, -3, 69, 24}, false, true, true, "W =  0.0 %об.", B14},
    {"lb_TOUT", "QLabel", "Panel1", {11, 17, 65, 20}, false, true, true, "Temp = -00.0 C", B12},
    {"ed_Adr", "QLineEdit", "Form1", {320, 184, 73, 24}, false, true, true, "5", B10},
    {"UpDown1", "TUpDown", "Form1", {393, 184, 24, 24}, false, true, true, "", Def},
    {"Button6", "QPushButton", "Form1", {312, 224, 97, 33}, true, true, false, "Послать файл", Def},
    {"M1", "QPlainTextEdit", "Form1", {512, 320, 177, 177}, true, true, false, "", Def},
    // "Регистры"
    {"lb_Xmax", "QLabel", "TabSheet1", {16, 192, 38, 16}, true, true, false, "Xmax", B10},
    {"lb_Ymax", "QLabel", "TabSheet1", {16, 208, 31, 13}, true, true, false, "Ymax", B8},
    {"lb_XmaxOp", "QLabel", "TabSheet1", {16, 240, 47, 13}, true, true, false, "XmaxOp", B8},
    {"lb_YmaxOp", "QLabel", "TabSheet1", {16, 256, 59, 16}, true, true, false, "YmaxOp", B10},
    {"lb_PolOp", "QLabel", "TabSheet1", {16, 272, 44, 16}, true, true, false, "PolOp", B10},
    {"lb_Dac", "QLabel", "TabSheet1", {16, 296, 32, 16}, true, true, false, "DAC", B10},
    {"lb_Marker", "QLabel", "TabSheet1", {16, 320, 49, 16}, true, true, false, "Marker", B10},
    {"lb_Phase", "QLabel", "TabSheet1", {53, 96, 5, 16}, true, true, false, " ", B10},
    {"lb_Pol", "QLabel", "TabSheet1", {16, 224, 24, 16}, true, true, false, "Pol", B10},
    {"Label6", "QLabel", "TabSheet1", {8, 64, 86, 13}, false, true, true, "Частота пика ", B8},
    {"Label7", "QLabel", "TabSheet1", {8, 80, 106, 13}, false, true, true, "Полуширина пика", B8},
    {"Label8", "QLabel", "TabSheet1", {8, 96, 38, 13}, false, true, true, "Фаза ", B8},
    {"GroupBox1", "QGroupBox", "TabSheet1", {96, 264, 185, 65}, true, true, false, "Смещение", Def},
    {"lb_Sm", "QLabel", "GroupBox1", {8, 16, 89, 13}, false, true, false, "без коррекции", B8},
    {"lb_SmCorr", "QLabel", "GroupBox1", {8, 40, 82, 13}, false, true, false, "с коррекцией", B8},
    {"GroupBox2", "QGroupBox", "TabSheet1", {8, 8, 185, 41}, false, true, true, "Влагосодержание %", Def},
    {"lb_Wlag", "QLabel", "GroupBox2", {8, 16, 101, 13}, false, true, true, "без ограничений", B8},
    {"lb_TermTWO", "QLabel", "GroupBox2", {8, 64, 3, 13}, false, true, false, " ", Def},
    // "Каналы"
    {"lb_Chan", "QLabel", "TabSheet2", {8, 8, 5, 13}, false, true, true, " ", B8},
    {"Label1", "QLabel", "TabSheet2", {80, 56, 53, 13}, false, true, true, "Сортность", Def},
    {"Label2", "QLabel", "TabSheet2", {136, 56, 54, 13}, false, true, true, "Соленость", Def},
    {"ed_Chan", "QLineEdit", "TabSheet2", {136, 8, 57, 21}, false, true, true, "1", Def},
    {"UpDown2", "TUpDown", "TabSheet2", {193, 8, 16, 21}, false, true, true, "", Def},
    {"Button1", "QPushButton", "TabSheet2", {136, 32, 73, 17}, false, true, true, "Установить", Def},
    {"ed_Sort", "QLineEdit", "TabSheet2", {72, 72, 65, 21}, false, true, true, "0.0", Def},
    {"ed_Sol", "QLineEdit", "TabSheet2", {136, 72, 73, 21}, false, true, true, "100.0", Def},
    {"Button2", "QPushButton", "TabSheet2", {72, 96, 65, 17}, false, true, true, "Установить", Def},
    {"Button3", "QPushButton", "TabSheet2", {136, 96, 73, 17}, false, true, true, "Установить", Def},
    {"StringGrid1", "QTableWidget", "TabSheet2", {8, 120, 209, 241}, false, true, true, "", Def},
    // "Modbus"
    {"Label3", "QLabel", "TabSheet3", {40, 0, 113, 13}, false, true, true, "Настройка Modbus", B8},
    {"lb_BaudIn", "QLabel", "TabSheet3", {16, 24, 57, 13}, false, true, true, "Скорость", B8},
    {"Label4", "QLabel", "TabSheet3", {16, 48, 61, 13}, false, true, true, "Контроль ", B8},
    {"Label5", "QLabel", "TabSheet3", {16, 72, 62, 13}, false, true, true, "Стоп-биты", B8},
    {"lb_Baud", "QLabel", "TabSheet3", {104, 24, 5, 13}, false, true, true, "", B8},
    {"lb_Par", "QLabel", "TabSheet3", {104, 48, 5, 13}, false, true, true, " ", B8},
    {"lb_Stop", "QLabel", "TabSheet3", {104, 72, 5, 13}, false, true, true, "", B8},
    {"GroupBox3", "QGroupBox", "TabSheet3", {8, 96, 185, 201}, false, true, true, "Изменить", Def},
    {"GroupBox4", "QGroupBox", "GroupBox3", {16, 16, 129, 49}, false, true, true, "Скорость", Def},
    {"cmb_Rate", "QComboBox", "GroupBox4", {16, 16, 65, 21}, false, true, true, "9600", Def},
    {"GroupBox5", "QGroupBox", "GroupBox3", {16, 72, 129, 49}, false, true, true, "Контроль", Def},
    {"cmb_Par", "QComboBox", "GroupBox5", {16, 16, 97, 21}, false, true, true, "NOPARITY", Def},
    {"rb_1", "QRadioButton", "GroupBox3", {24, 128, 89, 17}, false, true, true, "1 стоп-бит", Def},
    {"rb_2", "QRadioButton", "GroupBox3", {24, 152, 89, 9}, false, true, true, "2 стоп-бита", Def},
    {"Button4", "QPushButton", "GroupBox3", {32, 168, 89, 25}, false, true, true, "Установить", Def},
    {"GroupBox6", "QGroupBox", "TabSheet3", {8, 304, 185, 57}, false, true, true, "Адрес", Def},
    {"ed_AdrNew", "QLineEdit", "GroupBox6", {8, 16, 41, 21}, false, true, true, "5", Def},
    {"UpDown3", "TUpDown", "GroupBox6", {49, 16, 16, 21}, false, true, true, "", Def},
    {"Button5", "QPushButton", "GroupBox6", {72, 16, 73, 25}, false, true, true, "Установить", Def},
    // "Запись": the tab is hidden, so nothing on it is ever seen.
    {"StringGrid2", "QTableWidget", "TabSheet4", {16, 72, 417, 281}, false, true, false, "", Def},
    {"Edit1", "QLineEdit", "TabSheet4", {32, 16, 57, 21}, false, true, false, "10", Def},
    {"Edit2", "QLineEdit", "TabSheet4", {312, 16, 57, 21}, false, true, false, "---", Def},
    {"Button7", "QPushButton", "TabSheet4", {112, 16, 73, 25}, false, true, false, "Start", Def},
    {"Button8", "QPushButton", "TabSheet4", {208, 16, 73, 25}, false, true, false, "Stop", Def},
};

void ExpectFont(const QWidget* w, Font f) {
  const QFont font = w->font();
  QString family = QStringLiteral("MS Sans Serif");
  int points = 8;
  bool bold = false;
  switch (f) {
    case Def: break;
    case B8: bold = true; break;
    case B10: points = 10; bold = true; break;
    case B12: points = 12; bold = true; break;
    case B14: points = 14; bold = true; break;
    case StatusFont: family = QStringLiteral("Tahoma"); points = 12; bold = true; break;
    case MemoFont: family = QStringLiteral("Arial Narrow"); break;
  }
  EXPECT_EQ(font.family(), family) << qPrintable(w->objectName());
  EXPECT_EQ(font.pointSize(), points) << qPrintable(w->objectName());
  EXPECT_EQ(font.bold(), bold) << qPrintable(w->objectName());
}

TEST_F(WindowTest, EveryControlHasItsLayoutProperties) {
  form->show();
  QApplication::processEvents();
  for (const Control& c : kControls) {
    SCOPED_TRACE(c.name);
    QWidget* w = W(c.name);
    if (!w) continue;
    EXPECT_STREQ(w->metaObject()->className(), c.cls);
    EXPECT_EQ(LayoutParent(w), QString::fromLatin1(c.parent));
    if (qobject_cast<QLabel*>(w) && !qobject_cast<QStatusBar*>(w->parentWidget())) {
      // Labels size themselves to their caption: the corner is the layout's,
      // the size whatever the whole text needs (an empty caption measures as a blank).
      EXPECT_EQ(w->pos(), c.geo.topLeft());
      const QString t = TextOf(w).isEmpty() ? QStringLiteral(" ") : TextOf(w);
      EXPECT_EQ(w->size(), QFontMetrics(w->font()).size(0, t));
    } else if (qobject_cast<QChartView*>(w)) {
      // A chart view cannot be smaller than its chart's minimum (both are out of view).
      EXPECT_EQ(w->pos(), c.geo.topLeft());
      EXPECT_GE(w->width(), c.geo.width());
      EXPECT_GE(w->height(), c.geo.height());
    } else {
      EXPECT_EQ(w->geometry(), c.geo);
    }
    EXPECT_EQ(w->isHidden(), c.hidden);
    EXPECT_EQ(w->isEnabled(), c.enabled);
    EXPECT_EQ(!SeenArea(w, form.get()).isEmpty(), c.seen);
    EXPECT_EQ(TextOf(w), U(c.text));
    ExpectFont(w, c.font);
  }
}

TEST_F(WindowTest, ControlDetailsTheHandlersRelyOn) {
  EXPECT_EQ(W("ed_Sort")->property("Tag"), QVariant(1));
  EXPECT_EQ(W("ed_Sol")->property("Tag"), QVariant(1));
  EXPECT_TRUE(W<QRadioButton>("rb_1")->isChecked());
  EXPECT_FALSE(W<QRadioButton>("rb_2")->isChecked());
  EXPECT_FALSE(W<QCheckBox>("chk_Write")->isChecked());

  auto* memo = W<QPlainTextEdit>("Memo1");
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->palette().color(QPalette::Base), QColor(0, 0, 255));
  EXPECT_EQ(memo->palette().color(QPalette::Text), QColor(255, 255, 0));
  EXPECT_EQ(W("lb_Curr")->palette().color(QPalette::WindowText), QColor(0, 0, 217));
  EXPECT_EQ(W("lb_TOUT")->palette().color(QPalette::WindowText), QColor(0, 0, 0));

  // Label texts are never taken for markup.
  for (QLabel* l : form->findChildren<QLabel*>())
    if (!l->objectName().isEmpty()) {
      EXPECT_EQ(l->textFormat(), Qt::PlainText) << qPrintable(l->objectName());
    }
}

TEST_F(WindowTest, ThreeTabsShownAndRecordingTabHidden) {
  auto* tabs = W<QTabWidget>("PageControl1");
  ASSERT_EQ(tabs->count(), 4);
  const char* names[] = {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet4"};
  const char* titles[] = {"Регистры", "Каналы", "Modbus", "Запись"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(tabs->widget(i)->objectName(), QString::fromLatin1(names[i]));
    EXPECT_EQ(tabs->tabText(i), U(titles[i]));
    EXPECT_EQ(tabs->isTabVisible(i), i < 3) << i;
  }
  EXPECT_EQ(tabs->currentIndex(), 0);

  // Keyboard page switching skips the hidden tab in both directions.
  form->show();
  tabs->setFocus();
  tabs->setCurrentIndex(2);
  QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_EQ(tabs->currentIndex(), 0);
  QTest::keyClick(tabs, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(tabs->currentIndex(), 2);
  // Also from a control on a page, and with the arrow keys on the tab bar.
  ui->Button4->setFocus();
  QTest::keyClick(ui->Button4, Qt::Key_Tab, Qt::ControlModifier);
  EXPECT_EQ(tabs->currentIndex(), 0);
  tabs->setCurrentIndex(2);
  QTabBar* bar = tabs->tabBar();
  bar->setFocus();
  QTest::keyClick(bar, Qt::Key_Right);
  EXPECT_NE(tabs->currentIndex(), 3);
}

TEST_F(WindowTest, ComboListsAndSelection) {
  QStringList coms;
  for (int i = 1; i <= 20; ++i) coms << QStringLiteral("COM%1").arg(i);
  const QStringList rates{"4800", "9600", "14400", "19200", "38400"};
  struct Case {
    const char* name;
    QStringList items;
    int selected;
    const char* text;
  } cases[] = {
      {"cmb_PORT", coms, -1, "COM3"},
      {"cmb_Speed", rates, 1, "9600"},
      {"cmb_Parity", {"NOPARITY", "ODDPARITY", "EVENPARITY"}, 0, "NOPARITY"},
      {"cmb_Stop", {"STOP 1", "STOP 2"}, 0, "STOP 1"},
      {"cmb_Rate", rates, -1, "9600"},
      {"cmb_Par", {"EVENPARITY", "ODDPARITY", "NOPARITY"}, -1, "NOPARITY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* combo = W<QComboBox>(c.name);
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    EXPECT_EQ(items, c.items);
    EXPECT_EQ(combo->currentIndex(), c.selected);
    EXPECT_EQ(combo->currentText(), QString::fromLatin1(c.text));
    EXPECT_TRUE(combo->isEditable());
    EXPECT_EQ(combo->insertPolicy(), QComboBox::NoInsert);  // typed text never becomes an item
  }
}

TEST_F(WindowTest, GridsHaveFixedShadedCellsAndNoEditing) {
  struct Case {
    const char* name;
    int rows, cols, fixedRows, fixedCols, colWidth;
  } cases[] = {{"StringGrid1", 15, 4, 1, 3, 64}, {"StringGrid2", 2, 5, 1, 1, 80}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* grid = W<QTableWidget>(c.name);
    ASSERT_EQ(grid->rowCount(), c.rows);
    ASSERT_EQ(grid->columnCount(), c.cols);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(grid->horizontalHeader()->isVisible());
    EXPECT_FALSE(grid->verticalHeader()->isVisible());
    for (int col = 0; col < c.cols; ++col) EXPECT_EQ(grid->columnWidth(col), c.colWidth);
    for (int r = 0; r < c.rows; ++r)
      for (int col = 0; col < c.cols; ++col) {
        // Every cell exists, so handlers can write any of them.
        QTableWidgetItem* item = grid->item(r, col);
        ASSERT_NE(item, nullptr) << r << "," << col;
        const bool fixed = r < c.fixedRows || col < c.fixedCols;
        EXPECT_FALSE(item->flags() & Qt::ItemIsEditable);
        EXPECT_EQ(item->background().style() != Qt::NoBrush, fixed) << r << "," << col;
      }
  }
  EXPECT_EQ(W<QTableWidget>("StringGrid1")->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(WindowTest, ConstructorStartingTextsAndState) {
  auto* grid1 = W<QTableWidget>("StringGrid1");
  EXPECT_EQ(grid1->item(0, 0)->text(), U("Канал"));
  EXPECT_EQ(grid1->item(0, 1)->text(), U("Сортность"));
  EXPECT_EQ(grid1->item(0, 2)->text(), U("Соленость"));
  EXPECT_EQ(grid1->item(0, 3)->text(), QString());
  for (int r = 1; r <= 14; ++r) {
    EXPECT_EQ(grid1->item(r, 0)->text(), QString::number(r));
    for (int c = 1; c < 4; ++c) EXPECT_EQ(grid1->item(r, c)->text(), QString()) << r << "," << c;
  }
  auto* grid2 = W<QTableWidget>("StringGrid2");
  const char* heads2[] = {"Время", "Температура", "Влага", "U1", "U2"};
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(grid2->item(0, c)->text(), U(heads2[c]));
    EXPECT_EQ(grid2->item(1, c)->text(), QString());
  }

  EXPECT_EQ(ui->StatusBar1Panel0->text(), U(">> Модуль не подключен!"));
  EXPECT_EQ(ui->StatusBar1Panel1->text(), QString());
  EXPECT_EQ(ui->lb_Curr->text(), U("W =  0.0 %об."));
  EXPECT_EQ(ui->lb_TOUT->text(), U("Temp = -00.0 C"));
  EXPECT_TRUE(ui->Memo1->toPlainText().isEmpty());

  EXPECT_FALSE(ui->Timer1->isActive());
  EXPECT_EQ(ui->Timer1->interval(), 500);
  EXPECT_FALSE(ui->Timer2->isActive());
  EXPECT_EQ(ui->Timer2->interval(), 1000);
  tagris::Connection& link = form->Connection();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(link.Cycle().CommandPending);
  EXPECT_EQ(link.Cycle().PollPhase, 0);
  EXPECT_FALSE(link.Log().IsOpen());
  for (QChartView* chart : {ui->Chart1, ui->Chart2}) {
    const QValueAxis* time = AxisOf(chart, Qt::Horizontal);
    EXPECT_EQ(time->min(), 0.0);
    EXPECT_EQ(time->max(), 100.0);
  }

  // The decimal fields let through exactly the numeric keys (and make "," a point).
  std::bitset<256> keys;
  for (unsigned char c : std::string("0123456789.+-")) keys.set(c);
  for (QLineEdit* field : {ui->ed_Sort, ui->ed_Sol})
    for (int c = 0x20; c < 0x7F; ++c) {
      field->clear();
      QTest::keyClick(field, static_cast<char>(c));
      const QString expected = keys[static_cast<std::size_t>(c)] ? QString(QChar(c))
                               : c == ','                        ? QStringLiteral(".")
                                                                 : QString();
      EXPECT_EQ(field->text(), expected) << field->objectName().toStdString() << " '" << static_cast<char>(c) << "'";
    }
  ui->ed_Sol->setText(QStringLiteral("12"));
  ui->ed_Sol->end(false);
  QTest::keyClick(ui->ed_Sol, Qt::Key_Backspace);
  EXPECT_EQ(ui->ed_Sol->text(), QStringLiteral("1"));

  EXPECT_EQ(QLocale().decimalPoint(), QStringLiteral("."));
  EXPECT_EQ(QLocale().toString(2.5, 'f', 1), QStringLiteral("2.5"));
}

TEST_F(WindowTest, LabelsGrowWithTheirTextButHiddenOnesStayUnseen) {
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  auto* curr = ui->lb_Curr;
  curr->setText(U("W =  100.0 %об."));
  const QSize wanted = QFontMetrics(curr->font()).size(0, curr->text());
  ASSERT_TRUE(WaitFor([&] { return curr->size() == wanted; }, 2000)) << curr->width() << " " << wanted.width();
  EXPECT_EQ(curr->pos(), QPoint(8, -3));

  // Clipped by its group box however long its text gets.
  ui->lb_TermTWO->setText(U("Temp смеси = 23.4 C"));
  QApplication::processEvents();
  EXPECT_TRUE(SeenArea(ui->lb_TermTWO, form.get()).isEmpty());
  // Out of the window to the right, whatever it says.
  ui->lb_connect->setText(U(" Нет связи с блоком"));
  QApplication::processEvents();
  EXPECT_TRUE(SeenArea(ui->lb_connect, form.get()).isEmpty());
}

struct SpinCase {
  const char* updown;
  const char* edit;
  int min, max, start;
};
const SpinCase kSpins[] = {{"UpDown1", "ed_Adr", 0, 127, 5}, {"UpDown2", "ed_Chan", 1, 14, 1},
                           {"UpDown3", "ed_AdrNew", 1, 127, 5}};

TEST_F(WindowTest, SpinButtonsStepWithinTheirLimitsWithoutWrapping) {
  for (const SpinCase& c : kSpins) {
    SCOPED_TRACE(c.updown);
    auto* spin = W<TUpDown>(c.updown);
    auto* edit = W<QLineEdit>(c.edit);
    EXPECT_EQ(spin->minimum(), c.min);
    EXPECT_EQ(spin->maximum(), c.max);
    EXPECT_EQ(spin->value(), c.start);
    EXPECT_EQ(spin->associate(), edit);

    spin->stepUp();
    EXPECT_EQ(edit->text(), QString::number(c.start + 1));
    spin->stepDown();
    spin->stepDown();
    EXPECT_EQ(edit->text(), QString::number(c.start - 1 >= c.min ? c.start - 1 : c.min));

    spin->setValue(c.max);
    spin->stepUp();
    EXPECT_EQ(spin->value(), c.max);
    EXPECT_EQ(edit->text(), QString::number(c.max));
    spin->setValue(c.min);
    spin->stepDown();
    EXPECT_EQ(spin->value(), c.min);
    EXPECT_EQ(edit->text(), QString::number(c.min));
  }
}

TEST_F(WindowTest, SpinButtonsAnswerArrowKeysAndContinueFromTypedNumber) {
  form->show();
  auto* spin = ui->UpDown1;
  auto* edit = ui->ed_Adr;

  // 127 reached by the keyboard on the spin buttons themselves stays 127.
  spin->setValue(126);
  QTest::keyClick(spin, Qt::Key_Up);
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(edit->text(), QStringLiteral("127"));
  QTest::keyClick(spin, Qt::Key_Down);
  EXPECT_EQ(edit->text(), QStringLiteral("126"));

  // Up/Down in the edit box step as well.
  QTest::keyClick(edit, Qt::Key_Up);
  EXPECT_EQ(edit->text(), QStringLiteral("127"));

  // A whole number typed in range is where the next step starts from...
  edit->setText(QStringLiteral("40"));
  spin->stepUp();
  EXPECT_EQ(edit->text(), QStringLiteral("41"));
  // ...text that is not one in range is ignored: the kept position steps.
  edit->setText(QStringLiteral("900"));
  spin->stepDown();
  EXPECT_EQ(edit->text(), QStringLiteral("40"));
  edit->setText(QString());
  spin->stepUp();
  EXPECT_EQ(edit->text(), QStringLiteral("41"));

  // The arrow buttons click like the keys.
  auto arrows = spin->findChildren<QAbstractButton*>();
  ASSERT_EQ(arrows.size(), 2);
  QTest::mouseClick(arrows[0], Qt::LeftButton);
  EXPECT_EQ(edit->text(), QStringLiteral("42"));
  QTest::mouseClick(arrows[1], Qt::LeftButton);
  EXPECT_EQ(edit->text(), QStringLiteral("41"));
}

// Records the buttons of every message box seen, before the answerer clicks.
struct ButtonsSpy {
  ButtonsSpy() {
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        if (box != last) {
          last = box;
          buttons.push_back(box->standardButtons());
          parents.push_back(box->parentWidget());
        }
    });
    timer.start();
  }
  QTimer timer;
  QMessageBox* last = nullptr;
  std::vector<QMessageBox::StandardButtons> buttons;
  std::vector<QWidget*> parents;
};

const char* const kExitText = "        Выход из программы\n              Вы уверены?";

TEST_F(WindowTest, CancelInTheExitConfirmationKeepsTheWindow) {
  form->show();
  ButtonsSpy spy;
  ModalAnswerer answer({QMessageBox::Cancel});
  EXPECT_FALSE(form->close());
  EXPECT_TRUE(form->isVisible());
  ASSERT_EQ(answer.seen().size(), 1u);
  EXPECT_EQ(answer.seen()[0].title, QStringLiteral("Warning"));
  EXPECT_EQ(answer.seen()[0].text.toUtf8(), QByteArray(kExitText));
  ASSERT_EQ(spy.buttons.size(), 1u);
  EXPECT_EQ(spy.buttons[0], QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_EQ(spy.parents[0], nullptr);

  // It asks again on every request.
  EXPECT_FALSE(form->close());
  EXPECT_EQ(answer.seen().size(), 2u);
  EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowTest, OkInTheExitConfirmationClosesAndDestroyingDoesNotAskAgain) {
  form->show();
  {
    ModalAnswerer answer({QMessageBox::Ok});
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(answer.seen().size(), 1u);
    EXPECT_EQ(answer.seen()[0].text.toUtf8(), QByteArray(kExitText));

    // Asked again when shown and closed again.
    form->show();
    EXPECT_TRUE(form->close());
    EXPECT_EQ(answer.seen().size(), 2u);
  }
  ModalAnswerer answer;
  form.reset();
  QApplication::processEvents();
  EXPECT_TRUE(answer.seen().empty());
}

TEST(SpinButtons, EditBoxDestroyedFirstLeavesThemWorking) {
  // The edit box's destructor passes through the spin buttons' event filter
  // (checked for undefined behaviour in the sanitizer build).
  TUpDown spin;
  spin.setMaximum(5);
  auto* edit = new QLineEdit;
  spin.setAssociate(edit);
  delete edit;
  EXPECT_EQ(spin.associate(), nullptr);
  spin.stepUp();
  EXPECT_EQ(spin.value(), 1);
}

TEST_F(WindowTest, FixedSizeWindowWithoutMaximiseOrScrollBars) {
  EXPECT_EQ(form->windowTitle(), U("Влагомер Тагрис"));
  EXPECT_EQ(form->objectName(), QStringLiteral("Form1"));
  EXPECT_EQ(form->minimumSize(), QSize(425, 572));
  EXPECT_EQ(form->maximumSize(), QSize(425, 572));
  const Qt::WindowFlags f = form->windowFlags();
  EXPECT_TRUE(f & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(form->windowIcon().isNull());
  EXPECT_EQ(form->font().family(), QStringLiteral("MS Sans Serif"));
  EXPECT_EQ(form->font().pointSize(), 8);

  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->size(), QSize(425, 572));
  // Controls out to x 1032 neither widen the window nor bring scroll bars.
  for (QScrollBar* bar : form->findChildren<QScrollBar*>()) {
    if (!bar->isVisible()) continue;
    QWidget* owner = bar->parentWidget();
    while (owner && !qobject_cast<QAbstractScrollArea*>(owner)) owner = owner->parentWidget();
    ASSERT_NE(owner, nullptr);
    EXPECT_NE(owner, form.get());
  }
  EXPECT_EQ(form->grab().size(), QSize(425, 572));
}

}  // namespace
