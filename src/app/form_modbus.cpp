// The poll timer, the transmit routine with its trace and the reply handler.
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>

#include <span>

#include "tform1.h"
#include "modbus/reply.h"
#include "serial/serial_link.h"
#include "ui_form1.h"

void TForm1::Tick() {
  const tagris::PollCycle::TickResult slot = Poll.Tick();
  ui->lb_connect->setText(slot.linkLost ? QStringLiteral(" Нет связи с блоком") : QString());
  if (slot.send == tagris::PollCycle::Send::Nothing || !Link || !Link->IsOpen()) return;
  Link->PurgeInput();
  // Set before the frame goes out, so the receive thread counts against it.
  Link->ExpectedReplyLength = slot.expectedReplyLength;
  SendFrame(slot.frame, 8);
}

void TForm1::SendFrame(const std::uint8_t* frame, std::int32_t count) {
  if (!Link || count < 0) return;
  Link->SendFrame(frame, count);
  AddTraceLine(QString::fromStdString(tagris::TransmitTraceLine(frame, static_cast<std::size_t>(count))));
}

void TForm1::AddTraceLine(const QString& line) {
  // The memo shows only the last five lines; an undo history would keep every line
  // ever traced, about 1 KiB per reply, for as long as the program runs.
  if (ui->Memo1->isUndoRedoEnabled()) ui->Memo1->setUndoRedoEnabled(false);
  if (TraceLineCount > 4) {
    QTextCursor oldest(ui->Memo1->document()->firstBlock());
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
  } else {
    ++TraceLineCount;
  }
  ui->Memo1->appendPlainText(line);
}

void TForm1::ProcessReply(const std::uint8_t* rxBuffer, std::size_t received) {
  const std::span<const std::uint8_t> rx(rxBuffer, tagris::kLinkBufferSize);
  const tagris::ReplyKind kind = tagris::ClassifyReply(Poll, rx, received);
  if (kind == tagris::ReplyKind::Ignored) return;  // the last tick was a command slot
  // Only a sound answer to our poll proves the link; a garbled or foreign one is
  // shown in the trace and goes no further.
  if (kind == tagris::ReplyKind::Measurement) Poll.ReplyAccepted();
  const std::size_t expected = Link ? Link->ExpectedReplyLength.load() : tagris::kPollReplyLength;
  const std::string trace = tagris::ReceiveTraceLine(rx, expected);
  AddTraceLine(QString::fromStdString(trace));
  if (kind == tagris::ReplyKind::Measurement) MeasurementUpdate(rxBuffer, trace);
}
