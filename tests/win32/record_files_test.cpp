// The log and sample files' disk side on Windows: the same promises as on POSIX (a log
// in use is never taken or emptied, only regular files are replaced, a sample rewrite
// never leaves a half-written file), kept with Windows' own means.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/windows_api.h"
#include "files.h"
#include "record/log_file.h"
#include "record/sample_file.h"

namespace tagris {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

// A fresh folder of its own, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("tagris-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// What another program does with a file: open it for writing (without letting others write).
HANDLE OpenForWriting(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string CreateFailure(const std::string& path) {
  try {
    CloseLogFd(CreateLogFile(path));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(created)";
}

TEST(LogFile, CreatedNewEmptyHeldAndWrittenUnbuffered) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  const int fd = CreateLogFile(path);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(ReadFileBytes(path), "");

  // Nobody else may write to it while we hold it; reading it is fine.
  const HANDLE writer = OpenForWriting(path);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);

  // Each line is in the file as soon as the write returns, before any close.
  WriteLogBytes(fd, LogHeader(), path);
  EXPECT_EQ(ReadFileBytes(path), LogHeader());
  WriteLogBytes(fd, "x\r\n", path);
  EXPECT_EQ(ReadFileBytes(path), LogHeader() + "x\r\n");
  CloseLogFd(fd);

  const HANDLE after = OpenForWriting(path);
  EXPECT_NE(after, INVALID_HANDLE_VALUE) << "still held after CloseLogFd";
  if (after != INVALID_HANDLE_VALUE) CloseHandle(after);
}

// A name taken by a log in use, by another program's open file or by something that is
// not a file on disk changes nothing there, and the reason names the path.
TEST(LogFile, RefusesToReplaceAFileInUseOrAnythingButARegularFile) {
  TempDir dir;
  std::vector<int> logs;
  std::vector<HANDLE> handles;
  const struct Case {
    const char* name;
    std::function<std::string()> make;  // returns the path to choose
    const char* reason;
    const char* kept;  // content that must survive, or nullptr
  } cases[] = {
      {"held by another copy",
       [&] {
         const std::string p = dir / "held.txt";
         logs.push_back(CreateLogFile(p));
         WriteLogBytes(logs.back(), "earlier lines\r\n", p);
         return p;
       },
       "it is in use by another program", "earlier lines\r\n"},
      {"open for writing elsewhere",
       [&] {
         const std::string p = dir / "written.txt";
         WriteFileBytes(p, "theirs");
         handles.push_back(OpenForWriting(p));
         return p;
       },
       "it is in use by another program", "theirs"},
      {"folder",
       [&] {
         const std::string p = dir / "folder.txt";
         fs::create_directory(p);
         return p;
       },
       "it is a folder", nullptr},
      // NUL in any folder is the null device.
      {"device name", [&] { return dir / "NUL"; }, "it is a device", nullptr},
  };
  for (const Case& c : cases) {
    const std::string path = c.make();
    ASSERT_TRUE(PathExists(path)) << c.name;  // so the window asks before it comes here
    const std::string msg = CreateFailure(path);
    EXPECT_EQ(msg.rfind("Cannot replace the file " + path + ": ", 0), 0u) << c.name << ": " << msg;
    EXPECT_NE(msg.find(c.reason), std::string::npos) << c.name << ": " << msg;
    if (c.kept) {
      EXPECT_EQ(ReadFileBytes(path), c.kept) << c.name;
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder.txt"));
  for (int fd : logs) CloseLogFd(fd);
  for (HANDLE h : handles) CloseHandle(h);
}

TEST(LogFile, ReplacesARegularFileInPlaceAndTheFreedNameCanBeTakenAgain) {
  TempDir dir;
  const std::string path = dir / "log.txt";
  WriteFileBytes(path, std::string(5000, 'x'));  // longer than what replaces it
  int fd = CreateLogFile(path);
  WriteLogBytes(fd, LogHeader(), path);
  WriteLogBytes(fd, "line\r\n", path);
  EXPECT_EQ(ReadFileBytes(path), LogHeader() + "line\r\n");
  CloseLogFd(fd);

  // The next run of the program takes the same name again.
  fd = CreateLogFile(path);
  WriteLogBytes(fd, "again\r\n", path);
  EXPECT_EQ(ReadFileBytes(path), "again\r\n");
  CloseLogFd(fd);
}

TEST(LogFile, CreationFailuresNameThePathAndTheReason) {
  TempDir dir;
  WriteFileBytes(dir / "plain.txt", "a file, not a folder");
  for (const std::string& path : {dir / "missing\\log.txt", dir / "plain.txt\\log.txt", dir / "a<b.txt"}) {
    const std::string msg = CreateFailure(path);
    EXPECT_EQ(msg.rfind("Cannot create the file " + path + ": ", 0), 0u) << msg;
    EXPECT_GT(msg.size(), std::string("Cannot create the file " + path + ": ").size()) << "no reason: " << msg;
  }
  EXPECT_EQ(ReadFileBytes(dir / "plain.txt"), "a file, not a folder");
  EXPECT_FALSE(PathExists(dir / "missing"));
}

TEST(SampleFile, FirstSampleCreatesTheFileThenLinesAreAppendedWithoutLeftovers) {
  TempDir dir;
  const std::string path = dir / kSampleFileName;
  EXPECT_FALSE(ReadFileIfPresent(path).has_value());
  EXPECT_EQ(AppendSampleLine(path, "a;"), "a;\r\n");
  EXPECT_EQ(AppendSampleLine(path, "b;"), "a;\r\nb;\r\n");
  EXPECT_EQ(ReadFileBytes(path), "a;\r\nb;\r\n");

  WriteFileBytes(path, "x;\ny;");  // written by another tool
  AppendSampleLine(path, "c;");
  EXPECT_EQ(ReadFileBytes(path), "x;\r\ny;\r\nc;");
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// Every failure names the path, leaves the old file as it was and no temporary file.
TEST(SampleFile, AFailedRewriteLeavesTheOldFileIntact) {
  TempDir dir;
  const std::string path = dir / kSampleFileName;
  const std::string old = "08.12.2026 14:05:09;23.5;.0;1985.3;.5;\r\n";
  WriteFileBytes(path, old);
  fs::create_directory(dir / "folder");
  const HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  const std::string places[] = {path, dir / "missing\\Tagris.txt", dir / "folder"};
  for (const std::string& p : places) {
    try {
      WriteFileSafely(p, "new;\r\n");
      ADD_FAILURE() << "no error for " << p;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(p + ": "), std::string::npos) << e.what();
    }
  }
  CloseHandle(holder);
  EXPECT_EQ(ReadFileBytes(path), old);
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);

  // Once the other program lets go, the rewrite goes through.
  WriteFileSafely(path, "new;\r\n");
  EXPECT_EQ(ReadFileBytes(path), "new;\r\n");
}

}  // namespace
}  // namespace tagris
