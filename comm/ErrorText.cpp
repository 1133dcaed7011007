#include "comm/ErrorText.h"

#include <cstdlib>

#include "platform/SystemText.h"

namespace comm {

// Sorted by |code|. Entries with an empty text exist so that those numbers fall through to
// the operating system's text.
const TCodeMessage CodeMessageTable[] = {
    {0, "OK"},
    // Runtime and device I/O errors.
    {-2, "File not found"},
    {-3, "Path not found"},
    {-4, "Too many open files"},
    {-5, "File access denied"},
    {-6, "Invalid file handle"},
    {-8, "Insufficient memory"},
    {-15, "Invalid drive"},
    {-18, "No more files"},
    {-100, "Attempt to read beyond end of file"},
    {-101, "Disk is full"},
    {-102, "File/device not assigned"},
    {-103, "File/device not open"},
    {-104, "File/device not open for input"},
    {-105, "File/device not open for output"},
    {-150, "Disk is write-protected"},
    {-151, "Unknown disk unit"},
    {-152, "Drive is not ready"},
    {-153, "Unknown command"},
    {-154, "Data error"},
    {-155, "Bad request structure length"},
    {-156, "Seek error"},
    {-157, "Unknown media type"},
    {-158, "Disk sector not found"},
    {-159, "Printer is out of paper"},
    {-160, "Device write error"},
    {-161, "Device read error"},
    {-162, "General failure"},
    // General component errors.
    {-1001, "Bad handle passed to com function"},
    {-1002, "Bad argument passed to function"},
    {-1003, "Got quit message"},
    {-1004, "Terminal buffer greater than 65521"},
    {-1005, "ComPort component not assigned"},
    {-1006, "Internal error creating window class"},
    {-1007, "Modem component not assigned"},
    {-1008, "Phonebook component not assigned"},
    {-1009, "Component not compatible with WinSock"},
    // Port opening errors.
    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2002, "ie_Baudrate - unsupported baud rate"},
    {-2003, "ie_Bytesize - invalid byte size"},
    {-2004, "ie_Default - error in default parameters"},
    {-2005, "ie_Hardware - Specified comport in use"},
    {-2006, "ie_Memory - unable to allocate queues"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2009, "No more handles, can't open port"},
    {-2010, "No timers available"},
    {-2011, "The ComNumber property of the TComPort has not been set"},
    {-2012, "Comport was not opened by Tapi"},
    // Serial I/O errors.
    {-3001, "No device layer specified"},
    {-3002, "Function not supported by driver"},
    {-3003, "EnableCommNotification failed"},
    {-3004, "Failed to put entire block"},
    {-3005, "Failed to get entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3008, "Tracing not enabled"},
    {-3009, "Logging not enabled"},
    {-3010, "Base address not set"},
    // Empty entries of the dialer and paging ranges.
    {4200, ""},
    {4600, ""},
    {4630, ""},
    {4660, ""},
    // Protocol status values.
    {4700, "OK"},
    {4701, "Protocol handshaking in progress"},
    {4702, "Bad date/time stamp received and ignored"},
    {4703, "File rejected"},
    {4704, "File renamed"},
    {4705, "File skipped"},
    {4706, "File doesn't exist locally, skipped"},
    {4707, "File skipped "},
    {4708, "Time out in protocol"},
    {4709, "Bad checksum or CRC"},
    {4710, "Block too long"},
    {4711, "Duplicate block received and ignored "},
    {4712, "Error in protocol"},
    {4713, "Cancel requested"},
    {4714, "At end of file"},
    {4715, "B+ host refused resume request"},
    {4716, "Block was out of sequence"},
    {4717, "Aborting on carrier loss"},
    {4718, "Got CrcE packet (Zmodem)"},
    {4719, "Got CrcG packet (Zmodem)"},
    {4720, "Got CrcW packet (Zmodem)"},
    {4721, "Got CrcQ packet (Zmodem)"},
    {4722, "B+ is trying to resume a download"},
    {4723, "B+ host is resuming"},
    {4724, "Waiting for B+ ACK"},
    {4725, ""},
    {4726, ""},
    {4727, ""},
    {4728, ""},
    {4730, ""},
    // Trigger errors.
    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},
    // Packet errors.
    {-5501, "Start string is empty"},
    {-5502, "Packet size cannot be smaller than start string"},
    {-5503, "CharCount packets must have an end-condition"},
    {-5504, "End string is empty"},
    {-5505, "Packet size cannot be zero"},
    {-5506, "Packet too long"},
    // Protocol errors.
    {-6001, "Bad format in file list"},
    {-6002, "No search mask specified during transmit"},
    {-6003, "No files matched search mask"},
    {-6004, "Directory in search mask doesn't exist"},
    {-6005, "Cancel requested"},
    {-6006, "Fatal time out"},
    {-6007, "Unrecoverable event during protocol"},
    {-6008, "Too many errors during protocol"},
    {-6009, "Block sequence error in Xmodem"},
    {-6010, "No filename specified in protocol receive"},
    {-6011, "File was rejected"},
    {-6012, "Cant write file"},
    {-6013, "Kermit window table is full, fatal error"},
    {-6014, "Aborting due to carrier loss"},
    {-6015, "Function not supported by protocol"},
    {-6016, "Protocol aborted"},
    // Empty entry of the network-socket range.
    {10000, ""},
    // Worker-thread allocation failure.
    {-13868, "No memory"},
    // Dispatch-log kinds (15001 + kind).
    {15001, "No event"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "Error"},
    {15005, "Thread"},
    {15006, "TrigAllc"},
    {15007, "TrigDisp"},
    {15008, "TrgHdAlc"},
    {15009, "TrgHdDsp"},
    {15010, "TrDatChg"},
    {15011, "Telnet"},
    {15012, "Fax"},
    {15013, "XModem"},
    {15014, "YModem"},
    {15015, "ZModem"},
    {15016, "Kermit"},
    {15017, "Ascii"},
    {15018, "BPlus"},
    {15019, "Packet"},
    {15020, "User"},
    {15021, "Script"},
    // Dispatch-log subkinds (15100 + subkind); subkind 0 prints empty.
    {15100, ""},
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15109, "Start"},
    {15110, "Exit"},
    {15111, "Sleep"},
    {15112, "Wake"},
    {15113, "Data"},
    {15114, "Timer"},
    {15115, "Status"},
    {15116, "Avail"},
    {15117, "Window"},
    {15118, "Procedure"},
    {15119, "Method"},
    {15120, "Sent WILL"},
    {15121, "Sent WON'T"},
    {15122, "Sent DO"},
    {15123, "Sent DON'T"},
    {15124, "Recv WILL"},
    {15125, "Recv WON'T"},
    {15126, "Recv DO"},
    {15127, "Recv DON'T"},
    {15128, "Command"},
    {15129, "Sent Term"},
    // Xmodem transmitter states (subkinds 117..129).
    {15217, "txInitial"},
    {15218, "txHandshake"},
    {15219, "txGetBlock"},
    {15220, "txWtFreeSpc"},
    {15221, "txSendBlock"},
    {15222, "txDraining"},
    {15223, "txRplyPnding"},
    {15224, "txEndDrain"},
    {15225, "txFirstEOT"},
    {15226, "txRestEOT"},
    {15227, "txEotReply"},
    {15228, "txFinished"},
    {15229, "txDone"},
    // Xmodem receiver states (subkinds 130..137).
    {15230, "rxInitial"},
    {15231, "rxWtFrHSRply"},
    {15232, "rxWtFrBlStrt"},
    {15233, "rxCollBlock"},
    {15234, "rxProcBlck"},
    {15235, "rxFinSkip"},
    {15236, "rxFinished"},
    {15237, "rxDone"},
    // Packet and queue words (subkinds 242..256).
    {15342, "Enable"},
    {15343, "Disable"},
    {15344, "StringPacket"},
    {15345, "SizePacket"},
    {15346, "PcktTimeout"},
    {15347, "StartStr"},
    {15348, "EndStr"},
    {15349, "Idle"},
    {15350, "Waiting"},
    {15351, "Collecting"},
    {15352, "Status Queued"},
    {15353, "Data Queued"},
    {15354, "Data Written"},
    {15355, "ZSInit"},
    {15356, "CheckSInit"},
    // Dispatch-log column header lines.
    {15501, "Time      Type      SubType       Data      OtherData"},
    {15502, "--------  --------  ------------  --------  ---------"},
    // Modem status bit names, bit 0 to bit 7.
    {15601, "DCTS"},
    {15602, "DDSR"},
    {15603, "TERI"},
    {15604, "DDCD"},
    {15605, "CTS"},
    {15606, "DSR"},
    {15607, "RI"},
    {15608, "DCD"},
};

const int32_t CodeMessageCount =
    static_cast<int32_t>(sizeof(CodeMessageTable) / sizeof(CodeMessageTable[0]));

std::string FindCodeMessage(int32_t code) {
  const int64_t wanted = std::llabs(static_cast<int64_t>(code));
  int32_t low = 0;
  int32_t high = CodeMessageCount - 1;
  while (low <= high) {
    // (low + high) / 2 rounded to the nearest integer, halves to even.
    const int32_t sum = low + high;
    int32_t middle = sum / 2;
    if (sum % 2 != 0 && middle % 2 != 0) ++middle;
    const int64_t found = std::llabs(static_cast<int64_t>(CodeMessageTable[middle].Code));
    if (found == wanted) return CodeMessageTable[middle].Text;
    if (found < wanted) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return {};
}

std::string ErrorText(int32_t code) {
  // Codes travel as 16-bit values through the original message interface.
  const int32_t number = std::abs(static_cast<int32_t>(static_cast<int16_t>(code)));
  std::string text = FindCodeMessage(number);
  if (text.empty()) {
    std::string system = platform::SystemErrorText(number);
    if (system.size() > 255) system.resize(255);  // the system text buffer's size
    if (!system.empty()) text = TidySystemText(std::move(system));
  }
  return text;
}

std::string TidySystemText(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  }
  std::string tidy;
  tidy.reserve(text.size());
  for (char c : text) {
    if (c == ' ' && !tidy.empty() && tidy.back() == ' ') continue;
    tidy.push_back(c);
  }
  return tidy;
}

}  // namespace comm
