#include "main_thread_bell.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <cstdint>

namespace tagris {

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

}  // namespace tagris
