// tagris-unit-sim: the simulated unit on a pseudo-terminal, for trying the tool without hardware.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "command_line.h"
#include "simulator.h"

int main(int argc, char* argv[]) {
  using namespace tagris::unitsim;
  CommandLine cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (cl.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  if (!cl.error.empty()) {
    std::fprintf(stderr, "tagris-unit-sim: %s\n\n%s", cl.error.c_str(), Usage().c_str());
    return 2;
  }
  cl.options.onEvent = [](const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  };

  // Blocked before the worker starts, so only sigwait below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Simulator sim(cl.options);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tagris-unit-sim: cannot open the line: %s\n", e.what());
    return 1;
  }
  std::printf("Unit simulator on %s (%s), address %d\n", sim.LinkPath().c_str(), sim.SlavePath().c_str(),
              static_cast<int>(sim.Address()));
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  sim.Stop();
  const SimulatorStats s = sim.Stats();
  std::fprintf(stderr, "Unit simulator stopped: %llu requests, %llu replies, %llu writes, %llu ignored\n",
               static_cast<unsigned long long>(s.requestsSeen), static_cast<unsigned long long>(s.repliesSent),
               static_cast<unsigned long long>(s.writesApplied), static_cast<unsigned long long>(s.framesIgnored));
  return 0;
}
