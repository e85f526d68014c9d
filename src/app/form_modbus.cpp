// The poll timer, the replies the connection hands over and the trace memo.
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>

#include "tform1.h"
#include "error_display.h"
#include "ui_form1.h"

void TForm1::Tick() {
  const tagris::TickOutcome slot = connection_->Tick();
  ui->lb_connect->setText(slot.linkLost ? QStringLiteral(" Нет связи с блоком") : QString());
  if (slot.sent) AddTraceLine(QString::fromStdString(slot.sent->trace));
}

void TForm1::AddTraceLine(const QString& line) {
  // The memo shows only the last five lines; an undo history would keep every line
  // ever traced, about 1 KiB per reply, for as long as the program runs.
  if (ui->Memo1->isUndoRedoEnabled()) ui->Memo1->setUndoRedoEnabled(false);
  if (traceLines_ > 4) {
    QTextCursor oldest(ui->Memo1->document()->firstBlock());
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
  } else {
    ++traceLines_;
  }
  ui->Memo1->appendPlainText(line);
}

void TForm1::ServeReplies() {
  for (const tagris::ReplyOutcome& reply : connection_->Dispatch()) tagris::Guarded([&] { ProcessReply(reply); });
}

void TForm1::ProcessReply(const tagris::ReplyOutcome& reply) {
  if (reply.kind == tagris::ReplyKind::Ignored) return;  // the last tick was a command slot
  AddTraceLine(QString::fromStdString(reply.trace));
  if (reply.block) MeasurementUpdate(*reply.block, reply.count);
  if (reply.logError) {
    // The connection closed the log; the operator must not believe one is being written.
    ui->chk_Write->setChecked(false);
    ui->StatusBar1Panel1->setText(QString());
    tagris::ShowWarning(QString::fromUtf8(reply.logError->c_str()));
  }
}
