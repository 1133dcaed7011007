#include "app/flash/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace flash {

namespace {

// Closes what it holds on every way out.
struct TFd {
  int Fd = -1;
  ~TFd() {
    if (Fd >= 0) close(Fd);
  }
};

std::string Quoted(const std::string& what, const std::string& path) {
  return what + " '" + path + "'";
}

// What a file that is not a regular one is, for the message.
bool CheckRegular(const struct stat& st, const std::string& named, std::string& error) {
  if (S_ISREG(st.st_mode)) return true;
  error = S_ISDIR(st.st_mode) ? named + " is a folder" : named + " is not a regular file";
  return false;
}

// Reads fd to its end or to limit + 1 bytes, whichever comes first.
bool ReadUpTo(int fd, size_t limit, std::string& out, int& error) {
  char chunk[65536];
  while (out.size() <= limit) {
    const size_t want = std::min(sizeof chunk, limit + 1 - out.size());
    const ssize_t n = read(fd, chunk, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (n == 0) break;
    out.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// Opens a file to read: never waiting for a FIFO's writer, never taking a terminal as the
// controlling one, and only when it is a regular file.
bool OpenToRead(const std::string& path, const std::string& named, TFd& fd, struct stat& st,
                std::string& error) {
  fd.Fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd.Fd < 0) {
    error = "cannot read " + named + ": " + std::strerror(errno);
    return false;
  }
  if (fstat(fd.Fd, &st) != 0) {
    error = "cannot read " + named + ": " + std::strerror(errno);
    return false;
  }
  return CheckRegular(st, named, error);
}

}  // namespace

bool ReadRegularFile(const std::string& path, const std::string& what, size_t maxSize,
                     std::vector<uint8_t>& data, std::string& error) {
  const std::string named = Quoted(what, path);
  TFd fd;
  struct stat st {};
  if (!OpenToRead(path, named, fd, st, error)) return false;
  if (static_cast<uint64_t>(st.st_size) > maxSize) {
    error = named + " is too large (" + std::to_string(st.st_size) + " bytes)";
    return false;
  }
  std::string bytes;
  int readError = 0;
  if (!ReadUpTo(fd.Fd, maxSize, bytes, readError)) {
    error = "cannot read " + named + ": " + std::strerror(readError);
    return false;
  }
  // A file that grows while it is read is still bounded.
  if (bytes.size() > maxSize) {
    error = named + " is too large";
    return false;
  }
  data.assign(bytes.begin(), bytes.end());
  return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error,
                      std::string& warning) {
  const std::string named = Quoted("the password file", path);
  TFd fd;
  struct stat st {};
  if (!OpenToRead(path, named, fd, st, error)) return false;
  std::string bytes;
  int readError = 0;
  if (!ReadUpTo(fd.Fd, kMaxPasswordFileRead, bytes, readError)) {
    error = "cannot read " + named + ": " + std::strerror(readError);
    return false;
  }
  const size_t end = bytes.find('\n');
  if (end == std::string::npos && bytes.size() > kMaxPasswordFileRead) {
    error = "the first line of " + named + " is too long for a password";
    return false;
  }
  password = bytes.substr(0, end);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  // As ssh says of private keys: a secret others can read is no longer one.
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    warning = named + " can be read by others (mode " + mode + "); make it private: chmod 600 '" +
              path + "'";
  }
  return true;
}

int OpenLogFile(const std::string& path, bool& empty, std::string& error) {
  const std::string named = Quoted("the log file", path);
  // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of waiting for one.
  TFd fd;
  fd.Fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd.Fd < 0) {
    const int openError = errno;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !CheckRegular(st, named, error)) return -1;
    error = "cannot open " + named + ": " + std::strerror(openError);
    return -1;
  }
  struct stat st {};
  if (fstat(fd.Fd, &st) != 0) {
    error = "cannot open " + named + ": " + std::strerror(errno);
    return -1;
  }
  if (!CheckRegular(st, named, error)) return -1;
  // Writes to a regular file do not block anyway; the flag goes so that nothing else changes.
  fcntl(fd.Fd, F_SETFL, O_APPEND);
  empty = st.st_size == 0;
  const int result = fd.Fd;
  fd.Fd = -1;
  return result;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace flash
