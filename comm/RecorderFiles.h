#pragma once
// The two diagnostic files of the communication machinery, the byte trace and the dispatch
// log, written as CR LF text from what a recorder holds. This unit knows the file formats and
// nothing of the dispatcher or the port: the dispatcher hands it its trace ring and its log
// records (DispatcherRecorders.cpp), and the port decides when (at its first close).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/IoQueue.h"

namespace comm {

// Kinds of trace entries: a byte sent, a byte received.
constexpr uint8_t kTraceSent = 'T';
constexpr uint8_t kTraceReceived = 'R';

// The outcome of writing one file: 0 or minus the runtime's I/O error, and whether the file
// could be opened at all (a recorder reacts differently to the two failures).
struct TRecorderFileResult {
  int32_t Code = 0;
  bool Opened = false;
};

// Writes count trace entries of a ring of ringEntries two-byte entries (kind, byte), oldest
// first from entry first, wrapping at the end of the ring. append: continue an existing file
// (a trace file ends without a line end, so the next entry continues its last line).
TRecorderFileResult WriteTraceText(const std::string& name, bool append, bool hex, bool allHex,
                                   const uint8_t* ring, uint32_t ringEntries, uint32_t first,
                                   uint32_t count);

// Writes the dispatch log: its seven header lines (deviceName and osText go into them), then
// one line per record that next() hands over, until it hands over none. next() is asked only
// once the file is open; a record that is no log record is skipped.
TRecorderFileResult WriteDispatchLogText(const std::string& name, bool append, bool hex,
                                         bool allHex, const std::string& deviceName,
                                         const std::string& osText,
                                         const std::function<std::unique_ptr<TIOBuffer>()>& next);

}  // namespace comm
