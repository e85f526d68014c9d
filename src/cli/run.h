#pragma once
// The commands of tagris-cli on one Connection; each returns its exit status.
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "options.h"

namespace tagris::cli {

// Why a reply was not taken, in words: "the reply's CRC does not match",
// "exception 2 (illegal data address)".
std::string ReasonText(const ReplyCheck& check);

int RunRead(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err);

// sleep waits for the given time and returns false when watch is to stop.
using Sleeper = std::function<bool(std::chrono::steady_clock::duration)>;
int RunWatch(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err,
             const Sleeper& sleep);

int RunWrite(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err);

// The whole program: args without the program name.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tagris::cli
