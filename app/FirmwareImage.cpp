#include "app/FirmwareImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool IsWritableDirectory(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

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

TTempImageFile::~TTempImageFile() {
  if (privateFolder_.empty()) return;
  unlink(path_.c_str());
  rmdir(privateFolder_.c_str());
}

const std::string& TTempImageFile::Path() {
  if (path_.empty()) {
    if (IsWritableDirectory(exeDirectory_)) {
      path_ = exeDirectory_ + "/" + kTempImageName;
    } else {
      privateFolder_ = MakePrivateFolder("vexilora-update");
      path_ = privateFolder_ + "/" + kTempImageName;
    }
  }
  return path_;
}

void TTempImageFile::Write(std::span<const uint8_t> data) {
  const std::string& path = Path();
  // O_NOFOLLOW: a symbolic link planted at the path is refused, not written through.
  // O_NONBLOCK: a FIFO planted there fails at once instead of waiting for a reader.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    const int error = errno;
    throw comm::Exception("Cannot create file \"" + path + "\". " + SystemMessage(error));
  }
  auto fail = [&](int error) {
    close(fd);
    throw comm::Exception("Cannot write file \"" + path + "\". " + SystemMessage(error));
  };
  struct stat st {};
  if (fstat(fd, &st) != 0) fail(errno);
  if (!S_ISREG(st.st_mode)) fail(EINVAL);
  // Truncated only once it is known to be a regular file of its own.
  if (ftruncate(fd, 0) != 0) fail(errno);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    const int error = errno;
    throw comm::Exception("Cannot write file \"" + path + "\". " + SystemMessage(error));
  }
}

void TTempImageFile::Delete() {
  if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace app
