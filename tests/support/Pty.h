#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testsupport {

// A pseudo-terminal pair standing in for a serial device: the code under test opens
// SlavePath(), the test plays the device on the master. Both sides are raw. The pair keeps
// its own slave descriptor open by default, so that the master never sees EIO (hang-up)
// while the code under test has the slave closed.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int Master() const { return master_; }
  const std::string& SlavePath() const { return slavePath_; }
  // Closes the pair's own slave descriptor (a device hang-up then shows once the code under
  // test closes its side too).
  void CloseSlaveFd();
  void CloseMaster();

  // Writes all bytes to the master, waiting with poll as needed.
  void Write(std::string_view bytes);
  // Reads from the master until count bytes came or timeoutMs passed; returns what came.
  std::string ReadFor(size_t count, uint32_t timeoutMs);
  // Reads until nothing arrives for idleMs; returns what came.
  std::string ReadUntilIdle(uint32_t idleMs);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace testsupport

using testsupport::PtyPair;
