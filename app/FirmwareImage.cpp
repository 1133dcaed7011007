#include "app/FirmwareImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "comm/Exceptions.h"

namespace app {

std::optional<std::span<const uint8_t>> FindResource(std::string_view name) {
  for (const TResourceEntry& entry : EmbeddedResources()) {
    if (name == entry.Name) return std::span<const uint8_t>(entry.Data, entry.Size);
  }
  return std::nullopt;
}

std::string GetUpdateVersion(std::span<const uint8_t> image) {
  constexpr std::string_view kTag = "VERSW=";
  const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\0', pos);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view str = all.substr(pos, end - pos);
    if (str.find(kTag) != std::string_view::npos) {
      // The tag is taken to begin the string: its first six characters are skipped whatever
      // they are, and the last one (the line feed) is dropped.
      std::string_view version = str.substr(kTag.size());
      if (!version.empty()) version.remove_suffix(1);
      return std::string(version);
    }
    pos = end + 1;
  }
  return {};
}

std::string GetUpdateVersion() {
  const std::optional<std::span<const uint8_t>> image = FindResource(kFirmwareResourceName);
  return image ? GetUpdateVersion(*image) : std::string();
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

std::string SystemMessage(int error) { return std::strerror(error); }

}  // namespace

bool IsOwnPrivateWritableFolder(const std::string& dir) {
  struct stat st {};
  if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // Someone else's folder, or one another user may write to, lets that user plant the file or
  // swap it under the transfer.
  if (st.st_uid != geteuid()) return false;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string MakePrivateFolder(const std::string& prefix) {
  std::vector<std::string> bases;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime)
    bases.emplace_back(runtime);
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp) bases.emplace_back(tmp);
  bases.emplace_back("/tmp");
  int lastError = 0;
  for (const std::string& base : bases) {
    std::string pattern = base + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    // mkdtemp makes the folder with mode 0700: nobody else can plant or read files in it.
    if (mkdtemp(buffer.data()) != nullptr) return std::string(buffer.data());
    lastError = errno;
  }
  throw comm::Exception("Cannot create a folder for the temporary file: " +
                        SystemMessage(lastError));
}

TTempImageFile::TTempImageFile(std::string exeDirectory) : exeDirectory_(std::move(exeDirectory)) {}

TTempImageFile::~TTempImageFile() { Remove(); }

const std::string& TTempImageFile::Path() {
  if (path_.empty()) {
    if (IsOwnPrivateWritableFolder(exeDirectory_)) {
      path_ = exeDirectory_ + "/" + kTempImageName;
    } else {
      privateFolder_ = MakePrivateFolder("vexilora-update");
      path_ = privateFolder_ + "/" + kTempImageName;
    }
  }
  return path_;
}

void TTempImageFile::Write(std::span<const uint8_t> data) {
  lastError_ = 0;
  const std::string& path = [this]() -> const std::string& {
    try {
      return Path();
    } catch (...) {
      lastError_ = errno != 0 ? errno : EIO;
      throw;
    }
  }();
  auto failure = [&](const char* what, int error) {
    lastError_ = error;
    return comm::Exception(std::string(what) + " \"" + path + "\". " + SystemMessage(error));
  };
  // A fresh file every time: whatever stands at the path goes first, so that a file someone
  // else prepared (with their mode, or a hard link to a file of theirs) is never reused.
  if (unlink(path.c_str()) != 0 && errno != ENOENT) throw failure("Cannot remove file", errno);
  // O_EXCL with O_NOFOLLOW: anything that appears at the path meanwhile (a link, a FIFO, a
  // file) makes the creation fail instead of being written through.
  const int fd =
      open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
           0600);
  if (fd < 0) throw failure("Cannot create file", errno);
  auto fail = [&](int error) {
    close(fd);
    unlink(path.c_str());
    throw failure("Cannot write file", error);
  };
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (n == 0) fail(ENOSPC);
    done += static_cast<size_t>(n);
  }
  // A full disk may only show when the data reaches it.
  if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) fail(errno);
  // Read back: the transfer sends what is in the file, so the file must hold the image.
  if (lseek(fd, 0, SEEK_SET) != 0) fail(errno);
  std::vector<uint8_t> back(data.size() + 1);
  size_t got = 0;
  while (got < back.size()) {
    const ssize_t n = read(fd, back.data() + got, back.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != data.size() || !std::equal(data.begin(), data.end(), back.begin())) fail(EIO);
  if (close(fd) != 0) {
    const int error = errno;
    unlink(path.c_str());
    throw failure("Cannot write file", error);
  }
}

void TTempImageFile::Delete() {
  if (!path_.empty()) unlink(path_.c_str());
}

void TTempImageFile::Remove() {
  Delete();
  if (!privateFolder_.empty()) rmdir(privateFolder_.c_str());
  privateFolder_.clear();
  path_.clear();
}

}  // namespace app
