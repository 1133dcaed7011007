#pragma once
// The Xmodem / Xmodem-1K transmitter: sends one file in blocks of 128 or 1024 data bytes,
// each with its block number and an 8-bit checksum or a CRC-16, acknowledged one by one (or
// streamed after a 'G' handshake), and closes with the EOT exchange. It keeps its state in
// the Xmodem fields of the engine's TransferRecord and reads the file through the source
// file reader.

#include <cstdint>
#include <string_view>

#include "protocol/ProtocolEngine.h"

namespace comm {

// Wire characters.
constexpr uint8_t cSOH = 0x01;
constexpr uint8_t cSTX = 0x02;
constexpr uint8_t cEOT = 0x04;
constexpr uint8_t cACK = 0x06;
constexpr uint8_t cBS = 0x08;
constexpr uint8_t cNAK = 0x15;
constexpr uint8_t cCAN = 0x18;
constexpr uint8_t cCrcRequest = 'C';
constexpr uint8_t cStreamRequest = 'G';

// Ticks to wait for the output buffer to drain after a block.
constexpr int32_t kDrainWait = 1092;

// Sets the record up for one of the Xmodem types.
void ConfigureXmodem(TransferRecord& record, bool crc, bool oneK, bool g);
// 0, or ecFuncNotSupported when the record's type is not an Xmodem or Ymodem type.
int32_t SetCrcMode(TransferRecord& record, bool on);
int32_t SetOneKMode(TransferRecord& record, bool on);
int32_t SetGMode(TransferRecord& record, bool on);
TProtocolType TypeFromModes(bool crc, bool oneK, bool g, bool ymodem);

// The prepare routine and step procedure of the four Xmodem types.
void PrepareTransmit(TransferRecord& record);
void TransmitStep(uint32_t msg, uint32_t trigger, int32_t lParam);
// TransmitStep with its result: 1 when the machine is or was brought to its final state.
int32_t TransmitStepResult(uint32_t msg, uint32_t trigger, int32_t lParam);

// The transmitter's cancel sequence: CAN CAN CAN BS BS BS (the backspaces wipe the CANs from
// the line of a peer that reads commands, not blocks).
inline constexpr std::string_view kCancelSequence{"\x18\x18\x18\x08\x08\x08", 6};
void SendCancelSequence(TransferRecord& record);

}  // namespace comm
