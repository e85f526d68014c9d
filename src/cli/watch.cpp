#include "watch.h"

// AppendFile and StopSignals: platform_posix.cpp and platform_win32.cpp.

namespace tagris::cli {

std::optional<RowStatus> LinkWatch::Polled(ExchangeStatus status) {
  switch (status) {
    case ExchangeStatus::Ok:
      silent_ = 0;
      if (!lost_) return RowStatus::Ok;
      lost_ = false;
      return RowStatus::Resumed;
    case ExchangeStatus::NoReply:
    case ExchangeStatus::Invalid:
      // Only a valid reply proves the link, as for the window's watchdog.
      if (++silent_ < kSilentPolls || lost_) return std::nullopt;
      lost_ = true;
      return RowStatus::Lost;
    case ExchangeStatus::PortLost: return PortGone();
  }
  return std::nullopt;
}

std::optional<RowStatus> LinkWatch::PortGone() {
  silent_ = 0;
  if (lost_) return std::nullopt;
  lost_ = true;
  return RowStatus::Lost;
}

}  // namespace tagris::cli
