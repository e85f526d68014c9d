#include "error_display.h"

#include <QMessageBox>
#include <QString>

namespace tagris {

void ShowException(const std::exception& e) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromUtf8(e.what()), QMessageBox::Ok);
  box.exec();
}

void ShowWarning(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Warning!"), text, QMessageBox::Ok, nullptr);
  box.exec();
}

bool Confirm(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Warning"), text, QMessageBox::Ok | QMessageBox::Cancel);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

}  // namespace tagris
