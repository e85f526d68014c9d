// Connect, disconnect and ClosePort of the window.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "error_display.h"
#include "tform1.h"
#include "common/convert.h"
#include "ui_form1.h"

namespace {

// Line settings and address are fixed while the port is open.
void SetLineControlsEnabled(Ui::TForm1* ui, bool enabled) {
  ui->cmb_Speed->setEnabled(enabled);
  ui->cmb_PORT->setEnabled(enabled);
  ui->cmb_Parity->setEnabled(enabled);
  ui->cmb_Stop->setEnabled(enabled);
  ui->ed_Adr->setEnabled(enabled);
}

}  // namespace

bool TForm1::OpenLink(const QString& portName) {
  if (connection_->OpenPort(portName.toStdString()) != tagris::OpenError::None) return false;
  tagris::PortSettings settings;
  std::int32_t address = 0;
  try {
    // Both texts are converted before anything runs on the port, so a typing
    // error leaves no port open and no thread behind.
    settings.baud = tagris::StrToInt(ui->cmb_Speed->currentText().toStdString());
    const int parity = ui->cmb_Parity->currentIndex();
    settings.parity = parity == 1 ? tagris::Parity::Odd : parity == 2 ? tagris::Parity::Even : tagris::Parity::None;
    settings.twoStopBits = ui->cmb_Stop->currentIndex() == 1;
    address = tagris::StrToInt(ui->ed_Adr->text().toStdString());
  } catch (...) {
    connection_->Close();
    throw;
  }
  address = std::clamp<std::int32_t>(address, 0, 127);
  ui->ed_Adr->setText(QString::number(address));
  connection_->Start(settings, static_cast<std::uint8_t>(address));
  return true;
}

void TForm1::bt_ConnectClick() {
  if (connection_->IsOpen())
    DisconnectClick();
  else
    ConnectClick();
}

void TForm1::ConnectClick() {
  const QString portName = ui->cmb_PORT->currentText();
  if (!OpenLink(portName)) {
    tagris::ShowWarning(QStringLiteral("Ошибка подключения!"));
    return;
  }
  ui->Memo1->clear();
  traceLines_ = 0;
  SetLineControlsEnabled(ui, false);
  Timer1->start();  // the first tick comes 500 ms later
  ui->bt_Connect->setText(QStringLiteral("Отключить"));
  ui->StatusBar1Panel0->setText(QStringLiteral(">> Модуль подключен (Port ") + portName + QStringLiteral(")"));
  ui->lb_Curr->setText(QStringLiteral("Влага: 0.0 %"));
  ResetCharts();
}

void TForm1::DisconnectClick() {
  if (!tagris::Confirm(QStringLiteral("            Отключить блок\n              Вы уверены?"))) return;
  // The box ran an event loop: replies and ticks went on meanwhile, and the
  // window may have been closed from there.
  if (!connection_->IsOpen()) return;
  CloseLogFile();
  ui->chk_Write->setChecked(false);  // runs Write_File when it was checked
  Timer1->stop();
  ui->bt_Connect->setText(QStringLiteral("Подключить"));
  ClosePort();
  ui->StatusBar1Panel0->setText(QStringLiteral(">> Модуль не подключен!"));
  SetLineControlsEnabled(ui, true);
}

void TForm1::ClosePort() {
  // Stops both threads (also one stuck in a write), joins them and closes the
  // port; never waits for this thread's event loop. The poll cycle, the kept
  // values and the log stay as they are.
  connection_->Close();
}
