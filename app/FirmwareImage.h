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
// when that folder is writable; an installed program's folder is not, so otherwise it goes
// into a private folder made for this run (0700, under $XDG_RUNTIME_DIR or the temporary
// folder), which is removed with this object.
class TTempImageFile {
 public:
  explicit TTempImageFile(std::string exeDirectory);
  ~TTempImageFile();
  TTempImageFile(const TTempImageFile&) = delete;
  TTempImageFile& operator=(const TTempImageFile&) = delete;

  // The full path of the file; the folder is chosen (and a private one made) on first use.
  // Raises comm::Exception when no folder can be had.
  const std::string& Path();
  // Creates or overwrites the file with data: never through a symbolic link or into anything
  // but a regular file, created with mode 0600. Raises comm::Exception with the reason when it
  // cannot be written whole.
  void Write(std::span<const uint8_t> data);
  // Deletes the file; the result is ignored.
  void Delete();
  // The private folder made for this run, or "" when the executable's folder is used.
  const std::string& PrivateFolder() const { return privateFolder_; }

 private:
  std::string exeDirectory_;
  std::string path_;
  std::string privateFolder_;
};

// The directory part of a path ("." for a bare name), without a trailing slash.
std::string DirectoryOf(const std::string& path);

// A new folder of this run's own (mode 0700, so nobody else can plant or read files in it)
// under $XDG_RUNTIME_DIR, $TMPDIR or /tmp, named <prefix>-XXXXXX. Raises comm::Exception when
// none can be made.
std::string MakePrivateFolder(const std::string& prefix);

}  // namespace app
