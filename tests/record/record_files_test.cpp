// The log file and the sample file: exact bytes, the extension rule, and what a
// failing disk does to them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "record/log_file.h"
#include "record/sample_file.h"
#include "files.h"
#include "trace_fixture.h"

namespace fs = std::filesystem;
using namespace tagris;

namespace {

using tagris::test::ReadFileBytes;
using tagris::test::WriteFileBytes;

// A fresh folder per test, removed afterwards; ctest may run tests in parallel.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tagris-record-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What sits at path, as far as replacing it could change it: kind, inode, size, change
// time, and the content of a file or folder; a link also shows what it points at.
std::string Snapshot(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "nothing";
  std::ostringstream s;
  s << std::oct << st.st_mode << std::dec << " inode " << st.st_ino << " size " << st.st_size
    << " changed " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
  if (S_ISREG(st.st_mode)) s << " [" << ReadFileBytes(path) << "]";
  if (S_ISDIR(st.st_mode))
    for (const auto& entry : fs::directory_iterator(path)) s << " " << entry.path().filename();
  if (S_ISLNK(st.st_mode)) {
    s << " -> " << fs::read_symlink(path);
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) s << ": " << Snapshot(fs::canonical(path).string());
  }
  return s.str();
}

// A file another copy of the program is logging to: open and locked, as CreateLogFile leaves it.
int HoldFile(const std::string& path, const std::string& lines) {
  WriteFileBytes(path, lines);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << path;
  return fd;
}

// A listening socket bound at path; the descriptor is returned for closing.
int BindSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
  return fd;
}

using test::MeasurementReply;
using test::ReceiveTrace;

}  // namespace

TEST(LogFormat, HeaderIsTheSixtyBytesOfTheColumnNames) {
  const std::string expected =
      "\xC2\xF0\xE5\xEC\xFF\t"                   // Время
      "\xD2\xEE\xEA\t"                           // Ток
      "\xD2\xEE\xEA(\xF3\xF1\xF0.)\t"            // Ток(уср.)
      "\xD0\xE5\xE3.\xEE\xF8.\t"                 // Рег.ош.
      "\xD2\xE5\xEC\xEF.\xC2\xED\xE5\xF8.\t"     // Темп.Внеш.
      "\xD2\xE5\xEC\xEF" "DSP\t"                 // ТемпDSP
      "\xD2\xE5\xEC\xEF.\xD2\xC7\xC2" "808\r\n";  // Темп.ТЗВ808
  EXPECT_EQ(expected.size(), 60u);
  EXPECT_EQ(LogHeader(), expected);
}

TEST(LogFormat, DataLineOfAKnownReply) {
  const std::string trace = ReceiveTrace(MeasurementReply(1234));
  ASSERT_EQ(trace.size(), 572u);
  const std::string line = LogDataLine(1.0, 12.34, trace, 23.5f, 0.0f);
  EXPECT_EQ(line, "000001.0\t012.3400\t012.3400\t" + trace + "\t23.5\t00.0\r\n");
  // Six fields under a header of seven names, and no tab before the line break.
  EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 5);
  EXPECT_EQ(line.find("\t\r\n"), std::string::npos);
}

TEST(LogFormat, FieldMasks) {
  struct Case {
    double plotTime, moisture, temperature;
    const char* expected;
  } cases[] = {
      {1, 0.05, 5.0f, "000001.0\t000.0500\t000.0500\t-->\t05.0\t00.0\r\n"},
      {10001, 655.35, 23.4f, "010001.0\t655.3500\t655.3500\t-->\t23.4\t00.0\r\n"},
      {1234567, 0, 123.4f, "1234567.0\t000.0000\t000.0000\t-->\t123.4\t00.0\r\n"},
      {42, 99.99999, 0.04f, "000042.0\t100.0000\t100.0000\t-->\t00.0\t00.0\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LogDataLine(c.plotTime, c.moisture, "-->", c.temperature, 0), c.expected)
        << c.plotTime;
}

TEST(LogFormat, ExtensionRule) {
  struct Case {
    const char* chosen;
    const char* used;
  } cases[] = {
      {"/home/op/report", "/home/op/report.txt"},
      {"/home/op.d/report", "/home/op.d/report.txt"},  // the dot is in the folder only
      {"/home/op/report.", "/home/op/report."},
      {"/home/op/report.log", "/home/op/report.log"},
      {"/home/op/report.txt", "/home/op/report.txt"},
      {"/home/op/.hidden", "/home/op/.hidden"},
      {"report", "report.txt"},
  };
  for (const Case& c : cases) EXPECT_EQ(WithLogExtension(c.chosen), c.used) << c.chosen;
}

TEST(LogFile, CreatedNewEmptyLockedAndWrittenUnbuffered) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  const int fd = CreateLogFile(path);
  ASSERT_GT(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());

  // Another opener that asks for the lock is refused while we hold the file.
  const int other = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);

  // Each line is in the file as soon as the write returns, before any close.
  WriteLogBytes(fd, LogHeader(), path);
  EXPECT_EQ(ReadFileBytes(path), LogHeader());
  WriteLogBytes(fd, "x\r\n", path);
  EXPECT_EQ(ReadFileBytes(path), LogHeader() + "x\r\n");
  CloseLogFd(fd);
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
}

// Choosing a name that is taken by a log in use or by something that is not a regular
// file changes nothing at all there, and the reason names the path.
TEST(LogFile, RefusesToReplaceAFileInUseOrAnythingButARegularFile) {
  TempDir dir;
  std::vector<int> open;  // holders and sockets, closed at the end
  const struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* reason;
  } cases[] = {
      {"held by another copy",
       [&](const std::string& p) { open.push_back(HoldFile(p, "earlier lines\r\n")); },
       "it is in use by another program"},
      {"link to a held file",
       [&](const std::string& p) {
         open.push_back(HoldFile(dir / "held-target.txt", "earlier lines\r\n"));
         ::symlink("held-target.txt", p.c_str());
       },
       "it is in use by another program"},
      {"folder",
       [](const std::string& p) {
         fs::create_directory(p);
         WriteFileBytes(p + "/inside.txt", "kept");
       },
       "it is a folder"},
      {"named pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "it is a named pipe"},
      {"socket", [&](const std::string& p) { open.push_back(BindSocket(p)); }, "it is a socket"},
      {"link to a device", [](const std::string& p) { ::symlink("/dev/null", p.c_str()); },
       "it is a device"},
      {"link to a folder",
       [&](const std::string& p) {
         fs::create_directory(dir / "folder");
         ::symlink("folder", p.c_str());
       },
       "it is a folder"},
      {"dangling link", [](const std::string& p) { ::symlink("missing.txt", p.c_str()); },
       "it is a link to a file that does not exist"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir / ("log" + std::to_string(++n) + ".txt");
    c.make(path);
    ASSERT_TRUE(PathExists(path)) << c.name;  // so the window asks before it comes here
    const std::string before = Snapshot(path);
    try {
      const int fd = CreateLogFile(path);
      CloseLogFd(fd);
      ADD_FAILURE() << c.name << ": replaced";
    } catch (const std::runtime_error& e) {
      const std::string msg = e.what();
      EXPECT_EQ(msg.rfind("Cannot replace the file " + path + ": ", 0), 0u) << msg;
      EXPECT_NE(msg.find(c.reason), std::string::npos) << c.name << ": " << msg;
    }
    EXPECT_EQ(Snapshot(path), before) << c.name;
  }
  for (int fd : open) ::close(fd);
}

// A regular file, or one reached through a link, is emptied in place and held; the link stays.
TEST(LogFile, ReplacesARegularFileInPlaceWithTheHeaderAndNewLines) {
  TempDir dir;
  const std::string earlier(5000, 'x');  // longer than what replaces it
  const mode_t mask = [] { mode_t m = ::umask(0); ::umask(m); return m; }();
  const struct Case {
    const char* name;
    std::function<void(const std::string& folder)> make;
    const char* file;  // the file that gets the lines: the chosen one, or the link's target
    mode_t mode;
  } cases[] = {
      {"no file yet", [](const std::string&) {}, "log.txt", 0644 & ~mask},
      {"plain file",
       [&](const std::string& f) {
         WriteFileBytes(f + "/log.txt", earlier);
         ::chmod((f + "/log.txt").c_str(), 0600);
       },
       "log.txt", 0600},
      {"link to a plain file",
       [&](const std::string& f) {
         WriteFileBytes(f + "/real.txt", earlier);
         ::chmod((f + "/real.txt").c_str(), 0640);
         ::symlink("real.txt", (f + "/log.txt").c_str());
       },
       "real.txt", 0640},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string folder = dir / std::to_string(++n);
    fs::create_directory(folder);
    const std::string path = folder + "/log.txt";
    c.make(folder);
    struct stat was {};
    ::lstat(path.c_str(), &was);
    const int fd = CreateLogFile(path);
    ASSERT_GT(fd, 0) << c.name;
    WriteLogBytes(fd, LogHeader(), path);
    WriteLogBytes(fd, "line\r\n", path);
    EXPECT_EQ(ReadFileBytes(folder + "/" + c.file), LogHeader() + "line\r\n") << c.name;

    struct stat now {};
    ASSERT_EQ(::lstat(path.c_str(), &now), 0) << c.name;
    if (was.st_ino != 0) {
      EXPECT_EQ(now.st_ino, was.st_ino) << c.name;  // the same file or link
    }
    ASSERT_EQ(::fstat(fd, &now), 0);
    EXPECT_EQ(now.st_mode & 0777, c.mode) << c.name;
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << c.name << ": not held";
    ::close(other);
    CloseLogFd(fd);
  }
}

// Two copies of the program, one file: the second is refused while the first logs, the
// first keeps every line, and once it lets go the file can be taken again.
TEST(LogFile, ASecondProcessCannotTakeALogInUse) {
  TempDir dir;
  const std::string path = dir / "report.txt";
  const int fd = CreateLogFile(path);
  WriteLogBytes(fd, LogHeader(), path);
  WriteLogBytes(fd, "first\r\n", path);

  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string said = "replaced";
    try {
      CreateLogFile(path);
    } catch (const std::runtime_error& e) {
      said = e.what();
    }
    (void)!::write(pipeFds[1], said.data(), said.size());
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(said, "Cannot replace the file " + path + ": it is in use by another program");

  WriteLogBytes(fd, "second\r\n", path);
  CloseLogFd(fd);
  EXPECT_EQ(ReadFileBytes(path), LogHeader() + "first\r\nsecond\r\n");

  const int again = CreateLogFile(path);
  EXPECT_EQ(ReadFileBytes(path), "");
  CloseLogFd(again);
}

// Descriptor 0 means "no log file" to the window, whichever way the file is opened.
TEST(LogFile, NeverOnDescriptorZero) {
  TempDir dir;
  const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  ::close(0);
  for (const char* when : {"new", "existing"}) {
    const int fd = CreateLogFile(dir / "log.txt");
    EXPECT_GT(fd, 0) << when;
    EXPECT_EQ(::fcntl(0, F_GETFD), -1) << when;
    CloseLogFd(fd);
  }
  if (savedStdin >= 0) {
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
  }
}

TEST(LogFile, CreationFailuresNameThePathAndTheReason) {
  TempDir dir;
  struct Case {
    std::string path, reason;
  } cases[] = {
      {dir / "missing-folder/log.txt", "No such file or directory"},
      {"/proc/tagris-log.txt", ""},  // refused whoever asks, root included
  };
  for (const Case& c : cases) {
    try {
      CreateLogFile(c.path);
      ADD_FAILURE() << "created " << c.path;
    } catch (const std::runtime_error& e) {
      const std::string msg = e.what();
      EXPECT_NE(msg.find(c.path), std::string::npos) << msg;
      EXPECT_NE(msg.find(c.reason), std::string::npos) << msg;
    }
  }
}

TEST(LogFile, WriteToAFullDeviceThrows) {
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  try {
    WriteLogBytes(fd, "line\r\n", "/dev/full");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos);
  }
  ::close(fd);
}

TEST(SampleFormat, CellTexts) {
  EXPECT_EQ(SampleTimeText(2026, 12, 8, 14, 5, 9, 321), "08.12.2026 14:05:09");
  EXPECT_EQ(SampleTimeText(2026, 1, 2, 0, 0, 0, 0), "02.01.2026");
  EXPECT_EQ(SampleTimeText(2026, 1, 2, 0, 0, 0, 1), "02.01.2026 00:00:00");
  EXPECT_EQ(SampleTimeText(2026, 1, 2, 0, 0, 1, 0), "02.01.2026 00:00:01");

  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {23.46, "23.5"}, {1985.3, "1985.3"}, {0.5, ".5"}, {0, ".0"}, {1234567.0, "1234567.0"},
      {23.46f, "23.5"}, {0.25f, ".3"},  {-4.5, "-4.5"},
  };
  for (const Case& c : cases) EXPECT_EQ(SampleValueText(c.value), c.text) << c.value;

  EXPECT_EQ(SampleLine({"08.12.2026 14:05:09", "23.5", ".0", "1985.3", ".5"}),
            "08.12.2026 14:05:09;23.5;.0;1985.3;.5;");
}

TEST(SampleFormat, AppendingNormalisesAndKeepsTheLastLineBreakState) {
  struct Case {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"empty", "", "L;\r\n"},
      {"ends with CR LF", "a;\r\n", "a;\r\nL;\r\n"},
      {"no final break", "a;\r\nb;", "a;\r\nb;\r\nL;"},
      {"LF only", "a;\nb;\n", "a;\r\nb;\r\nL;\r\n"},
      {"lone CR", "a;\rb;\r", "a;\r\nb;\r\nL;\r\n"},
      {"LF CR", "a;\n\rb;", "a;\r\n\r\nb;\r\nL;"},
      {"blank lines kept", "\r\n\n", "\r\n\r\nL;\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(AppendLineText(c.before, "L;"), c.after) << c.name;
}

TEST(SampleFile, FirstSampleCreatesTheFileWithoutHeaderThenLinesAreAppended) {
  TempDir dir;
  const std::string path = dir.path() + "//" + kSampleFileName;
  EXPECT_EQ(AppendSampleLine(path, "a;"), "a;\r\n");
  EXPECT_EQ(ReadFileBytes(path), "a;\r\n");
  EXPECT_EQ(AppendSampleLine(path, "b;"), "a;\r\nb;\r\n");
  EXPECT_EQ(ReadFileBytes(dir / kSampleFileName), "a;\r\nb;\r\n");

  WriteFileBytes(path, "x;\ny;");  // written by another tool
  AppendSampleLine(path, "c;");
  EXPECT_EQ(ReadFileBytes(path), "x;\r\ny;\r\nc;");
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(SampleFile, KeepsThePermissionsOfTheFileItReplaces) {
  TempDir dir;
  const std::string path = dir / kSampleFileName;
  WriteFileBytes(path, "a;\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
  AppendSampleLine(path, "b;");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST(SampleFile, UnreadableOrUnwritablePlacesThrowWithThePath) {
  TempDir dir;
  WriteFileBytes(dir / "plain", "a file, not a folder");
  fs::create_directory(dir / "Tagris.txt");  // a folder where the file should be
  const std::string cases[] = {
      dir / "missing/Tagris.txt",
      dir / "plain/Tagris.txt",
      dir / "Tagris.txt",
  };
  for (const std::string& path : cases) {
    try {
      AppendSampleLine(path, "a;");
      ADD_FAILURE() << "no error for " << path;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "Tagris.txt"));
  EXPECT_EQ(ReadFileBytes(dir / "plain"), "a file, not a folder");
}

// The disk fills up halfway through the rewrite: the old lines must all survive.
TEST(SampleFile, AFailedRewriteLeavesTheOldFileIntact) {
  TempDir dir;
  const std::string path = dir / kSampleFileName;
  std::string old;
  for (int i = 0; i < 20; ++i) old += "08.12.2026 14:05:09;23.5;.0;1985.3;.5;\r\n";
  WriteFileBytes(path, old);

  // A file size limit makes write() fail with EFBIG after a few bytes, like a full disk.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    AppendSampleLine(path, "new;");
  } catch (const std::runtime_error& e) {
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldSignal);

  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("File too large"), std::string::npos) << message;
  EXPECT_EQ(ReadFileBytes(path), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}
