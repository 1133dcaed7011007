#pragma once
// The firmware image the utility carries inside its executable (resource WBLOCK), the update
// version read from it, and the temporary file "WBlock" through which the transfer sends it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace app {

inline constexpr const char* kFirmwareResourceName = "WBLOCK";
inline constexpr const char* kTempImageName = "WBlock";

// One named block of data linked into the executable.
struct TResourceEntry {
  const char* Name;
  const uint8_t* Data;
  size_t Size;
};

// The executable's resources. Defined by the image library the executable is linked with: the
// one that embeds the firmware, or the one that embeds nothing.
std::span<const TResourceEntry> EmbeddedResources();

// The resource's bytes where they are linked (no copy), or nothing when there is no such
// resource.
std::optional<std::span<const uint8_t>> FindResource(std::string_view name);

// The update version of an image: the first zero-terminated string that contains "VERSW=",
// from its seventh character on, without its last character (the line feed). "" when no
// string contains the tag. Never reads outside the image.
std::string GetUpdateVersion(std::span<const uint8_t> image);
// The same for the embedded WBLOCK; "" when there is none.
std::string GetUpdateVersion();

// The temporary copy of the image handed to the transfer. It lives next to the executable
// when that folder is the user's own (owned by the user, writable by nobody else, and
// writable); otherwise (an installed program's folder, a shared one) it goes into a private
// folder made for the update (0700, under $XDG_RUNTIME_DIR or the temporary folder), so that
// nobody else can plant the file or rewrite it under the transfer.
class TTempImageFile {
 public:
  explicit TTempImageFile(std::string exeDirectory);
  // Removes the file and the private folder.
  ~TTempImageFile();
  TTempImageFile(const TTempImageFile&) = delete;
  TTempImageFile& operator=(const TTempImageFile&) = delete;

  // The full path of the file; the folder is chosen (and a private one made) on first use
  // after construction or Remove. Raises comm::Exception when no folder can be had.
  const std::string& Path();
  // Writes data into a fresh file: whatever stands at the path is removed first (a file, a
  // link, a FIFO someone planted), then the file is created anew (exclusively, never through a
  // link, mode 0600), written, flushed to the disk and read back. Raises comm::Exception with
  // the reason when the file is not there with exactly these bytes.
  void Write(std::span<const uint8_t> data);
  // Deletes the file; the result is ignored.
  void Delete();
  // Deletes the file and the private folder; the next Path chooses the folder again.
  void Remove();
  // The system error number of the last failed Write (0 when it failed otherwise).
  int LastError() const { return lastError_; }
  // The private folder in use, or "" when the executable's folder is used (or none yet).
  const std::string& PrivateFolder() const { return privateFolder_; }

 private:
  std::string exeDirectory_;
  std::string path_;
  std::string privateFolder_;
  int lastError_ = 0;
};

// True when the temporary image may go into dir: a folder owned by this user, writable by
// nobody else, that this user can write.
bool IsOwnPrivateWritableFolder(const std::string& dir);

// The directory part of a path ("." for a bare name), without a trailing slash.
std::string DirectoryOf(const std::string& path);

// A new folder of this run's own (mode 0700, so nobody else can plant or read files in it)
// under $XDG_RUNTIME_DIR, $TMPDIR or /tmp, named <prefix>-XXXXXX. Raises comm::Exception when
// none can be made.
std::string MakePrivateFolder(const std::string& prefix);

}  // namespace app
