#include "app/flash/Journal.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/flash/Output.h"

namespace flash {

namespace {

// One identifier for every "device finished" entry: `journalctl MESSAGE_ID=...` finds them all.
constexpr const char* kDeviceFinishedId = "MESSAGE_ID=8b0c6f4e2d9a4f57a3e1c5b7d9f20a64";

bool SameStream(const char* value, int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  const std::string expected = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                               std::to_string(static_cast<unsigned long long>(st.st_ino));
  return expected == value;
}

}  // namespace

bool OutputGoesToJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  // A service whose output was sent elsewhere, or a program started from one with its output
  // redirected, keeps the variable but not the stream: then the record is the output itself.
  return stream != nullptr &&
         (SameStream(stream, STDERR_FILENO) || SameStream(stream, STDOUT_FILENO));
}

bool SendToJournal(const TJournalEntry& entry) {
  const int priority = entry.Result == "updated"   ? LOG_INFO
                       : entry.Result == "refused" ? LOG_WARNING
                                                   : LOG_ERR;
  std::string message = (entry.Location.empty() ? std::string("?") : entry.Location) + " " +
                        entry.Device + ": " + entry.Result;
  if (entry.Result == "updated")
    message += " " + (entry.OldVersion.empty() ? std::string("?") : entry.OldVersion) + " -> " +
               entry.NewVersion + " in " + Fixed(entry.Seconds, 1) + " s";
  if (!entry.Error.empty()) message += ": " + entry.Error;
  // Device text goes in as printable text, like everywhere else it is shown.
  const int r = sd_journal_send(
      "MESSAGE=%s", Printable(message).c_str(), kDeviceFinishedId, "PRIORITY=%d", priority,
      "SYSLOG_IDENTIFIER=vexilora-flash", "VEXILORA_DEVICE=%s", Printable(entry.Device).c_str(),
      "VEXILORA_USB_LOCATION=%s", Printable(entry.Location).c_str(), "VEXILORA_OLD_VERSION=%s",
      Printable(entry.OldVersion).c_str(), "VEXILORA_NEW_VERSION=%s",
      Printable(entry.NewVersion).c_str(), "VEXILORA_RESULT=%s", entry.Result.c_str(),
      "VEXILORA_SECONDS=%s", Fixed(entry.Seconds, 1).c_str(), "VEXILORA_ERROR=%s",
      Printable(entry.Error).c_str(), nullptr);
  return r >= 0;
}

}  // namespace flash
