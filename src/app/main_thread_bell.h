#pragma once
// Wakes the window's event loop from a worker thread without handing any Qt
// object across threads: the worker writes an eventfd that a QSocketNotifier of
// the main thread watches. Rings made before the main thread looks are merged.
#include <QObject>

#include <functional>

class QSocketNotifier;

namespace tagris {

class MainThreadBell : public QObject {
  Q_OBJECT

 public:
  // onRing runs on the thread of parent, once per wake-up.
  MainThreadBell(QObject* parent, std::function<void()> onRing);
  ~MainThreadBell() override;

  // Safe from any thread.
  void Ring();

 private:
  void Answer();

  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::function<void()> onRing_;
};

}  // namespace tagris
