#pragma once
// The unit's end of a pseudo-terminal pair. The master fd is the unit's line;
// the slave device is what the tool opens, reached through a stable symlink.
// The endpoint holds the slave open as well, so the line does not hang up when
// the tool closes its port, only when Close() drops it on purpose.
#include <string>

namespace tagris::unitsim {

// Where the link goes unless told otherwise, one per user so that users of one
// machine do not take each other's line: $XDG_RUNTIME_DIR/tagris-unit when that
// variable names a directory, else /tmp/tagris-unit-USER with USER from $USER,
// else from the password entry of the real user id (else the number).
std::string DefaultLinkPath();
// The same rule for given values of the two variables (null: not set).
std::string DefaultLinkPathFor(const char* runtimeDir, const char* user);

class PtyEndpoint {
 public:
  explicit PtyEndpoint(std::string linkPath);
  ~PtyEndpoint();
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;

  // Creates the pair (both ends raw, master non-blocking) and points the link at
  // the slave. Throws std::system_error; refuses to replace anything at the link
  // path that is not a symlink.
  void Open();
  // Closes both ends and removes the link if it still points at this slave.
  void Close();

  bool IsOpen() const { return master_ >= 0; }
  int MasterFd() const { return master_; }
  const std::string& LinkPath() const { return linkPath_; }
  const std::string& SlavePath() const { return slavePath_; }

 private:
  std::string linkPath_;
  std::string slavePath_;
  int master_ = -1;
  int slave_ = -1;
};

}  // namespace tagris::unitsim
