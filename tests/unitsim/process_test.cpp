// tagris-unit-sim as scripts run it: a process driven by signals, talking on stdout and stderr.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "pty_master.h"

namespace {

using namespace tagris::unitsim::test;

class SimProcess {
 public:
  // `env`: NAME=VALUE to set, or NAME alone to unset, in the child only.
  explicit SimProcess(std::vector<std::string> args, std::vector<std::string> env = {})
      : stderrPath_(UniqueLink() + ".stderr") {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      const int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(err, STDERR_FILENO);
      for (const std::string& e : env) {
        const auto eq = e.find('=');
        if (eq == std::string::npos)
          unsetenv(e.c_str());
        else
          setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
      }
      std::vector<char*> argv{const_cast<char*>(TAGRIS_UNIT_SIM)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(TAGRIS_UNIT_SIM, argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    unlink(stderrPath_.c_str());
  }

  // The next line on stdout, empty when none comes within the limit.
  std::string ReadLine(std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    for (;;) {
      if (const auto nl = pending_.find('\n'); nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return {};
      char buffer[512];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return {};
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  // Everything up to the end of stdout.
  std::string ReadAll(std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buffer[512];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) break;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
    return std::exchange(pending_, {});
  }
  std::string Stderr() const {
    std::ifstream in(stderrPath_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Signal(int s) const { kill(pid_, s); }
  // The exit status, or -1 when the process is still running after `limit`.
  int Wait(std::chrono::milliseconds limit = 5000ms) {
    WaitFor([&] {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
      return status_.has_value();
    }, limit);
    return status_ && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
  }

 private:
  std::string stderrPath_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::optional<int> status_;
};

TEST(SimulatorProcess, Sigusr1UnplugsSigusr2PrintsCountersSigtermStops) {
  const std::string link = UniqueLink();
  SimProcess sim({"--link", link, "--unplug-ms", "300", "--no-drift", "-v"});
  ASSERT_EQ(sim.ReadLine().rfind("Unit simulator on " + link + " (/dev/pts/", 0), 0u);
  EXPECT_EQ(sim.ReadLine(), "Line 9600 baud, parity none, 1 stop bit");
  {
    Master master(link);
    ASSERT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
    sim.Signal(SIGUSR1);
    pollfd p{master.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_FALSE(PathExists(link));
  }
  ASSERT_TRUE(WaitFor([&] { return PathExists(link); }, 5000ms));
  Master again(link);
  EXPECT_TRUE(IsGoodPollReply(again.Exchange(kPoll).bytes));

  sim.Signal(SIGUSR2);
  EXPECT_TRUE(WaitFor([&] { return sim.Stderr().find("unplugs: 1") != std::string::npos; }, 5000ms)) << sim.Stderr();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(PathExists(link));
  const std::string err = sim.Stderr();
  EXPECT_NE(err.find("Line unplugged for 300 ms"), std::string::npos) << err;
  EXPECT_NE(err.find("Unit simulator stopped: 2 requests, 2 replies"), std::string::npos) << err;
}

TEST(SimulatorProcess, VerboseCountsEachFaultAtTheEnd) {
  const std::string link = UniqueLink();
  SimProcess sim({"--link", link, "--fault", "garbage", "-v"});
  ASSERT_FALSE(sim.ReadLine().empty());
  Master master(link);
  EXPECT_FALSE(master.Exchange(kPoll).bytes.empty());
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Wait(), 0);
  const std::string err = sim.Stderr();
  EXPECT_NE(err.find("fault garbage: 1"), std::string::npos) << err;
  EXPECT_NE(err.find("[garbage]"), std::string::npos) << "the trace marks the reply";
}

// The link goes where the scripts look for it, one per user.
TEST(SimulatorProcess, DefaultLinkInTheRuntimeDirectory) {
  char dir[] = "/tmp/tagris-unitsim-runtime-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/tagris-unit";
  {
    SimProcess help({"--help"}, {std::string("XDG_RUNTIME_DIR=") + dir});
    const std::string text = help.ReadAll();
    EXPECT_NE(text.find("here " + link + ")"), std::string::npos) << text;
    EXPECT_EQ(help.Wait(), 0);
  }
  {
    SimProcess sim({"--bogus"});
    EXPECT_EQ(sim.Wait(), 2);
    EXPECT_NE(sim.Stderr().find("unknown option"), std::string::npos);
  }
  SimProcess sim({"--address", "9"}, {std::string("XDG_RUNTIME_DIR=") + dir});
  EXPECT_EQ(sim.ReadLine().rfind("Unit simulator on " + link, 0), 0u);
  EXPECT_TRUE(PathExists(link));
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(PathExists(link));
  rmdir(dir);
}

}  // namespace
