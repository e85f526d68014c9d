#pragma once
// The application-wide error display: an error escaping a handler is shown in a
// modal box with its message, and the program goes on; and the window's other boxes.
#include <QString>

#include <exception>
#include <stdexcept>
#include <utility>

namespace tagris {

void ShowException(const std::exception& e);

// The modal "Warning!" box with OK only, no icon and no owner window, like every
// error box of the window.
void ShowWarning(const QString& text);

// The "Warning" question with OK and Cancel, OK the default, no icon and no owner
// window; true when the operator chose OK.
bool Confirm(const QString& text);

template <class F>
void Guarded(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(std::runtime_error(""));
  }
}

}  // namespace tagris
