#include "protocol/SourceFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace comm {

namespace {

// Search outcomes in the reader's own terms (the numbers its error texts are found by).
constexpr int32_t kPathNotFound = 3;
constexpr int32_t kNoMoreFiles = 18;

std::string CutPath(const std::string& text) { return text.substr(0, kMaxPathText); }

std::string Upcase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool WildMatch(const char* mask, const char* name) {
  // Iterative matcher with one back-track point for the last '*'.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*mask == '*') {
      star = mask++;
      resume = name;
    } else if (*mask == '?' || *mask == *name) {
      ++mask;
      ++name;
    } else if (star != nullptr) {
      mask = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*mask == '*') ++mask;
  return *mask == '\0';
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Lists the regular files of the mask's folder whose names match, in name order. Returns 0,
// kPathNotFound, kNoMoreFiles or the system's error number.
int32_t StartSearch(TransferRecord& record) {
  const std::string& mask = record.SearchMask;
  const size_t slash = mask.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : mask.substr(0, slash));
  const std::string pattern = slash == std::string::npos ? mask : mask.substr(slash + 1);

  TSearchRecord& search = record.SearchRecord;
  search = TSearchRecord{};
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    const int e = errno;
    return (e == ENOENT || e == ENOTDIR) ? kPathNotFound : e;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
  record.SearchOpen = true;
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (MaskMatches(pattern, name) && IsRegularFile(folder + "/" + name))
      search.Matches.push_back(name);
    errno = 0;
  }
  if (errno != 0) return errno;
  std::sort(search.Matches.begin(), search.Matches.end());
  return search.Matches.empty() ? kNoMoreFiles : 0;
}

int32_t ContinueSearch(TransferRecord& record) {
  TSearchRecord& search = record.SearchRecord;
  if (!record.SearchOpen || search.Next >= search.Matches.size()) return kNoMoreFiles;
  return 0;
}

// The system's error number for a file operation that failed with errno e.
int32_t FileError(int e) {
  if (e == EWOULDBLOCK) return -ecAccessDenied;  // held for writing elsewhere
  return e;
}

// The system's error number for a file to send that is not a regular file.
int32_t NotAFileError(mode_t mode) { return S_ISDIR(mode) ? EISDIR : -ecAccessDenied; }

// Reads up to count bytes at offset; the bytes read, or -errno.
int64_t ReadAt(int fd, uint8_t* buffer, int32_t count, int32_t offset) {
  int64_t total = 0;
  while (total < count) {
    const ssize_t n = ::pread(fd, buffer + total, static_cast<size_t>(count - total),
                              static_cast<off_t>(offset) + total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -static_cast<int64_t>(errno);
    }
    if (n == 0) break;
    total += n;
  }
  return total;
}

}  // namespace

std::string MaskFolder(const std::string& mask) {
  const size_t slash = mask.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return mask.substr(0, slash);
}

bool MaskMatches(const std::string& mask, const std::string& name) {
  if (WildMatch(mask.c_str(), name.c_str())) return true;
  // A name without an extension matches a mask that ends in ".*".
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 &&
      name.find('.') == std::string::npos) {
    return WildMatch(mask.substr(0, mask.size() - 2).c_str(), name.c_str());
  }
  return false;
}

void AssignPathName(TransferRecord& record, const std::string& name) {
  if (name.find('/') != std::string::npos) {
    record.PathName = CutPath(name);
    return;
  }
  std::string path = record.DestinationFolder;
  if (!path.empty() && path.back() != '/') path += '/';
  record.PathName = CutPath(path + name);
}

bool NextFromMask(TransferRecord& record, std::string& destination) {
  if (record.SearchMask.empty()) {
    ReportError(record, ecNoSearchMask);
    return false;
  }

  int32_t code;
  if (record.SearchPending) {
    code = StartSearch(record);
    if (code == kNoMoreFiles) {
      ReportError(record, ecNoMatchingFiles);
      destination.clear();
      CloseSearch(record);
      return false;
    }
    record.SearchPending = false;
  } else {
    code = ContinueSearch(record);
  }

  if (code != 0) {
    if (code == kPathNotFound)
      ReportError(record, ecDirNotFound);
    else if (code != kNoMoreFiles)
      ReportError(record, -code);
    destination.clear();
    CloseSearch(record);
    return false;
  }

  TSearchRecord& search = record.SearchRecord;
  search.Name = search.Matches[search.Next++];
  std::string path = MaskFolder(record.SearchMask);
  if (!path.empty() && path.back() != '/') path += '/';
  destination = CutPath(path + search.Name);
  return true;
}

void CloseSearch(TransferRecord& record) {
  record.SearchRecord.Matches.clear();
  record.SearchRecord.Next = 0;
  record.SearchOpen = false;
}

void OpenSourceFile(TransferRecord& record) {
  record.ErrorCode = 0;
  if (record.FileOpen) return;
  if (record.PathName.empty()) {
    ReportError(record, ecFileNotFound);
    return;
  }

  record.FileBuffer = std::make_unique<uint8_t[]>(kFileBufferSize);

  // UpcaseNames changed PathName for show; the file is opened by the name it was given.
  const std::string& path = (!record.OpenName.empty() && Upcase(record.OpenName) == record.PathName)
                                ? record.OpenName
                                : record.PathName;
  // Without blocking: a named pipe would otherwise hold the open until a writer comes.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  int32_t error = fd < 0 ? FileError(errno) : 0;
  struct stat st {};
  if (error == 0 && ::fstat(fd, &st) != 0) error = errno;
  // Only a regular file has a length that is its content: a folder, a pipe or a device
  // (whose size says nothing, or which never ends) cannot be sent.
  if (error == 0 && !S_ISREG(st.st_mode)) error = NotAFileError(st.st_mode);
  // Read-only access that keeps others from writing: a shared lock, which a writer that
  // takes the exclusive lock cannot get while the transfer runs (and that we cannot get
  // while such a writer holds it).
  if (error == 0 && ::flock(fd, LOCK_SH | LOCK_NB) != 0) error = FileError(errno);
  const bool sized = error == 0;
  if (error == 0 && st.st_size > INT32_MAX) error = EFBIG;
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    ReportError(record, -error);
    record.FileBuffer.reset();
    return;
  }
  record.SourceFile = fd;

  record.FileLength = sized ? static_cast<int32_t>(st.st_size) : 0;
  record.BytesRemaining = record.FileLength.load();
  record.Hooks.StatusNotify(record, 0);
  record.FileDate = sized ? static_cast<int32_t>(st.st_mtime) : 0;

  record.FileOffset = 0;
  record.BufferStart = 0;
  record.BufferEnd = 0;
  record.LastOffset = 0;
  record.EndPending = false;
  record.FileOpen = true;
}

bool ReadSourceBlock(TransferRecord& record, uint8_t* destination, int32_t& count) {
  const int32_t offset = record.FileOffset;
  if (offset >= record.FileLength || !record.FileBuffer) {
    count = 0;
    return true;
  }

  if (offset > record.BufferEnd) record.BufferEnd = offset;
  if (offset < record.LastOffset) record.BufferEnd = offset;  // earlier data: reload

  uint8_t* buffer = record.FileBuffer.get();
  if (offset + count > record.BufferEnd) {
    const int32_t keep = record.BufferEnd - offset;
    if (keep > 0)
      std::memmove(buffer, buffer + (offset - record.BufferStart), static_cast<size_t>(keep));
    const int32_t want = kFileBufferSize - std::max(keep, 0);
    const int64_t got =
        ReadAt(record.SourceFile, buffer + std::max(keep, 0), want, record.BufferEnd);
    if (got < 0) {
      ReportError(record, static_cast<int32_t>(got));
      count = 0;
      return true;
    }
    record.BufferStart = offset;
    record.BufferEnd = offset + kFileBufferSize;
    // A read that reaches the file's length is the end too, also when it filled the buffer
    // exactly: the last block then says so instead of being followed by an empty read.
    if (got < want || record.BufferStart + std::max(keep, 0) + got >= record.FileLength) {
      record.DataEnd = record.BufferStart + std::max(keep, 0) + static_cast<int32_t>(got);
      std::memset(buffer + std::max(keep, 0) + got, PadByte, static_cast<size_t>(want - got));
      record.EndPending = true;
      if (record.DataEnd < record.FileLength) {
        // The file got shorter while it was being sent: what the receiver would get is not
        // the file, so the transfer must not end as if it were.
        ReportError(record, ecReadPastEnd);
        count = 0;
        return true;
      }
    } else {
      record.EndPending = false;
    }
  }

  std::memcpy(destination, buffer + (offset - record.BufferStart), static_cast<size_t>(count));
  record.LastOffset = offset;

  if (record.EndPending && offset + count >= record.DataEnd) {
    count = record.DataEnd - offset;
    return true;
  }
  return false;
}

void CloseSourceDescriptor(TransferRecord& record) {
  if (record.SourceFile >= 0) {
    ::close(record.SourceFile);  // an error here changes nothing for the transfer
    record.SourceFile = -1;
  }
}

void CloseSourceFile(TransferRecord& record) {
  if (!record.FileOpen) return;
  CloseSourceDescriptor(record);
  record.FileBuffer.reset();
  record.FileOpen = false;
}

}  // namespace comm
