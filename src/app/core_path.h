#pragma once
// A file name from Qt as the core takes it: the file system's bytes on POSIX, UTF-8
// on Windows, where the core widens names for the system's W calls (Qt's local 8-bit
// encoding there is the ANSI code page, which cannot hold every name).
#include <QFile>
#include <QString>

#include <string>

namespace tagris {

inline std::string CorePath(const QString& path) {
#ifdef Q_OS_WIN
  return path.toStdString();
#else
  return QFile::encodeName(path).toStdString();
#endif
}

}  // namespace tagris
