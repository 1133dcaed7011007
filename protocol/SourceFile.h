#pragma once
// The source file reader: finds the file that a transmit sends (by the component's file mask
// or the name it is given) and hands its contents to the transmitter block by block through
// an 8192-byte read-ahead buffer, the last block filled up with PadByte.
//
// Paths use '/' as their separator. Failures go through the engine's ReportError, so the
// component's error event runs before the transfer ends: -6002 empty mask, -6003 no file
// matches, -6004 the mask's folder does not exist, -2 no file name, and otherwise the
// system's error number negated (a file held for writing elsewhere: -5; a folder: -21; a
// pipe, device or other file that is not a regular one: -5; a file that ends before the
// length it had when opened: -100).

#include <cstdint>
#include <string>

#include "protocol/ProtocolEngine.h"

namespace comm {

// FileName: a name with a folder part becomes PathName as it is; a bare name is put into
// DestinationFolder. PathName keeps at most 255 characters.
void AssignPathName(TransferRecord& record, const std::string& name);

// The next file that SearchMask matches (regular files only, in name order): destination gets
// the mask's folder part and the name. False (destination empty) when there is none.
bool NextFromMask(TransferRecord& record, std::string& destination);

void OpenSourceFile(TransferRecord& record);
// count: the block length on entry, the data bytes delivered on return. True when the end of
// the file was reached (the rest of the block is PadByte).
bool ReadSourceBlock(TransferRecord& record, uint8_t* destination, int32_t& count);
void CloseSourceFile(TransferRecord& record);

// Closes the open directory search.
void CloseSearch(TransferRecord& record);
// Closes the source file's descriptor, keeping FileBuffer (the end of a transfer).
void CloseSourceDescriptor(TransferRecord& record);

// The folder part of a mask as a file's name is put after it: "" for a bare name, "/" for a
// name right under the root, else the text up to the last '/'.
std::string MaskFolder(const std::string& mask);
// Matches a name against a mask's name part: '*' any run, '?' any one character; a mask
// ending in ".*" also matches names without a dot ("*.*" matches every name).
bool MaskMatches(const std::string& mask, const std::string& name);

}  // namespace comm
