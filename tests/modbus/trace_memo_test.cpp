// The trace memo of the window: a rolling view of the last five lines that keeps
// nothing else, however long the program runs, and holds exactly those lines at
// every moment, whether the memo is shown or (as in the layout) hidden.
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tform1.h"
#include "window.h"

namespace {

using tagris::test::Controls;

const QString kPoll = QStringLiteral("<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58");

void Trace(TForm1& form, const QString& line) { tagris::test::ShowTraceLine(form, line); }

QString ReplyLine(int i) {
  return QString::number(i) + QStringLiteral("-->") + QStringLiteral(" 0x05").repeated(113) + QStringLiteral("<---");
}

TEST(TraceMemo, KeepsFiveLinesAndNoHistoryOfTheRest) {
  TForm1 form;
  for (int i = 0; i < 2000; ++i) {
    Trace(form, kPoll);
    Trace(form, ReplyLine(i));
  }
  QTextDocument* doc = Controls(form).Memo1->document();
  EXPECT_EQ(doc->blockCount(), 5);
  EXPECT_EQ(doc->lastBlock().text(), ReplyLine(1999));
  // An undo history would hold every line ever traced: about 1 KiB per reply, for ever.
  EXPECT_EQ(doc->availableUndoSteps(), 0);
  EXPECT_LT(doc->characterCount(), 5 * 600);
}

TEST(TraceMemo, HoldsExactlyTheLastFiveLinesAfterEveryLine) {
  TForm1 form;
  QPlainTextEdit* memo = Controls(form).Memo1;
  QStringList all;
  for (int i = 1; i <= 12; ++i) {
    all << (i % 2 ? kPoll : ReplyLine(i));
    Trace(form, all.back());
    EXPECT_EQ(memo->toPlainText(), all.mid(std::max<qsizetype>(0, all.size() - 5)).join('\n')) << i;
  }
}

// The memo's text is also set from elsewhere (the send-file button, the connect's
// clear); the rule then goes on counting the lines it added itself, and drops the
// memo's first line once it has added five.
TEST(TraceMemo, ShownAndHiddenMemoHoldTheSameText) {
  TForm1 hidden, shown;
  shown.show();
  Controls(shown).Memo1->show();
  ASSERT_TRUE(Controls(shown).Memo1->isVisible());
  ASSERT_FALSE(Controls(hidden).Memo1->isVisible());

  int n = 0;
  const std::vector<std::function<void(TForm1&)>> steps = {
      [&](TForm1& f) { Trace(f, ReplyLine(n)); },
      [&](TForm1& f) { Trace(f, kPoll); },
      [](TForm1& f) { Controls(f).Memo1->setPlainText(QStringLiteral("file line 1\nfile line 2\n\nfile line 4")); },
      [](TForm1& f) { Controls(f).Memo1->setPlainText(QStringLiteral("one line")); },
      [](TForm1& f) { Controls(f).Memo1->clear(); },
      [](TForm1& f) { Controls(f).Memo1->setPlainText(QStringLiteral("ends with a break\n")); },
  };
  // Lines traced between the changes: past the fifth one the rule drops first lines.
  const int script[] = {0, 1, 0, 2, 0, 0, 1, 0, 0, 0, 1, 3, 0, 0, 1, 0, 0, 4, 0, 1, 5, 0, 0, 0, 0, 0, 0, 1};
  for (int step : script) {
    ++n;
    steps[static_cast<std::size_t>(step)](hidden);
    steps[static_cast<std::size_t>(step)](shown);
    ASSERT_EQ(Controls(hidden).Memo1->toPlainText(), Controls(shown).Memo1->toPlainText()) << "step " << n;
    ASSERT_EQ(Controls(hidden).Memo1->document()->blockCount(), Controls(shown).Memo1->document()->blockCount());
  }
  // Past the fifth line every line in takes one out: a memo left shorter stays so.
  EXPECT_EQ(Controls(hidden).Memo1->document()->blockCount(), 2);
}

}  // namespace
