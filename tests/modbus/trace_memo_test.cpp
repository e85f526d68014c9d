// The trace memo of the window: a rolling view of the last five lines that keeps
// nothing else, however long the program runs.
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include "tform1.h"
#include "ui_form1.h"

namespace {

TEST(TraceMemo, KeepsFiveLinesAndNoHistoryOfTheRest) {
  TForm1 form;
  const QString reply = QStringLiteral("-->") + QStringLiteral(" 0x05").repeated(113) + QStringLiteral("<---");
  for (int i = 0; i < 2000; ++i) {
    form.AddTraceLine(QStringLiteral("<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58"));
    form.AddTraceLine(QString::number(i) + reply);
  }
  QTextDocument* doc = form.ui->Memo1->document();
  EXPECT_EQ(doc->blockCount(), 5);
  EXPECT_EQ(doc->lastBlock().text(), QStringLiteral("1999") + reply);
  // An undo history would hold every line ever traced: about 1 KiB per reply, for ever.
  EXPECT_EQ(doc->availableUndoSteps(), 0);
  EXPECT_LT(doc->characterCount(), 5 * 600);
}

}  // namespace
