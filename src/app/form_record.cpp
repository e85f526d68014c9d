// Sample recording and the log file.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTableWidgetItem>
#include <QTextCursor>
#include <QTimer>

#include <array>
#include <stdexcept>

#include "tform1.h"
#include "error_display.h"
#include "common/convert.h"
#include "common/cp1251.h"
#include "core_path.h"
#include "record/log_file.h"
#include "record/sample_file.h"
#include "ui_form1.h"

namespace {

using tagris::ShowWarning;

std::string LocalPath(const QString& path) { return tagris::CorePath(path); }

// The file text as the memo shows it: Unicode, one block per line.
QString MemoText(const std::string& cp1251) {
  QString text = QString::fromStdString(tagris::Cp1251ToUtf8(cp1251));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

}  // namespace

void TForm1::Button7Click() {
  const std::int32_t period = tagris::TryStrToInt(ui->Edit1->text().toStdString()).value_or(0);
  if (period == 0) {
    ShowWarning(QStringLiteral("Не введен период опроса"));
    return;
  }
  ui->Edit1->setEnabled(false);
  sampleCountdown_ = 0;
  ui->StringGrid2->setRowCount(1);
  // Enabling a running timer keeps its rhythm; start() would restart the second.
  if (!Timer2->isActive()) Timer2->start();
}

void TForm1::Button8Click() {
  Timer2->stop();
  ui->Edit1->setEnabled(true);
}

void TForm1::Timer2Timer() {
  if (!connection_->IsOpen()) return;  // paused while the port is closed
  ui->Edit2->setText(QString::number(sampleCountdown_));
  if (sampleCountdown_ >= 1) {
    --sampleCountdown_;
    return;
  }

  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  const tagris::Measurement& kept = connection_->Kept();
  const std::array<std::string, 5> cells = {
      tagris::SampleTimeText(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()),
      tagris::SampleValueText(kept.temperature),
      tagris::SampleValueText(kept.moisture),
      tagris::SampleValueText(kept.peakFrequency),
      tagris::SampleValueText(kept.peakWidth),
  };
  AddSampleRow(cells);
  sampleCountdown_ = tagris::TryStrToInt(ui->Edit1->text().toStdString()).value_or(0);

  // Not AppendSampleLine: M1 shows the new text before the file is replaced.
  const std::string path = LocalPath(SampleDir() + QStringLiteral("//") + tagris::kSampleFileName);
  const std::string old = tagris::ReadFileIfPresent(path).value_or(std::string());
  StoreSampleFile(path, tagris::AppendLineText(old, tagris::SampleLine(cells)));
}

void TForm1::AddSampleRow(const std::array<std::string, 5>& cells) {
  const int row = ui->StringGrid2->rowCount();
  ui->StringGrid2->setRowCount(row + 1);
  for (int col = 0; col < 5; ++col)
    ui->StringGrid2->setItem(row, col, new QTableWidgetItem(QString::fromStdString(cells[col])));
}

void TForm1::StoreSampleFile(const std::string& path, const std::string& text) {
  // M1 stages the whole file text; the file is replaced only once the new text is complete.
  ui->M1->setUndoRedoEnabled(false);  // a history of every sample would grow for ever
  const std::string& shown = sampleTextInM1_;
  if (!shown.empty() && text.compare(0, shown.size(), shown) == 0) {
    // M1 already holds the start of the new text: add only the rest, instead of
    // laying out the whole file again (which grew to a third of a second per sample).
    QTextCursor end(ui->M1->document());
    end.movePosition(QTextCursor::End);
    end.insertText(MemoText(text.substr(shown.size())));
  } else {
    ui->M1->setPlainText(MemoText(text));
  }
  sampleTextInM1_.clear();  // until the file really holds the new text
  tagris::WriteFileSafely(path, text);
  sampleTextInM1_ = text;
}

QString TForm1::DefaultSampleDir() {
  const QString appDir = QCoreApplication::applicationDirPath();
  if (!appDir.isEmpty() && QFileInfo(appDir).isWritable()) return appDir;
  const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  QDir().mkpath(dataDir);
  return dataDir;
}

QString TForm1::SampleDir() const { return sampleDir_.isEmpty() ? DefaultSampleDir() : sampleDir_; }

void TForm1::Write_File() {
  if (!ui->chk_Write->isChecked()) {
    ui->StatusBar1Panel1->setText(QString());
    CloseLogFile();
    return;
  }
  CloseLogFile();  // never leak a file left open by an earlier run of this branch

  // Unchecking runs this handler again, in its unchecked branch.
  const auto abandon = [this] {
    ui->chk_Write->setChecked(false);
    ui->StatusBar1Panel1->setText(QString());
    CloseLogFile();
  };
  const std::string path = AskLogPath();
  if (path.empty()) {
    abandon();
    return;
  }
  try {
    connection_->Log().Start(path);
    ui->StatusBar1Panel1->setText(QFile::decodeName(path.c_str()));
  } catch (const std::runtime_error& e) {
    // An operator who asked for a log must not believe one is being written.
    abandon();
    ShowWarning(QString::fromUtf8(e.what()));
  }
}

std::string TForm1::AskLogPath() {
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("SaveDialog1"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setWindowTitle(QStringLiteral("Input name file for save"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("Data files (*.txt)"), QStringLiteral("All files (*.*)")});
  dialog.selectNameFilter(QStringLiteral("Data files (*.txt)"));
  dialog.setDefaultSuffix(QString());
  dialog.selectFile(QString());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};

  const std::string path = tagris::WithLogExtension(LocalPath(dialog.selectedFiles().front()));
  if (tagris::PathExists(path)) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Warning!"), QStringLiteral("File exist!. Rewrite?"),
                    QMessageBox::Yes | QMessageBox::No, nullptr);
    if (box.exec() != QMessageBox::Yes) return {};
  }
  return path;
}

void TForm1::CloseLogFile() { connection_->Log().Stop(); }
