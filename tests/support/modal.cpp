#include "modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

namespace tagris::test {

ModalAnswerer::ModalAnswerer(std::vector<QMessageBox::StandardButton> answers,
                             std::function<void(QWidget*)> onOther)
    : answers_(std::move(answers)), onOther_(std::move(onOther)) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
  timer_.start();
}

ModalAnswerer::~ModalAnswerer() { timer_.stop(); }

void ModalAnswerer::poll() {
  QWidget* w = QApplication::activeModalWidget();
  if (!w || w == last_) return;
  last_ = w;
  QPointer<QWidget> guard(w);
  if (auto* box = qobject_cast<QMessageBox*>(w)) {
    seen_.push_back({box->windowTitle(), box->text(), box->standardButtons(), box->parentWidget() != nullptr});
    const auto which = answers_.empty() ? QMessageBox::Ok
                       : answers_.size() >= seen_.size() ? answers_[seen_.size() - 1]
                                                         : answers_.back();
    QAbstractButton* b = box->button(which);
    if (!b && !box->buttons().isEmpty()) b = box->buttons().front();
    // Queued: a click from inside this timer's slot would block it during exec().
    if (b) QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
    // Let the next box (if it reuses the address) be recognised again.
    QTimer::singleShot(0, [this] { last_ = nullptr; });
  } else if (onOther_) {
    QTimer::singleShot(0, [this, guard] {
      if (guard) onOther_(guard);
      last_ = nullptr;
    });
  }
}

void AnswerFileDialog(QWidget* w, const QString* path) {
  auto* dialog = qobject_cast<QFileDialog*>(w);
  if (!dialog) return;
  if (!path) {
    dialog->reject();
    return;
  }
  if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
    name->setText(*path);
  else
    dialog->selectFile(*path);
  static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept is protected
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace tagris::test
