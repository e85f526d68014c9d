#pragma once
// Spin buttons bound to an edit box: each step moves the position by 1 within
// [minimum, maximum] without wrapping and writes it into the edit box as decimal text.
#include <QPointer>
#include <QWidget>

class QLineEdit;
class QToolButton;

class TUpDown : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
  Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
  Q_PROPERTY(int value READ value WRITE setValue NOTIFY valueChanged)

 public:
  explicit TUpDown(QWidget* parent = nullptr);

  int minimum() const { return minimum_; }
  int maximum() const { return maximum_; }
  // The position. While an edit box is associated, a whole number in range typed
  // into it counts as the position, so a step continues from what the operator sees.
  int value() const;

  void setMinimum(int v);
  void setMaximum(int v);
  // Clamped to [minimum, maximum]; written into the associated edit box.
  void setValue(int v);

  // Binds the edit box: the position is written into it, and its Up/Down keys step.
  void setAssociate(QLineEdit* edit);
  QLineEdit* associate() const;

 public slots:
  void stepUp();
  void stepDown();

 signals:
  void valueChanged(int value);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void stepBy(int delta);
  void writeAssociate();

  int minimum_ = 0;
  int maximum_ = 100;
  int value_ = 0;
  QPointer<QLineEdit> associate_;
  QToolButton* up_ = nullptr;
  QToolButton* down_ = nullptr;
};
