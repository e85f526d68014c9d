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
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Simulator sim(cl.options);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tagris-unit-sim: cannot open the line: %s\n", e.what());
    return 1;
  }
  std::printf("Unit simulator on %s (%s), address %d\n", sim.LinkPath().c_str(), sim.SlavePath().c_str(),
              static_cast<int>(sim.Address()));
  std::printf("Line %s%s\n", Describe(cl.options.line).c_str(),
              cl.options.checkLineSettings ? "" : " (any settings answered)");
  std::fflush(stdout);

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) break;
    if (signal == SIGUSR1) {
      sim.Unplug();
    } else if (signal == SIGUSR2) {
      std::fprintf(stderr, "Unit simulator: %s\n", DescribeStats(sim.Stats(), true).c_str());
      std::fflush(stderr);
    } else {
      break;
    }
  }
  sim.Stop();
  std::fprintf(stderr, "Unit simulator stopped: %s\n", DescribeStats(sim.Stats(), cl.options.traceFrames).c_str());
  return 0;
}
