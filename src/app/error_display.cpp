#include "error_display.h"

#include <QMessageBox>
#include <QString>

namespace tagris {

void ShowException(const std::exception& e) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromUtf8(e.what()), QMessageBox::Ok);
  box.exec();
}

}  // namespace tagris
