#pragma once
// The serial line behind a small set of operations, so the link threads do not
// care which operating system sits underneath. One backend per platform;
// MakeSystemPort() returns the one this build has.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tagris {

enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2 };

struct PortSettings {
  std::int64_t baud = 9600;  // any positive rate; non-standard rates are passed on as they are
  Parity parity = Parity::None;
  bool twoStopBits = false;
};

// Why Open() failed, so a caller can tell the operator what to do about it.
enum class OpenError {
  None,
  NotFound,      // no such device (adapter not plugged in, wrong name)
  NoPermission,  // the user may not open it (on Linux: not in the dialout group)
  Busy,          // another program (or another connection) holds it
  NotSerial,     // it exists but is not a serial line
  Other,
};

// What ended a wait for incoming characters.
enum class PortEvent {
  Received,   // characters arrived and are now counted in QueuedInput()
  Cancelled,  // Cancel() was called
  LineLost,   // the device hung up or failed (adapter pulled, other end closed)
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens the device for exclusive use, raw 8-bit, no flow control, DTR and RTS off.
  // False when the device is missing, not a serial line or already in use.
  virtual bool Open(const std::string& device) = 0;
  // Why the last Open() failed; None after a successful one.
  virtual OpenError LastOpenError() const { return OpenError::Other; }
  // Line settings; false when the driver refused them (the line keeps what it had).
  virtual bool Configure(const PortSettings& settings) = 0;
  virtual bool IsOpen() const = 0;

  // The input queue: characters received and not yet read.
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  virtual std::size_t QueuedInput() = 0;
  // Takes up to n characters from the front of the input queue; never waits.
  virtual std::size_t Read(std::uint8_t* buffer, std::size_t n) = 0;

  // Writes all n bytes; waits while the line is busy. False on failure or Cancel().
  virtual bool Write(const std::uint8_t* bytes, std::size_t n) = 0;

  // Waits until characters arrive, the port is cancelled or the line is lost.
  virtual PortEvent WaitEvent() = 0;
  // Waits up to ms milliseconds; true when the port was cancelled.
  virtual bool WaitCancelled(int ms) = 0;
  // Wakes every waiter; stays in force until Close(). Safe from any thread.
  virtual void Cancel() = 0;

  virtual void Close() = 0;
};

std::unique_ptr<SerialPort> MakeSystemPort();

// The device behind a port name as the operator types it: "COMn" is the n-th
// serial port (/dev/ttyS(n-1) here), a text with "/" is a path used as typed,
// any other name is looked up under /dev. On Windows "COMn" is \\.\COMn, a name
// starting with \\.\ stays, and any other name is used as typed.
std::string PortDevicePath(std::string_view name);

}  // namespace tagris
