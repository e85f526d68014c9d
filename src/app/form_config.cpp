// Configuration commands, key filters and the send-file command.
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QValidator>

#include <string>
#include <utility>
#include <vector>

#include "tform1.h"
#include "error_display.h"
#include "core_path.h"
#include "common/convert.h"
#include "common/cp1251.h"
#include "config/commands.h"
#include "config/key_filter.h"
#include "config/send_file.h"
#include "ui_form1.h"

namespace {

// Stands for a character the code page lacks: every filter discards it.
constexpr char kUnmappable = static_cast<char>(0x98);

char ToKey(QChar ch) {
  const int b = tagris::UnicodeToCp1251(ch.unicode());
  return b < 0 ? kUnmappable : static_cast<char>(b);
}

// Text that reaches a field other than by a keystroke (paste, drop, input
// method) is refused whole unless typing it would give the same text.
class KeyFilterValidator : public QValidator {
 public:
  KeyFilterValidator(tagris::KeyFilter filter, QObject* parent) : QValidator(parent), filter_(std::move(filter)) {}

  State validate(QString& input, int&) const override {
    std::string keys;
    keys.reserve(static_cast<std::size_t>(input.size()));
    for (QChar ch : input) keys.push_back(ToKey(ch));
    return tagris::IsInsertableText(keys, filter_) ? Acceptable : Invalid;
  }

 private:
  tagris::KeyFilter filter_;
};

// Keys that navigate or edit without typing a character; the widget handles them.
bool IsEditingKey(const QKeyEvent* e) {
  if (e->key() == Qt::Key_Tab || e->key() == Qt::Key_Backtab || e->key() == Qt::Key_Delete) return true;
  if (e->text() == QStringLiteral("\x7f")) return true;
  for (auto seq : {QKeySequence::Copy, QKeySequence::Paste, QKeySequence::Cut, QKeySequence::SelectAll,
                   QKeySequence::Undo, QKeySequence::Redo})
    if (e->matches(seq)) return true;
  return false;
}

std::string TextOf(const QLineEdit* edit) { return edit->text().toStdString(); }

std::int32_t IntegerOf(const QLineEdit* edit) { return tagris::StrToInt(TextOf(edit)); }

void ShowInputError() { tagris::ShowWarning(QStringLiteral("Ошибка ввода данных")); }

bool MarkedInvalid(const QLineEdit* edit) { return edit->property("Tag").toInt() == 0; }

}  // namespace

void TForm1::Button1Click() {
  const std::int32_t channel = tagris::ClampChannel(IntegerOf(ui->ed_Chan));
  ui->ed_Chan->setText(QString::number(channel));
  connection_->QueueCommand(tagris::ChannelCommand(channel));
}

// The grade and salinity commands: the field's validity first, then every input
// read before the channel is written back, so a failing conversion leaves the
// fields and the slot as they were.
template <class Build>
void TForm1::QueueChannelValueCommand(QLineEdit* field, Build build) {
  if (MarkedInvalid(field)) {
    ShowInputError();
    return;
  }
  const std::int32_t channelText = IntegerOf(ui->ed_Chan);
  const double value = tagris::StrToFloat(TextOf(field));
  const std::int32_t channel = tagris::ClampChannel(channelText);
  ui->ed_Chan->setText(QString::number(channel));
  connection_->QueueCommand(build(channel, value));
}

void TForm1::Button2Click() { QueueChannelValueCommand(ui->ed_Sort, tagris::GradeCommand); }

void TForm1::Button3Click() { QueueChannelValueCommand(ui->ed_Sol, tagris::SalinityCommand); }

void TForm1::Button4Click() {
  connection_->QueueCommand(tagris::SerialSettingsCommand(
      ui->cmb_Rate->currentText().toStdString(), ui->cmb_Par->currentText().toStdString(), ui->rb_2->isChecked()));
}

void TForm1::Button5Click() {
  const std::int32_t address = tagris::ClampNewAddress(IntegerOf(ui->ed_AdrNew));
  ui->ed_AdrNew->setText(QString::number(address));
  connection_->QueueCommand(tagris::AddressCommand(address));
}

void TForm1::Button6Click() {
  // The program's own folder, wherever it was started from.
  const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                       QString::fromLatin1(tagris::kSendFileName.data(), tagris::kSendFileName.size());
  const std::string bytes = tagris::ReadWholeFile(tagris::CorePath(path));
  const std::vector<std::string> lines = tagris::SplitTextLines(bytes);
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text.push_back('\n');
    text += lines[i];
  }
  ui->Memo1->setPlainText(QString::fromStdString(tagris::Cp1251ToUtf8(text)));
}

void TForm1::ed_AdrKeyPress(QObject*, char& Key) { Key = tagris::DigitKeyFilter(Key); }

void TForm1::ed_SolKeyPress(QObject*, char& Key) { Key = tagris::DecimalKeyFilter(Key, numericKeys_); }

void TForm1::cmb_RateKeyPress(QObject*, char& Key) { Key = tagris::DiscardKeyFilter(Key); }

void TForm1::cmb_ParKeyPress(QObject*, char& Key) { Key = tagris::DiscardKeyFilter(Key); }

void TForm1::ed_SortChange(QObject* Sender) {
  auto* edit = qobject_cast<QLineEdit*>(Sender);
  if (!edit) return;
  const bool valid = tagris::IsNumberText(TextOf(edit));
  QPalette palette = edit->palette();
  palette.setColor(QPalette::Text, valid ? QColor(Qt::black) : QColor(Qt::red));
  edit->setPalette(palette);
  edit->setProperty("Tag", valid ? 1 : 0);
}

void TForm1::InstallKeyFilters() {
  // Inserted text goes through the same key handlers as typed characters.
  for (QLineEdit* edit : {ui->ed_Adr, ui->ed_Chan, ui->ed_AdrNew}) {
    edit->installEventFilter(this);
    edit->setValidator(new KeyFilterValidator(
        [this, edit](char key) {
          ed_AdrKeyPress(edit, key);
          return key;
        },
        edit));
  }
  for (QLineEdit* edit : {ui->ed_Sort, ui->ed_Sol}) {
    edit->installEventFilter(this);
    edit->setValidator(new KeyFilterValidator(
        [this, edit](char key) {
          ed_SolKeyPress(edit, key);
          return key;
        },
        edit));
  }
  for (QComboBox* combo : {ui->cmb_Rate, ui->cmb_Par}) {
    combo->installEventFilter(this);
    if (QLineEdit* edit = combo->lineEdit()) {
      edit->installEventFilter(this);
      // Cut, paste, drops and Delete would change the text too; only the list may.
      edit->setReadOnly(true);
    }
  }
}

bool TForm1::KeyFilterEvent(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const KeyRoute route = KeyRouteOf(watched);
  if (!route.handler) return false;

  auto* key = static_cast<QKeyEvent*>(event);
  const QString typed = key->text();
  if (typed.isEmpty() || IsEditingKey(key)) return false;

  QString passed;
  bool changed = false;
  for (QChar ch : typed) {
    const char original = ToKey(ch);
    char k = original;
    (this->*route.handler)(route.sender, k);
    if (k == original) {
      passed.append(ch);
      continue;
    }
    changed = true;
    if (k != 0) passed.append(QChar(tagris::Cp1251ToUnicode(static_cast<unsigned char>(k))));
  }
  if (!changed) return false;
  // The keystroke is eaten; what the handler replaced it with is typed instead.
  if (route.target && !route.target->isReadOnly()) {
    QString text;
    for (QChar ch : passed)
      if (ch.unicode() >= 0x20) text.append(ch);
    if (!text.isEmpty()) route.target->insert(text);
  }
  return true;
}

TForm1::KeyRoute TForm1::KeyRouteOf(QObject* watched) const {
  if (watched == ui->ed_Adr || watched == ui->ed_Chan || watched == ui->ed_AdrNew)
    return {&TForm1::ed_AdrKeyPress, watched, qobject_cast<QLineEdit*>(watched)};
  if (watched == ui->ed_Sort || watched == ui->ed_Sol)
    return {&TForm1::ed_SolKeyPress, watched, qobject_cast<QLineEdit*>(watched)};
  // A combo box and its edit line share the combo box's handler, with the combo box as Sender.
  if (watched == ui->cmb_Rate || watched == ui->cmb_Rate->lineEdit())
    return {&TForm1::cmb_RateKeyPress, ui->cmb_Rate, ui->cmb_Rate->lineEdit()};
  if (watched == ui->cmb_Par || watched == ui->cmb_Par->lineEdit())
    return {&TForm1::cmb_ParKeyPress, ui->cmb_Par, ui->cmb_Par->lineEdit()};
  return {};
}
