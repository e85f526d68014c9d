#include "label_autosize.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QStatusBar>
#include <QWidget>

namespace tagris {

namespace {

// Sits on the window: an update request comes before every repaint, so a label
// whose text changed since the last one is fitted before it is drawn.
class LabelFitter : public QObject {
 public:
  LabelFitter(QWidget* window, QList<QLabel*> labels) : QObject(window) {
    for (QLabel* l : labels) labels_.append(l);
    window->installEventFilter(this);
  }

  void FitAll() {
    for (const QPointer<QLabel>& l : labels_)
      if (l) FitLabel(l);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::UpdateRequest || event->type() == QEvent::Show) FitAll();
    return QObject::eventFilter(watched, event);
  }

 private:
  QList<QPointer<QLabel>> labels_;
};

}  // namespace

void FitLabel(QLabel* label) {
  const QString text = label->text().isEmpty() ? QStringLiteral(" ") : label->text();
  const QFontMetrics fm(label->font());
  const int m = label->margin() * 2 + label->frameWidth() * 2;
  const QSize wanted = fm.size(0, text) + QSize(m, m);
  if (label->size() != wanted) label->resize(wanted);
}

void AutoSizeLabels(QWidget* window) {
  QList<QLabel*> labels;
  for (QLabel* l : window->findChildren<QLabel*>()) {
    if (qobject_cast<QStatusBar*>(l->parentWidget())) continue;
    if (l->objectName().isEmpty()) continue;  // parts of other widgets
    labels.append(l);
  }
  auto* fitter = new LabelFitter(window, labels);
  fitter->FitAll();
}

}  // namespace tagris
