// The poll timer, the replies the connection hands over and the trace memo.
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "tform1.h"
#include "error_display.h"
#include "ui_form1.h"

void TForm1::Tick() {
  const tagris::TickOutcome slot = connection_->Tick();
  ui->lb_connect->setText(slot.linkLost ? QStringLiteral(" Нет связи с блоком") : QString());
  if (slot.sent) AddTraceLine(QString::fromStdString(slot.sent->trace));
}

void TForm1::AddTraceLine(const QString& line) {
  QPlainTextEdit* memo = ui->Memo1;
  // The memo shows only the last five lines; an undo history would keep every line
  // ever traced, about 1 KiB per reply, for as long as the program runs.
  if (memo->isUndoRedoEnabled()) memo->setUndoRedoEnabled(false);
  const bool dropFirst = traceLines_ > 4;
  if (!dropFirst) ++traceLines_;
  if (memo->isVisible()) {
    // The memo's own append keeps a shown memo scrolled to the newest line.
    if (dropFirst) {
      QTextCursor oldest(memo->document()->firstBlock());
      oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
      oldest.removeSelectedText();
    }
    memo->appendPlainText(line);
    return;
  }
  // Hidden, as the layout has it: the same text in one edit, through positions
  // only. appendPlainText and movePosition lay the lines out at once (a reply's
  // line is 570 characters, shaped glyph by glyph: a quarter of the window's CPU);
  // one edit spanning several lines only marks them for layout when next shown.
  QTextDocument* doc = memo->document();
  QTextCursor cursor(doc);
  cursor.beginEditBlock();  // also keeps setPosition from laying out the line it lands on
  if (dropFirst && doc->blockCount() > 1) {
    cursor.setPosition(doc->firstBlock().next().position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
  cursor.setPosition(doc->characterCount() - 1);
  if (!doc->isEmpty()) cursor.insertBlock();
  cursor.insertText(line);
  cursor.endEditBlock();
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
