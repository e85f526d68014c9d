#include "updown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

namespace {

QToolButton* MakeArrow(QWidget* parent, Qt::ArrowType arrow) {
  auto* b = new QToolButton(parent);
  b->setArrowType(arrow);
  b->setAutoRepeat(true);
  // Clicking the arrows leaves the keyboard focus in the edit box.
  b->setFocusPolicy(Qt::NoFocus);
  return b;
}

}  // namespace

TUpDown::TUpDown(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::TabFocus);
  up_ = MakeArrow(this, Qt::UpArrow);
  down_ = MakeArrow(this, Qt::DownArrow);
  connect(up_, &QToolButton::clicked, this, &TUpDown::stepUp);
  connect(down_, &QToolButton::clicked, this, &TUpDown::stepDown);
}

int TUpDown::value() const {
  if (associate_) {
    bool ok = false;
    const int typed = associate_->text().trimmed().toInt(&ok, 10);
    if (ok && typed >= minimum_ && typed <= maximum_) return typed;
  }
  return value_;
}

void TUpDown::setMinimum(int v) {
  minimum_ = v;
  if (maximum_ < minimum_) maximum_ = minimum_;
  if (value_ < minimum_) setValue(minimum_);
}

void TUpDown::setMaximum(int v) {
  maximum_ = v;
  if (minimum_ > maximum_) minimum_ = maximum_;
  if (value_ > maximum_) setValue(maximum_);
}

void TUpDown::setValue(int v) {
  const int clamped = std::clamp(v, minimum_, maximum_);
  const bool changed = clamped != value_;
  value_ = clamped;
  writeAssociate();
  if (changed) emit valueChanged(value_);
}

void TUpDown::setAssociate(QLineEdit* edit) {
  if (associate_) associate_->removeEventFilter(this);
  associate_ = edit;
  if (associate_) {
    associate_->installEventFilter(this);
    writeAssociate();
  }
}

QLineEdit* TUpDown::associate() const { return associate_.data(); }

void TUpDown::stepUp() { stepBy(1); }
void TUpDown::stepDown() { stepBy(-1); }

void TUpDown::stepBy(int delta) {
  // Saturates at the ends: no wrap-around.
  setValue(value() + delta);
}

void TUpDown::writeAssociate() {
  if (!associate_) return;
  const QString text = QString::number(value_);
  // Set directly: the edit box's key filters are for typed characters only.
  if (associate_->text() != text) associate_->setText(text);
}

void TUpDown::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up) {
    stepUp();
  } else if (event->key() == Qt::Key_Down) {
    stepDown();
  } else {
    QWidget::keyPressEvent(event);
  }
}

bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
  // Type first: the edit box sends events from its destructor too, and reading
  // associate_ then would cast an object that is no longer a QLineEdit.
  if (event->type() == QEvent::KeyPress && watched == associate_ && isEnabled()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      key == Qt::Key_Up ? stepUp() : stepDown();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TUpDown::resizeEvent(QResizeEvent* event) {
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
  QWidget::resizeEvent(event);
}
