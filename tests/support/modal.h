#pragma once
// Answers the modal boxes a handler opens, so GUI tests never wait for a person.
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

namespace tagris::test {

struct SeenBox {
  QString title;
  QString text;
  QMessageBox::StandardButtons buttons = QMessageBox::NoButton;  // as offered, before the answer
  bool owned = false;                                             // had a parent window
};

// While alive, polls every 10 ms for an active modal widget. A QMessageBox is
// answered with the next button of `answers` (the last one repeats); any other
// modal widget is passed to `onOther` (which must close it). Every box seen is recorded.
class ModalAnswerer {
 public:
  explicit ModalAnswerer(std::vector<QMessageBox::StandardButton> answers = {QMessageBox::Ok},
                         std::function<void(QWidget*)> onOther = {});
  ~ModalAnswerer();
  const std::vector<SeenBox>& seen() const { return seen_; }

 private:
  void poll();
  std::vector<QMessageBox::StandardButton> answers_;
  std::function<void(QWidget*)> onOther_;
  std::vector<SeenBox> seen_;
  QTimer timer_;
  QWidget* last_ = nullptr;
};

// Answers a save dialog as an operator would: the path typed into its name box
// (selectFile() leaves a focused box alone), then accepted. Nullptr: cancelled.
void AnswerFileDialog(QWidget* dialog, const QString* path);

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
bool WaitFor(const std::function<bool()>& pred, int timeoutMs);

}  // namespace tagris::test
