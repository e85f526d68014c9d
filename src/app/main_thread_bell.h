#pragma once
// Wakes the window's event loop from a worker thread without handing any Qt
// object across threads. On Linux the worker writes an eventfd that a
// QSocketNotifier of the main thread watches; elsewhere (Windows) it posts a
// queued call to the bell, which lives in the main thread (posting is safe from
// any thread). Rings made before the main thread looks are merged.
#include <QObject>

#include <atomic>
#include <functional>

// TAGRIS_BELL_POSTED builds the posted-call bell on Linux too, so that its tests run here.
#if defined(__linux__) && !defined(TAGRIS_BELL_POSTED)
#define TAGRIS_BELL_EVENTFD 1
#endif

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

#ifdef TAGRIS_BELL_EVENTFD
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
#else
  std::atomic<bool> pending_{false};  // a call is posted and has not begun yet
#endif
  std::function<void()> onRing_;
};

}  // namespace tagris
