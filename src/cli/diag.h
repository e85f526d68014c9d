#pragma once
// tagris-cli diag: polls as the window does and says what is wrong with the line.
// Also the one way both diag and scan send a request and listen to what comes back.
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "connection/connection.h"
#include "diag/line_diagnosis.h"
#include "options.h"

namespace tagris::cli {

// Polls of a diag without --count.
inline constexpr int kDiagDefaultCount = 20;

// How long to listen after a request.
struct ListenPolicy {
  std::chrono::microseconds wait{0};   // an answer may take this long
  std::chrono::microseconds tail{0};   // without a whole frame by then, listen this much longer for a late one
  std::chrono::microseconds quiet{0};  // after a whole frame, stop once the line was quiet this long
  bool purge = true;                   // drop what came before the request (diag keeps it: a late answer)
};

struct Heard {
  ExchangeRecord record;
  ExchangeDiagnosis diagnosis;
  std::vector<std::uint8_t> bytes;  // every read joined, as answerAt counts
  bool portLost = false;
};

// Sends request on the open link and listens as the policy says; every read goes
// into the record with its time since the request was handed to the link.
Heard SendAndListen(SerialLink& link, const Request& request, const ListenPolicy& policy);

// The time one character takes on the line: start bit, 8 data bits, parity, stop bits.
std::chrono::microseconds CharacterTime(const PortSettings& line);

// "9600 baud, parity none, 1 stop bit"
std::string LineText(const PortSettings& line);
// "9600 8N1"
std::string LineShort(const PortSettings& line);

// The figures of a diagnosis, as printed.
std::string DiagText(const DiagnosisTally& tally, const LineVerdict& verdict);
std::string DiagJson(const DiagnosisTally& tally, const LineVerdict& verdict);

std::string DiagHelpText();

int RunDiag(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err);

}  // namespace tagris::cli
