// The serial line on Windows (overlapped I/O). The receive side waits for EV_RXCHAR
// and then moves everything the driver holds into a private input queue, as the
// Linux backend does, so counting, reading and purging mean the same on both.
// Reads never wait: the time-outs make ReadFile return at once with what is there.
//
// Every overlapped operation is finished by the thread that started it: a wait
// covers the operation's event and the cancel event, and on a cancel that thread
// ends its own operation and collects it before the OVERLAPPED goes out of scope.
// Cancel() itself only sets the event, from any thread. A pending WaitCommEvent
// is ended by setting the event mask again, which every driver honours (wine's
// CancelIoEx cannot reach that wait); reads and writes by CancelIoEx.
#include <algorithm>
#include <array>
#include <cstring>
#include <cwctype>
#include <mutex>

#include "common/win32_text.h"
#include "common/windows_api.h"
#include "serial/input_queue.h"
#include "serial/serial_port.h"

namespace tagris {

namespace {

// Wake-ups in a row with nothing to read that mean the line is gone. A driver may
// end a wait with no event (an unplugged USB adapter does, over and over); a wait
// that reported a byte we had already taken explains at most one empty wake-up.
constexpr int kEmptyWakesOfALostLine = 3;

// How an overlapped operation ended.
enum class IoEnd { Done, Failed, Cancelled };

// What the call that starts an overlapped operation said: done at once, or the error
// it left (ERROR_IO_PENDING: under way). Taken right after the call, before any other.
struct Start {
  bool done;
  DWORD error;
};
Start Began(BOOL done) { return {done != FALSE, done ? 0 : GetLastError()}; }

// A fresh OVERLAPPED on a thread's own event.
OVERLAPPED On(HANDLE event) {
  ResetEvent(event);
  OVERLAPPED ov{};
  ov.hEvent = event;
  return ov;
}

OpenError ErrorOfOpen(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
      return OpenError::NotFound;
    // A COM port held by another program refuses with access denied (wine says
    // sharing violation): on Windows that is the "busy" case, not a permission one.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return OpenError::Busy;
    default:
      return OpenError::Other;
  }
}

// Raw 8-bit binary line, no flow control of any kind, DTR and RTS held low: the
// unit's adapter must not see a handshake. Speed, parity and stop bits stay.
void MakeRaw(DCB& dcb) {
  dcb.fBinary = TRUE;
  dcb.ByteSize = 8;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  // Otherwise one framing error stops every read until ClearCommError.
  dcb.fAbortOnError = FALSE;
}

// A named object per port that lives while some program of ours holds the port.
// Share mode 0 already keeps every other program out on Windows; wine does not
// apply share modes to serial devices, and this keeps two copies of the tool
// (or the tool and its command line) from sharing one line there.
HANDLE TakePortGuard(const std::string& device) {
  std::string_view name = device;
  if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
  std::wstring guard = L"Local\\tagris-serial-port-";
  for (wchar_t c : win32::Widen(name)) guard += c == L'\\' ? L'/' : static_cast<wchar_t>(std::towupper(c));
  HANDLE h = CreateMutexW(nullptr, FALSE, guard.c_str());
  if (h && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  return h;
}

class Win32SerialPort final : public SerialPort {
 public:
  ~Win32SerialPort() override { Close(); }

  bool Open(const std::string& device) override {
    Close();
    openError_ = OpenError::NotFound;
    if (device.empty()) return false;
    HANDLE guard = TakePortGuard(device);
    if (!guard) {
      openError_ = ErrorOfOpen(GetLastError());
      return false;
    }
    // Share mode 0 is the exclusive open: nobody else gets the port while we hold it.
    HANDLE port = CreateFileW(win32::Widen(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      openError_ = ErrorOfOpen(GetLastError());
      CloseHandle(guard);
      return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
      CloseHandle(port);
      CloseHandle(guard);
      openError_ = OpenError::NotSerial;
      return false;
    }
    MakeRaw(dcb);
    // ReadFile returns at once with whatever the driver holds, also nothing.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE rx = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE tx = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts) || !SetCommMask(port, EV_RXCHAR) ||
        !cancel || !rx || !tx) {
      for (HANDLE h : {port, guard, cancel, rx, tx})
        if (h) CloseHandle(h);
      openError_ = OpenError::Other;
      return false;
    }
    openError_ = OpenError::None;
    std::lock_guard lock(mutex_);
    port_ = port;
    guard_ = guard;
    cancel_ = cancel;
    rxEvent_ = rx;
    txEvent_ = tx;
    queue_.Clear();
    return true;
  }

  OpenError LastOpenError() const override { return openError_; }

  bool Configure(const PortSettings& s) override {
    if (!IsOpen() || s.baud <= 0 || s.baud > MAXDWORD) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) return false;
    MakeRaw(dcb);
    // Any rate goes to the driver as it is; one that cannot do it refuses it.
    dcb.BaudRate = static_cast<DWORD>(s.baud);
    dcb.fParity = s.parity != Parity::None;
    dcb.Parity = s.parity == Parity::Odd ? ODDPARITY : s.parity == Parity::Even ? EVENPARITY : NOPARITY;
    dcb.StopBits = s.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    return SetCommState(port_, &dcb) != 0;
  }

  bool IsOpen() const override { return port_ != INVALID_HANDLE_VALUE; }

  void PurgeInput() override {
    std::lock_guard lock(mutex_);
    if (IsOpen()) PurgeComm(port_, PURGE_RXCLEAR);
    queue_.Clear();
  }

  // What has not gone out yet is dropped, as tcflush does: a write still in progress
  // is cut short too (it then returns false), not only the driver's buffer.
  void PurgeOutput() override {
    if (IsOpen()) PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  std::size_t QueuedInput() override {
    std::lock_guard lock(mutex_);
    return queue_.Size();
  }

  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    std::lock_guard lock(mutex_);
    return queue_.Take(buffer, n);
  }

  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    if (!IsOpen()) return false;
    while (n > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 20));
      OVERLAPPED ov = On(txEvent_);
      DWORD written = 0;
      DWORD error = 0;
      if (Finish(Began(WriteFile(port_, bytes, chunk, nullptr, &ov)), ov, written, error) != IoEnd::Done)
        return false;
      // A driver that takes nothing would have us try for ever.
      if (written == 0) return false;
      bytes += written;
      n -= written;
    }
    return true;
  }

  PortEvent WaitEvent() override {
    for (int emptyWakes = 0;; ++emptyWakes) {
      if (IsCancelled()) return PortEvent::Cancelled;
      if (emptyWakes >= kEmptyWakesOfALostLine) return PortEvent::LineLost;
      bool failed = false;
      if (Drain(failed) > 0) return PortEvent::Received;
      // Bytes that came before a hang-up were delivered above; now the line is gone.
      if (failed) return PortEvent::LineLost;

      DWORD mask = 0;
      OVERLAPPED ov = On(rxEvent_);
      const Start start = Began(WaitCommEvent(port_, &mask, &ov));
      // Characters that came between the drain and the start of the wait may not
      // count as an event to every driver: look once more, now that the wait is in
      // place, and end the wait ourselves to take them at once.
      const bool lookAgain = start.error == ERROR_IO_PENDING && QueuedInDriver() > 0;
      if (lookAgain) SetCommMask(port_, EV_RXCHAR);
      DWORD unused = 0;
      DWORD error = 0;
      switch (Finish(start, ov, unused, error, true)) {
        case IoEnd::Cancelled:
          return PortEvent::Cancelled;
        case IoEnd::Failed:
          // The wait we ended ourselves (a driver may report that as aborted).
          if (lookAgain && error == ERROR_OPERATION_ABORTED) continue;
          // Any other failure, ERROR_OPERATION_ABORTED included, comes from the
          // driver: a pulled adapter, the other end of a line that hung up. (Wine
          // on a pseudo-terminal also ends every wait so: see scripts/wine-test.sh.)
          return IsCancelled() ? PortEvent::Cancelled : PortEvent::LineLost;
        case IoEnd::Done:
          break;  // the drain at the top takes what came, or counts an empty wake-up
      }
    }
  }

  bool WaitCancelled(int ms) override {
    if (!cancel_) return false;
    return WaitForSingleObject(cancel_, ms < 0 ? INFINITE : static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
  }

  void Cancel() override {
    if (cancel_) SetEvent(cancel_);
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    for (HANDLE* h : {&guard_, &cancel_, &rxEvent_, &txEvent_}) {
      if (*h) CloseHandle(*h);
      *h = nullptr;
    }
    queue_.Clear();
  }

 private:
  bool IsCancelled() const { return cancel_ && WaitForSingleObject(cancel_, 0) == WAIT_OBJECT_0; }

  // Characters in the driver's queue; 0 when it cannot tell (the line is gone).
  DWORD QueuedInDriver() {
    COMSTAT status{};
    DWORD errors = 0;
    return ClearCommError(port_, &errors, &status) ? status.cbInQue : 0;
  }

  // Finishes an overlapped operation this thread started (commWait: it is a
  // WaitCommEvent), waiting for it or for Cancel(). On a cancel the operation is
  // ended and collected here; bytes tells what it did anyway. error: why it failed.
  IoEnd Finish(Start start, OVERLAPPED& ov, DWORD& bytes, DWORD& error, bool commWait = false) {
    if (!start.done && start.error != ERROR_IO_PENDING) {
      error = start.error;
      return IoEnd::Failed;
    }
    const HANDLE waits[2] = {ov.hEvent, cancel_};
    const DWORD woke = start.done ? WAIT_OBJECT_0 : WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      if (GetOverlappedResult(port_, &ov, &bytes, FALSE)) return IoEnd::Done;
      error = GetLastError();
      return IoEnd::Failed;
    }
    error = GetLastError();
    if (commWait) SetCommMask(port_, EV_RXCHAR);
    CancelIoEx(port_, &ov);
    // The driver may still write into ov until it lets go: collect it before returning.
    GetOverlappedResult(port_, &ov, &bytes, TRUE);
    return woke == WAIT_OBJECT_0 + 1 ? IoEnd::Cancelled : IoEnd::Failed;
  }

  // Moves everything the driver holds into the input queue. failed: the driver no longer answers (the
  // line is gone). A cancel ends the drain with what it had.
  std::size_t Drain(bool& failed) {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (;;) {
      COMSTAT status{};
      DWORD errors = 0;
      if (!ClearCommError(port_, &errors, &status)) {
        failed = true;
        return total;
      }
      if (status.cbInQue == 0) return total;
      const std::span<std::uint8_t> room = queue_.Room();
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(room.size(), status.cbInQue));
      OVERLAPPED ov = On(rxEvent_);
      DWORD got = 0;
      DWORD error = 0;
      const IoEnd end = Finish(Began(ReadFile(port_, room.data(), want, nullptr, &ov)), ov, got, error);
      queue_.Added(room, got);
      total += got;
      if (end == IoEnd::Failed) failed = true;
      // A read that brings nothing although the driver counted bytes ends the drain
      // instead of asking again and again.
      if (end != IoEnd::Done || got == 0) return total;
    }
  }

  HANDLE port_ = INVALID_HANDLE_VALUE;
  HANDLE guard_ = nullptr;    // see TakePortGuard
  HANDLE cancel_ = nullptr;   // manual reset: once set, every wait sees it until Close()
  HANDLE rxEvent_ = nullptr;  // the receiving thread's operations
  HANDLE txEvent_ = nullptr;  // the writing thread's operations
  OpenError openError_ = OpenError::None;
  std::mutex mutex_;     // the input queue, and the handles against Close()
  InputQueue queue_;
};

}  // namespace

std::unique_ptr<SerialPort> MakeSystemPort() { return std::make_unique<Win32SerialPort>(); }

// "COMn" becomes \\.\COMn, the form that reaches COM10 and above as well (the bare
// name works only up to COM9); a name already starting with \\.\ and anything else
// (\\?\ paths, names of other device drivers) are used as typed.
std::string PortDevicePath(std::string_view name) {
  if (name.empty()) return {};
  if (name.starts_with("\\\\.\\")) return std::string(name);
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  if (name.size() > 3 && upper(name[0]) == 'C' && upper(name[1]) == 'O' && upper(name[2]) == 'M' && name.size() <= 12) {
    long n = 0;
    bool digits = true;
    for (char c : name.substr(3)) {
      if (c < '0' || c > '9') digits = false;
      else n = n * 10 + (c - '0');
    }
    if (digits && n >= 1) return "\\\\.\\COM" + std::to_string(n);
  }
  return std::string(name);
}

}  // namespace tagris
