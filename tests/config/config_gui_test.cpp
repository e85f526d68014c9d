// The configuration controls of the window, driven through their real widgets:
// key filters, paste, validity colours, the five commands and the send-file button.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "tform1.h"
#include "modal.h"
#include "modbus/crc.h"
#include "window.h"

namespace {

using tagris::test::Controls;
using tagris::test::ModalAnswerer;
using Frame = std::array<std::uint8_t, 8>;

// What a message box looked like when it was shown (the answerer only keeps texts).
struct BoxLook {
  QMessageBox::Icon icon;
  int buttons;
  bool hasParent;
};

class BoxWatcher : public QObject {
 public:
  BoxWatcher() { qApp->installEventFilter(this); }
  ~BoxWatcher() override { qApp->removeEventFilter(this); }
  std::vector<BoxLook> looks;

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Show)
      if (auto* box = qobject_cast<QMessageBox*>(o))
        looks.push_back({box->icon(), static_cast<int>(box->buttons().size()), box->parentWidget() != nullptr});
    return false;
  }
};

class ConfigWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TForm1>();
    controls.emplace(*form);
    ui = &*controls;
    form->show();
    ui->PageControl1->setCurrentWidget(ui->TabSheet2);
  }

  // One keystroke as a keyboard delivers it: press and release with its text.
  static void Type(QWidget* w, Qt::Key key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::sendKeyEvent(QTest::Press, w, key, text, mods);
    QTest::sendKeyEvent(QTest::Release, w, key, text, mods);
  }

  static void Click(QPushButton* b) { QTest::mouseClick(b, Qt::LeftButton); }

  Frame Slot() const { return form->Connection().Cycle().CommandFrame; }
  bool CommandPending() const { return form->Connection().Cycle().CommandPending; }

  static Frame At5(std::uint8_t reg, std::uint16_t value) {
    Frame f{0x05, 0x06, 0x00, reg, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF), 0, 0};
    tagris::StampCrc(f);
    return f;
  }

  static bool IsBlack(const QLineEdit* e) { return e->palette().color(QPalette::Text) == QColor(Qt::black); }
  static bool IsRed(const QLineEdit* e) { return e->palette().color(QPalette::Text) == QColor(Qt::red); }

  std::unique_ptr<TForm1> form;
  std::optional<Controls> controls;
  Controls* ui = nullptr;
};

// One typed character into each filtered field that holds "1".
TEST_F(ConfigWindow, KeyFiltersPerField) {
  struct Key {
    const char* name;
    Qt::Key key;
    QString text;
  };
  const Key keys[] = {
      {"Latin letter", Qt::Key_A, "a"},   {"minus", Qt::Key_Minus, "-"},      {"space", Qt::Key_Space, " "},
      {"Cyrillic letter", Qt::Key_unknown, QStringLiteral("я")},             {"backspace", Qt::Key_Backspace, "\b"},
      {"seven", Qt::Key_7, "7"},          {"comma", Qt::Key_Comma, ","},      {"point", Qt::Key_Period, "."},
      {"plus", Qt::Key_Plus, "+"},
  };
  const std::vector<QString> digitResults = {"1", "1", "1", "1", "1", "17", "1", "1", "1"};
  const std::vector<QString> decimalResults = {"1", "1-", "1", "1", "", "17", "1.", "1.", "1+"};
  struct Field {
    QLineEdit* edit;
    const std::vector<QString>* results;
  };
  const Field fields[] = {{ui->ed_Adr, &digitResults},   {ui->ed_Chan, &digitResults}, {ui->ed_AdrNew, &digitResults},
                          {ui->ed_Sort, &decimalResults}, {ui->ed_Sol, &decimalResults}};
  for (const Field& f : fields) {
    for (std::size_t i = 0; i < std::size(keys); ++i) {
      f.edit->setText("1");
      Type(f.edit, keys[i].key, keys[i].text);
      EXPECT_EQ(f.edit->text(), (*f.results)[i]) << f.edit->objectName().toStdString() << ": " << keys[i].name;
    }
  }
}

TEST_F(ConfigWindow, KeysWithoutACharacterStillEdit) {
  ui->ed_Chan->setText("12");
  QTest::keyClick(ui->ed_Chan, Qt::Key_Home);
  QTest::keyClick(ui->ed_Chan, Qt::Key_Delete);
  EXPECT_EQ(ui->ed_Chan->text(), "2");
  QTest::keyClick(ui->ed_Chan, Qt::Key_Delete);
  EXPECT_EQ(ui->ed_Chan->text(), "");
  // Delete as X11 delivers it, with the DEL character as its text.
  ui->ed_Sort->setText("5");
  QTest::keyClick(ui->ed_Sort, Qt::Key_Home);
  Type(ui->ed_Sort, Qt::Key_Delete, "\x7f");
  EXPECT_EQ(ui->ed_Sort->text(), "");
  ui->ed_AdrNew->setText("34");
  QTest::keyClick(ui->ed_AdrNew, Qt::Key_Left);
  QTest::keyClicks(ui->ed_AdrNew, "5");
  EXPECT_EQ(ui->ed_AdrNew->text(), "354");
}

TEST_F(ConfigWindow, CommaTypedIntoGradeArrivesAsPointInBlack) {
  ui->ed_Sort->clear();
  EXPECT_TRUE(IsRed(ui->ed_Sort));
  QTest::keyClicks(ui->ed_Sort, "1,5");
  EXPECT_EQ(ui->ed_Sort->text(), "1.5");
  EXPECT_TRUE(IsBlack(ui->ed_Sort));
  EXPECT_EQ(ui->ed_Sort->property("Tag").toInt(), 1);
}

TEST_F(ConfigWindow, ValidityFollowsEveryChange) {
  const struct {
    const char* typed;
    bool valid;
  } cases[] = {{"1.2.3", false}, {".", true}, {"25", true}, {"-", false}, {"--1", false}, {"+2", true}, {"5.", true}};
  for (QLineEdit* e : {ui->ed_Sort, ui->ed_Sol}) {
    for (const auto& c : cases) {
      e->clear();
      QTest::keyClicks(e, c.typed);
      ASSERT_EQ(e->text(), c.typed);
      EXPECT_EQ(e->property("Tag").toInt(), c.valid ? 1 : 0) << c.typed;
      EXPECT_EQ(IsBlack(e), c.valid) << c.typed;
      EXPECT_EQ(IsRed(e), !c.valid) << c.typed;
    }
  }
}

TEST_F(ConfigWindow, ClearedSalinityIsRedAndItsCommandIsRefused) {
  ui->ed_Chan->setText("99");  // refused before the channel is even looked at
  QTest::keyClick(ui->ed_Sol, Qt::Key_End);
  for (int i = 0; i < 5; ++i) QTest::keyClick(ui->ed_Sol, Qt::Key_Backspace);
  ASSERT_EQ(ui->ed_Sol->text(), "");
  EXPECT_TRUE(IsRed(ui->ed_Sol));
  EXPECT_EQ(ui->ed_Sol->property("Tag").toInt(), 0);

  const Frame before = Slot();
  {
    BoxWatcher looks;
    ModalAnswerer answer;
    Click(ui->Button3);
    ASSERT_EQ(answer.seen().size(), 1u);
    EXPECT_EQ(answer.seen()[0].title, "Warning!");
    EXPECT_EQ(answer.seen()[0].text, "Ошибка ввода данных");
    ASSERT_EQ(looks.looks.size(), 1u);
    EXPECT_EQ(looks.looks[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(looks.looks[0].buttons, 1);
    EXPECT_FALSE(looks.looks[0].hasParent);
  }
  EXPECT_FALSE(CommandPending());
  EXPECT_EQ(Slot(), before);
  EXPECT_EQ(ui->ed_Chan->text(), "99");

  QTest::keyClicks(ui->ed_Sol, "95");
  EXPECT_TRUE(IsBlack(ui->ed_Sol));
  {
    ModalAnswerer answer;
    Click(ui->Button3);
    EXPECT_TRUE(answer.seen().empty());
  }
  EXPECT_TRUE(CommandPending());
  EXPECT_EQ(Slot(), At5(0x1F, 950));
  EXPECT_EQ(ui->ed_Chan->text(), "14");
}

TEST_F(ConfigWindow, InvalidGradeRefusesItsCommand) {
  ui->ed_Sort->setText("1.2.3");
  ui->ed_Chan->setText("0");
  ModalAnswerer answer;
  Click(ui->Button2);
  ASSERT_EQ(answer.seen().size(), 1u);
  EXPECT_EQ(answer.seen()[0].title, "Warning!");
  EXPECT_EQ(answer.seen()[0].text, "Ошибка ввода данных");
  EXPECT_FALSE(CommandPending());
  EXPECT_EQ(ui->ed_Chan->text(), "0");
}

TEST_F(ConfigWindow, ComboTextChangesOnlyFromTheList) {
  for (QComboBox* combo : {ui->cmb_Rate, ui->cmb_Par}) {
    const QString start = combo->currentText();
    for (QWidget* w : {static_cast<QWidget*>(combo), static_cast<QWidget*>(combo->lineEdit())}) {
      QTest::keyClicks(w, "4800x");
      Type(w, Qt::Key_unknown, QStringLiteral("ж"));
      QTest::keyClick(w, Qt::Key_Backspace);
      QTest::keyClick(w, Qt::Key_Home);
      QTest::keyClick(w, Qt::Key_Delete);
      EXPECT_EQ(combo->currentText(), start) << combo->objectName().toStdString();
    }
    // Nor do the keyboard's and the mouse's ways to cut and paste.
    QApplication::clipboard()->setText("4800");
    combo->lineEdit()->selectAll();
    QTest::keyClick(combo->lineEdit(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(combo->lineEdit(), Qt::Key_Insert, Qt::ShiftModifier);
    QTest::keyClick(combo->lineEdit(), Qt::Key_X, Qt::ControlModifier);
    QApplication::clipboard()->setText("4800", QClipboard::Selection);
    QTest::mouseClick(combo->lineEdit(), Qt::MiddleButton);
    EXPECT_EQ(combo->currentText(), start) << combo->objectName().toStdString();
  }
  ui->cmb_Rate->setCurrentIndex(ui->cmb_Rate->findText("38400"));
  EXPECT_EQ(ui->cmb_Rate->currentText(), "38400");
}

TEST_F(ConfigWindow, PastedTextGetsThroughOnlyWhereKeysWould) {
  QClipboard* clip = QApplication::clipboard();
  ui->ed_Chan->setText("3");
  ui->ed_Chan->end(false);
  clip->setText("12a");
  ui->ed_Chan->paste();
  EXPECT_EQ(ui->ed_Chan->text(), "3");
  clip->setText("12");
  ui->ed_Chan->paste();
  EXPECT_EQ(ui->ed_Chan->text(), "312");
  // The keyboard's paste goes the same way.
  clip->setText("-4");
  QTest::keyClick(ui->ed_Chan, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ui->ed_Chan->text(), "312");
  clip->setText("4");
  QTest::keyClick(ui->ed_Chan, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ui->ed_Chan->text(), "3124");

  ui->ed_Sort->clear();
  clip->setText("-1.5");
  ui->ed_Sort->paste();
  EXPECT_EQ(ui->ed_Sort->text(), "-1.5");
  EXPECT_TRUE(IsBlack(ui->ed_Sort));
  for (const char* refused : {"2e3", "1,5", " 7"}) {
    clip->setText(refused);
    ui->ed_Sort->paste();
    EXPECT_EQ(ui->ed_Sort->text(), "-1.5") << refused;
  }

  // Text committed by an input method.
  ui->ed_AdrNew->setText("5");
  ui->ed_AdrNew->end(false);
  QInputMethodEvent letters(QString(), {});
  letters.setCommitString(QStringLiteral("щ"));
  QApplication::sendEvent(ui->ed_AdrNew, &letters);
  EXPECT_EQ(ui->ed_AdrNew->text(), "5");
  QInputMethodEvent digit(QString(), {});
  digit.setCommitString("6");
  QApplication::sendEvent(ui->ed_AdrNew, &digit);
  EXPECT_EQ(ui->ed_AdrNew->text(), "56");
}

TEST_F(ConfigWindow, CommandsFillTheSlotAtAddress5) {
  const struct {
    const char* name;
    std::function<void(Controls*)> setup;
    QPushButton* Controls::*button;
    Frame bytes;
  } cases[] = {
      {"channel 3", [](Controls* u) { u->ed_Chan->setText("3"); }, &Controls::Button1,
       {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45}},
      {"grade 1.5 on channel 2",
       [](Controls* u) {
         u->ed_Chan->setText("2");
         u->ed_Sort->setText("1.5");
       },
       &Controls::Button2, {0x05, 0x06, 0x00, 0x03, 0x00, 0x73, 0x39, 0xAB}},
      {"salinity at its starting text on channel 1", [](Controls*) {}, &Controls::Button3,
       {0x05, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x28, 0xF5}},
      {"19200 even parity one stop bit",
       [](Controls* u) {
         u->cmb_Rate->setCurrentIndex(u->cmb_Rate->findText("19200"));
         u->cmb_Par->setCurrentIndex(u->cmb_Par->findText("EVENPARITY"));
       },
       &Controls::Button4, {0x05, 0x06, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x8A}},
      {"serial settings of the layout", [](Controls*) {}, &Controls::Button4,
       {0x05, 0x06, 0x00, 0x00, 0x00, 0x04, 0x89, 0x8D}},
      {"two stop bits", [](Controls* u) { u->rb_2->setChecked(true); }, &Controls::Button4,
       At5(0x00, 36)},
      {"address 7", [](Controls* u) { u->ed_AdrNew->setText("7"); }, &Controls::Button5,
       {0x05, 0x06, 0x00, 0x31, 0x00, 0x07, 0x98, 0x43}},
  };
  for (const auto& c : cases) {
    SetUp();  // a fresh window: the layout's texts
    c.setup(ui);
    ModalAnswerer answer;
    Click(ui->*c.button);
    EXPECT_TRUE(answer.seen().empty()) << c.name;
    EXPECT_TRUE(CommandPending()) << c.name;
    EXPECT_EQ(Slot(), c.bytes) << c.name;
  }
}

TEST_F(ConfigWindow, OutOfRangeInputIsClampedAndChannelAndAddressWrittenBack) {
  const struct {
    const char* name;
    QLineEdit* Controls::*field;
    const char* text;
    QPushButton* Controls::*button;
    const char* textAfter;
    Frame bytes;
  } cases[] = {
      {"channel 0", &Controls::ed_Chan, "0", &Controls::Button1, "1", At5(0x21, 1)},
      {"channel 15", &Controls::ed_Chan, "15", &Controls::Button1, "14", At5(0x21, 14)},
      {"channel 007", &Controls::ed_Chan, "007", &Controls::Button1, "7", At5(0x21, 7)},
      {"channel 99 for the grade", &Controls::ed_Chan, "99", &Controls::Button2, "14", At5(0x0F, 100)},
      {"channel 0 for the salinity", &Controls::ed_Chan, "0", &Controls::Button3, "1", At5(0x12, 1000)},
      {"grade 25 stays as typed", &Controls::ed_Sort, "25", &Controls::Button2, "25", At5(0x02, 199)},
      {"grade -20", &Controls::ed_Sort, "-20", &Controls::Button2, "-20", At5(0x02, 0)},
      {"grade 1.55 truncated", &Controls::ed_Sort, "1.55", &Controls::Button2, "1.55", At5(0x02, 115)},
      {"grade lone point", &Controls::ed_Sort, ".", &Controls::Button2, ".", At5(0x02, 100)},
      {"salinity 80", &Controls::ed_Sol, "80", &Controls::Button3, "80", At5(0x12, 900)},
      {"salinity 130", &Controls::ed_Sol, "130", &Controls::Button3, "130", At5(0x12, 1200)},
      {"salinity 100.05 truncated", &Controls::ed_Sol, "100.05", &Controls::Button3, "100.05", At5(0x12, 1000)},
      {"address 200", &Controls::ed_AdrNew, "200", &Controls::Button5, "127", At5(0x31, 127)},
      {"address 0", &Controls::ed_AdrNew, "0", &Controls::Button5, "1", At5(0x31, 1)},
  };
  for (const auto& c : cases) {
    SetUp();
    (ui->*c.field)->setText(c.text);
    ModalAnswerer answer;
    Click(ui->*c.button);
    EXPECT_TRUE(answer.seen().empty()) << c.name;
    EXPECT_EQ((ui->*c.field)->text(), c.textAfter) << c.name;
    EXPECT_EQ(Slot(), c.bytes) << c.name;
  }
}

TEST_F(ConfigWindow, UnconvertibleIntegerKeepsThePendingCommand) {
  ui->ed_AdrNew->setText("7");
  Click(ui->Button5);
  const Frame pending = Slot();
  ASSERT_TRUE(CommandPending());

  const struct {
    QLineEdit* Controls::*field;
    const char* text;
    QPushButton* Controls::*button;
  } cases[] = {
      {&Controls::ed_Chan, "", &Controls::Button1},
      {&Controls::ed_Chan, "99999999999", &Controls::Button2},
      {&Controls::ed_Chan, "", &Controls::Button3},
      {&Controls::ed_AdrNew, "", &Controls::Button5},
  };
  for (const auto& c : cases) {
    (ui->*c.field)->setText(c.text);
    ModalAnswerer answer;
    Click(ui->*c.button);
    ASSERT_EQ(answer.seen().size(), 1u) << c.text;
    EXPECT_EQ(answer.seen()[0].text, QString("'%1' is not a valid integer value").arg(c.text));
    EXPECT_EQ((ui->*c.field)->text(), c.text);
    EXPECT_TRUE(CommandPending());
    EXPECT_EQ(Slot(), pending);
  }
  // The pending address command still goes out as it was.
  tagris::PollCycle& cycle = form->Connection().Cycle();
  cycle.PollPhase = 0;
  const tagris::PollCycle::TickResult r = cycle.Tick();
  ASSERT_EQ(r.send, tagris::PollCycle::Send::Command);
  EXPECT_EQ(r.frame, At5(0x31, 7));
}

TEST_F(ConfigWindow, LastCommandBeforeTheSlotWins) {
  ui->ed_Chan->setText("3");
  Click(ui->Button1);
  ui->ed_AdrNew->setText("9");
  Click(ui->Button5);
  EXPECT_EQ(Slot(), At5(0x31, 9));
}

class SendFile : public ConfigWindow {
 protected:
  void SetUp() override {
    ConfigWindow::SetUp();
    path = QCoreApplication::applicationDirPath() + "/Send_me.txt";
    QFile::remove(path);
    // Started from another folder: the file is still looked for beside the program.
    ASSERT_TRUE(elsewhere.isValid());
    oldCwd = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());
    QFile decoy(elsewhere.path() + "/Send_me.txt");
    ASSERT_TRUE(decoy.open(QIODevice::WriteOnly));
    decoy.write("decoy\r\n");
  }
  void TearDown() override {
    QFile::remove(path);
    QDir::setCurrent(oldCwd);
  }
  void Write(const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QString path;
  QString oldCwd;
  QTemporaryDir elsewhere;
};

TEST_F(SendFile, ShowsTheFileBesideTheProgram) {
  tagris::test::ShowTraceLine(*form, "<-- 0x05");
  tagris::test::ShowTraceLine(*form, "old");
  const Frame slot = Slot();
  Write(QByteArray("first\r\nsecond\nthird\r\xCF\xF0\xE8\xE2\xE5\xF2\r\n"));
  ModalAnswerer answer;
  Click(ui->Button6);
  EXPECT_TRUE(answer.seen().empty());
  EXPECT_EQ(ui->Memo1->toPlainText(), QStringLiteral("first\nsecond\nthird\nПривет"));
  EXPECT_FALSE(CommandPending());
  EXPECT_EQ(Slot(), slot);
  // The trace rule counts on from the two lines it had added: three more are kept,
  // the one after them takes the place of the memo's first line.
  for (const char* line : {"t1", "t2", "t3", "t4"}) tagris::test::ShowTraceLine(*form, line);
  EXPECT_EQ(ui->Memo1->toPlainText(), QStringLiteral("second\nthird\nПривет\nt1\nt2\nt3\nt4"));
}

TEST_F(SendFile, TextEndsAtNulAndAnEmptyFileEmptiesTheMemo) {
  ui->Memo1->setPlainText("old");
  Write(QByteArray("ab\0cd\r\nef", 9));
  Click(ui->Button6);
  EXPECT_EQ(ui->Memo1->toPlainText(), "ab");
  Write(QByteArray());
  Click(ui->Button6);
  EXPECT_EQ(ui->Memo1->toPlainText(), "");
}

TEST_F(SendFile, MissingFileNamesTheFullPath) {
  ui->Memo1->setPlainText("kept\nlines");
  ModalAnswerer answer;
  Click(ui->Button6);
  ASSERT_EQ(answer.seen().size(), 1u);
  EXPECT_EQ(answer.seen()[0].title, "Error");
  EXPECT_EQ(answer.seen()[0].text, "Cannot open file " + path);
  EXPECT_TRUE(QDir::isAbsolutePath(path));
  EXPECT_EQ(ui->Memo1->toPlainText(), "kept\nlines");
}

}  // namespace
