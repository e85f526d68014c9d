#include "main_thread_bell.h"

#ifdef TAGRIS_BELL_EVENTFD
#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cstdint>
#endif

namespace tagris {

#ifdef TAGRIS_BELL_EVENTFD

MainThreadBell::MainThreadBell(QObject* parent, std::function<void()> onRing)
    : QObject(parent), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), onRing_(std::move(onRing)) {
  if (fd_ < 0) return;
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Answer(); });
}

MainThreadBell::~MainThreadBell() {
  delete notifier_;
  if (fd_ >= 0) ::close(fd_);
}

void MainThreadBell::Ring() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t w = ::write(fd_, &one, sizeof one);
}

void MainThreadBell::Answer() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t r = ::read(fd_, &count, sizeof count);
  if (onRing_) onRing_();
}

#else

MainThreadBell::MainThreadBell(QObject* parent, std::function<void()> onRing)
    : QObject(parent), onRing_(std::move(onRing)) {}

// A call still posted dies with its receiver: Qt drops the events of a deleted object.
MainThreadBell::~MainThreadBell() = default;

void MainThreadBell::Ring() {
  // One call in the queue is enough: it serves every ring made before it begins.
  if (pending_.exchange(true)) return;
  QMetaObject::invokeMethod(this, [this] { Answer(); }, Qt::QueuedConnection);
}

void MainThreadBell::Answer() {
  // Cleared before serving: a ring that comes while onRing_ runs posts a new call,
  // so nothing handed over after this point waits for a later ring.
  pending_.store(false);
  if (onRing_) onRing_();
}

#endif

}  // namespace tagris
