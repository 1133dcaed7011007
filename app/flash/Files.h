#pragma once
// The files an operator names on the command line. Each is opened without blocking and checked
// to be what its option needs before anything is read or written, so that no name can hang the
// program (a FIFO nobody writes, a terminal) or flood it (/dev/zero): a wrong file is a clear
// message at once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace flash {

// The password file's first line is a password of at most 8 characters: far less than this.
inline constexpr size_t kMaxPasswordFileRead = 4096;

// The whole regular file at path, at most maxSize bytes. False and a message naming the file
// (what: "the image") when it is a folder, not a regular file, larger than maxSize or cannot be
// read.
bool ReadRegularFile(const std::string& path, const std::string& what, size_t maxSize,
                     std::vector<uint8_t>& data, std::string& error);

// The first line of the password file (without its line end). False and a message when the file
// cannot serve (see ReadRegularFile) or its first line does not end within
// kMaxPasswordFileRead bytes. warning is set (and the password still read) when the file can be
// read by the group or by others.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error,
                      std::string& warning);

// Opens the log for appending, creating it when there is none: a descriptor, or -1 and a
// message when path names anything but a regular file or a place where one can be made.
// empty: the file is new or empty, so it wants its header line.
int OpenLogFile(const std::string& path, bool& empty, std::string& error);

// Writes all of data to fd; false with errno set when that fails.
bool WriteAll(int fd, const std::string& data);

}  // namespace flash
