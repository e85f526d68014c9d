#include "label_autosize.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QStatusBar>
#include <QWidget>

#include <vector>

namespace tagris {

namespace {

int Frame(const QLabel* label);
QSize FittedSize(const QLabel* label);

// Sits on the window: an update request comes before every repaint, so a label
// whose text changed since the last one is fitted before it is drawn. A label whose
// text, font and frame are as at its last fitting keeps the size found then:
// measuring a text shapes it glyph by glyph, and a reply changes few of them.
class LabelFitter : public QObject {
 public:
  LabelFitter(QWidget* window, const QList<QLabel*>& labels) : QObject(window) {
    for (QLabel* l : labels) fitted_.push_back({l, {}, {}, -1, {}});
    window->installEventFilter(this);
  }

  void FitAll() {
    for (Fitted& f : fitted_) {
      QLabel* label = f.label;
      if (!label) continue;
      const int frame = Frame(label);
      if (f.frame != frame || label->text() != f.text || label->font() != f.font) {
        f = {label, label->text(), label->font(), frame, FittedSize(label)};
      }
      if (label->size() != f.size) label->resize(f.size);
    }
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::UpdateRequest || event->type() == QEvent::Show) FitAll();
    return QObject::eventFilter(watched, event);
  }

 private:
  struct Fitted {
    QPointer<QLabel> label;
    QString text;  // as last fitted
    QFont font;
    int frame = -1;
    QSize size;
  };
  std::vector<Fitted> fitted_;
};

int Frame(const QLabel* label) { return label->margin() * 2 + label->frameWidth() * 2; }

QSize FittedSize(const QLabel* label) {
  const QString text = label->text().isEmpty() ? QStringLiteral(" ") : label->text();
  const int m = Frame(label);
  return QFontMetrics(label->font()).size(0, text) + QSize(m, m);
}

}  // namespace

void FitLabel(QLabel* label) {
  const QSize wanted = FittedSize(label);
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
