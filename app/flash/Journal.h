#pragma once
// The systemd journal as the station's record: when the program runs as a service whose output
// goes to the journal, each finished device becomes one structured entry, so that stations can
// be collected centrally with the journal's own forwarding.

#include <string>

namespace flash {

// What the journal keeps of one finished device.
struct TJournalEntry {
  std::string Device;    // "/dev/ttyACM0"
  std::string Location;  // USB location, "1-1.2"
  std::string OldVersion;
  std::string NewVersion;
  std::string Result;  // "updated", "failed", ...
  std::string Error;
  double Seconds = 0;
};

// True when standard output or standard error is the journal's stream: JOURNAL_STREAM is set
// (systemd sets it for a service whose output goes to the journal) and names one of them.
bool OutputGoesToJournal();

// Sends the entry; false when the journal did not take it.
bool SendToJournal(const TJournalEntry& entry);

}  // namespace flash
