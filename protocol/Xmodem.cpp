#include "protocol/Xmodem.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "comm/ComPort.h"
#include "comm/Exceptions.h"
#include "protocol/SourceFile.h"

namespace comm {

namespace {

bool IsXYmodem(uint8_t type) { return type >= ptXmodem && type <= ptYmodemG; }
bool IsYmodem(uint8_t type) { return type == ptYmodem || type == ptYmodemG; }

TCustomComPort& PortOf(TransferRecord& record) {
  TCustomComPort* port = record.Port;
  if (port == nullptr) throw ECommException(-1005);
  return *port;
}

// ---- the machine's operations ----------------------------------------------------------

// Arms the next handshake wait; false (and -6006 reported) when the waits are used up.
bool ArmHandshake(TransferRecord& record) {
  const int32_t attempt = ++record.HandshakeAttempt;
  if (attempt > record.HandshakeRetry) {
    ReportError(record, ecTimeout);
    return false;
  }
  PortOf(record).ArmTimerTrigger(record.TimeoutTimer, record.HandshakeWait, true);
  if (attempt != 1) {
    ++record.BlockErrors;
    ++record.TotalErrors;
    record.ForceStatus = true;
  }
  return true;
}

// The receiver's handshake character decides the block check; true for a usable one.
bool ReadHandshakeReply(TransferRecord& record, TBaseDispatcher& dispatcher) {
  uint8_t c = 0;
  dispatcher.ReceiveByte(c);
  record.StatusCode = psOK;
  switch (c) {
    case cNAK:
      record.BlockCheck = bcmChecksum;
      record.CrcMode = false;
      break;
    case cCAN:
      record.StatusCode = psCancelRequested;
      record.ForceStatus = true;
      break;
    case cCrcRequest:
      record.BlockCheck = bcmCrc16;
      record.CrcMode = true;
      break;
    case cStreamRequest:
      record.BlockCheck = bcmCrc16;
      record.CrcMode = true;
      record.GMode = true;
      break;
    default:
      record.StatusCode = psProtocolError;
      record.ForceStatus = true;
      break;
  }
  if (record.StatusCode == psOK)
    record.ProtocolType = TypeFromModes(record.CrcMode, record.OneKMode, record.GMode, false);
  return record.StatusCode == psOK;
}

void CheckOutputRoom(TransferRecord& record) {
  record.ErrorCode = 0;
  TCustomComPort& port = PortOf(record);
  const int32_t needed = record.BlockLength + 5;
  if (static_cast<uint16_t>(port.OutputFree()) >= needed) {
    record.XmodemState = txSendBlock;
  } else {
    record.XmodemState = txWtFreeSpc;
    port.ArmTimerTrigger(record.TimeoutTimer, record.TransmitTimeout, true);
    port.ArmStatusTrigger(record.OutputFreeTrigger, static_cast<uint16_t>(needed), true);
  }
}

// Blocks go in 128 bytes from here on (after too many errors on a 1024-byte block).
void UseShortBlocks(TransferRecord& record) {
  record.ShortBlocksNext = false;
  record.BlockLength = 128;
  record.StartChar = cSOH;
}

void SendDataBlock(TransferRecord& record, const uint8_t* block) {
  if (record.BlockErrors > record.MaxBlockErrors) {
    if (record.OneKMode && record.BlockLength == 1024 && !record.ShortBlocksNext) {
      // Fall back to 128-byte blocks, but only from the next block number on: this block
      // goes again whole. The receiver may already hold it (its ACK lost or still on the
      // way, a NAK that was noise); it would take a 128-byte block of the same number for
      // a copy and acknowledge it, and every block after it would then carry data from
      // the wrong offset. The errors restart, so this block has its own tries.
      record.ShortBlocksNext = true;
      record.BlockErrors = 0;
    } else {
      SendCancelSequence(record);
      ReportError(record, ecTooManyErrors);
      return;
    }
  }

  // The block goes into the output buffer as one piece, so the write thread sends it whole.
  const int32_t length = record.BlockLength;
  uint8_t frame[3 + kWorkBlockSize + 2];
  const uint8_t number = static_cast<uint8_t>(record.BlockNumber & 0xFF);
  frame[0] = record.StartChar;
  frame[1] = number;
  frame[2] = static_cast<uint8_t>(255 - number);
  std::memcpy(frame + 3, block, static_cast<size_t>(length));
  int32_t size = 3 + length;
  if (record.CrcMode) {
    const uint16_t crc = BlockCrc16(block, length);
    record.CheckValue = crc;
    frame[size++] = static_cast<uint8_t>(crc >> 8);
    frame[size++] = static_cast<uint8_t>(crc & 0xFF);
  } else {
    uint32_t sum = 0;
    for (int32_t i = 0; i < length; ++i) sum = UpdateChecksum(block[i], sum);
    record.CheckValue = static_cast<int32_t>(sum);
    frame[size++] = static_cast<uint8_t>(sum & 0xFF);
  }
  PortOf(record).SendBlock(frame, size);
}

void CountAcknowledgedBlock(TransferRecord& record) {
  const int32_t length = record.BlockLength;
  record.RawBytesTransferred += length;
  record.BytesRemaining = std::max(record.BytesRemaining - length, 0);
  ++record.BlockNumber;
  record.FileOffset += length;
}

bool ReadBlockReply(TransferRecord& record, TBaseDispatcher& dispatcher) {
  if (record.GMode) {
    record.StatusCode = psOK;
    CountAcknowledgedBlock(record);
    if (dispatcher.ByteWaiting()) {
      uint8_t c = 0;
      dispatcher.ReceiveByte(c);
      if (c == cCAN || c == cNAK) {
        record.StatusCode = psCancelRequested;
        record.ForceStatus = true;
      }
    }
    return record.StatusCode == psOK;
  }

  uint8_t c = 0;
  dispatcher.ReceiveByte(c);
  if (c == cACK) {
    record.StatusCode = psOK;
    CountAcknowledgedBlock(record);
    return true;
  }
  if (c == cCAN) {
    record.StatusCode = psCancelRequested;
    record.ForceStatus = true;
    return false;
  }
  ++record.BlockErrors;
  ++record.TotalErrors;
  record.StatusCode = c == cNAK ? psBlockCheckError : psProtocolError;
  record.ForceStatus = true;
  return false;
}

void SendEot(TransferRecord& record, bool first) {
  record.StatusCode = psOK;
  if (first) {
    record.BlockErrors = 0;
    record.EotNakCount = 0;
  }
  TCustomComPort& port = PortOf(record);
  // Only a byte received after the EOT can answer it: a late acknowledgement of a block must
  // never pass for the receiver's end of file. (Inside a delivery the cleared bytes are gone
  // for this step too.)
  port.ClearInput();
  port.SendByte(cEOT);
}

enum class TEotReply { Over, SendAgain, KeepWaiting };

TEotReply ReadEotReply(TransferRecord& record, TBaseDispatcher& dispatcher) {
  bool nakSeen = false;
  do {
    uint8_t c = 0;
    if (dispatcher.ReceiveByte(c) != 0) break;
    switch (c) {
      case cACK:
        // Success needs every byte of the file acknowledged before the EOT; an EOT reached
        // any other way is a fault of the exchange, never a finished transfer.
        record.StatusCode = record.BytesRemaining > 0 ? psProtocolError : psEndFile;
        return TEotReply::Over;
      case cCAN:
        record.StatusCode = psCancelRequested;
        record.ForceStatus = true;
        return TEotReply::Over;
      case cNAK:
        if (++record.EotNakCount >= 3) {
          SendCancelSequence(record);
          ReportError(record, ecTooManyErrors);
          return TEotReply::Over;
        }
        nakSeen = true;
        break;
      default:
        // Line noise: counted, and the real reply is still awaited. Another EOT here would
        // clear the input and with it the acknowledgement that may be right behind the
        // noise, leaving a receiver that has already finished to be asked again and again.
        ++record.BlockErrors;
        ++record.TotalErrors;
        record.StatusCode = psProtocolError;
        record.ForceStatus = true;
        if (record.BlockErrors > record.MaxBlockErrors) {
          ReportError(record, ecTooManyErrors);
          return TEotReply::Over;
        }
        break;
    }
    // A NAK asks for the EOT again, unless a reply already waiting behind it (an ACK after a
    // NAK that was noise) settles the exchange first: the next EOT clears the input.
  } while (nakSeen && dispatcher.ByteWaiting());
  return nakSeen ? TEotReply::SendAgain : TEotReply::KeepWaiting;
}

// The finishing state: returns after the transfer's end has been reported.
void Finish(TransferRecord& record, TBaseDispatcher& dispatcher, uint32_t msg) {
  // A fall-back decided on the last block still holds for the next transfer.
  if (record.ShortBlocksNext) UseShortBlocks(record);
  if (record.StatusCode != psEndFile || record.ErrorCode != 0) dispatcher.ClearInput();
  record.Hooks.CloseSourceFile(record);
  record.Hooks.LogNotify(record, record.StatusCode == psEndFile ? lfTransmitOk : lfTransmitFail);
  record.WorkBlock.reset();
  record.XmodemState = txDone;
  if (msg != NestedStepMessage) {
    ReportLastStatus(record);
    EndTransfer(record);
  } else {
    record.Hooks.StatusNotify(record, 0);
  }
}

void EnterDraining(TransferRecord& record, TBaseDispatcher& dispatcher) {
  record.XmodemState = txDraining;
  dispatcher.ArmTimerTrigger(record.TimeoutTimer, kDrainWait, true);
  dispatcher.ArmStatusTrigger(record.OutputUsedTrigger, 0, true);
}

void EnterEndDrain(TransferRecord& record, TBaseDispatcher& dispatcher) {
  record.XmodemState = txEndDrain;
  int32_t wait = record.FinishWait;
  if (wait == 0) {
    const int32_t cps = std::max<int32_t>(record.CharsPerSecond, 1);
    const int32_t held = dispatcher.InputUsed() + dispatcher.InputFree();
    wait = ((held / cps) * 182 / 10 + record.BlockWait) * 2;
  }
  dispatcher.ArmTimerTrigger(record.TimeoutTimer, wait, true);
  dispatcher.ArmStatusTrigger(record.OutputUsedTrigger, 0, true);
}

// ---- the state switch ------------------------------------------------------------------

bool Switch(TransferRecord& record, TBaseDispatcher& dispatcher, uint32_t msg, int32_t trigger) {
  const int32_t timeout = record.TimeoutTimer;
  const bool timedOut = trigger != 0 && trigger == timeout;
  // A reply is taken only when a byte is there: a pass with trigger 0 may come without one.
  const bool reply = trigger == 0 && dispatcher.ByteWaiting();

  switch (record.XmodemState.load()) {
    case txInitial: {
      record.WorkBlock = std::make_unique<uint8_t[]>(kWorkBlockSize);
      record.OpenName = record.PathName;
      if (record.UpcaseNames) {
        for (char& c : record.PathName)
          c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
      record.Hooks.LogNotify(record, lfTransmitStart);
      record.StatusCode = psProtocolHandshake;
      record.ForceStatus = true;
      record.Hooks.OpenSourceFile(record);
      if (record.ErrorCode != 0) {
        record.XmodemState = txFinished;
        break;
      }
      record.BlockNumber = 1;
      record.ShortBlocksNext = false;
      record.HandshakeAttempt = 0;
      record.XmodemState = txHandshake;
      if (!ArmHandshake(record)) record.XmodemState = txFinished;
      break;
    }

    case txHandshake:
      if (reply) {
        if (ReadHandshakeReply(record, dispatcher)) {
          StartTimer(record.ElapsedTimer, 1);
          record.TimerRunning = true;
          record.FileOffset = 0;
          record.BlockErrors = 0;
          record.TotalErrors = 0;
          if (record.GMode) record.MaxBlockErrors = 0;
          record.StatusCode = psOK;
          record.XmodemState = txGetBlock;
        } else if (record.StatusCode == psCancelRequested) {
          record.XmodemState = txFinished;
        } else {
          // Line noise before the receiver's request: counted as an error, and the wait goes
          // on. Only a wait that runs out uses up one of the HandshakeRetry waits, so a burst
          // of noise cannot end the transfer in a moment, and a receiver that only babbles is
          // still given up after HandshakeRetry waits.
          ++record.BlockErrors;
          ++record.TotalErrors;
        }
      } else if (timedOut) {
        if (!ArmHandshake(record)) record.XmodemState = txFinished;
      }
      break;

    case txGetBlock: {
      record.BlockErrors = 0;
      if (record.ShortBlocksNext) UseShortBlocks(record);
      int32_t count = record.BlockLength;
      const int32_t errorBefore = record.ErrorCode;
      record.FileEnding = record.Hooks.ReadSourceBlock(record, record.WorkBlock.get(), count);
      record.LastReadCount = count;
      if (record.ErrorCode != 0 && record.ErrorCode != errorBefore) {
        // The file could not be read to its end: the receiver is told with the cancel
        // sequence and the transfer ends with the read's error, never as a success.
        SendCancelSequence(record);
        record.XmodemState = txFinished;
        break;
      }
      CheckOutputRoom(record);
      break;
    }

    case txWtFreeSpc:
      if (trigger != 0 && trigger == record.OutputFreeTrigger) {
        record.XmodemState = txSendBlock;
      } else if (timedOut) {
        ReportError(record, ecTimeout);
        record.XmodemState = txFinished;
      } else if (trigger == 0 && record.GMode) {
        // A NAK is as final as a CAN here, as it is after a block: a streamed block cannot be
        // sent again, and a NAK taken here would otherwise be lost.
        while (dispatcher.ByteWaiting()) {
          uint8_t c = 0;
          dispatcher.ReceiveByte(c);
          if (c == cCAN || c == cNAK) {
            record.StatusCode = psCancelRequested;
            record.ForceStatus = true;
            record.XmodemState = txFinished;
            break;
          }
        }
      }
      break;

    case txSendBlock:
      if (record.LastReadCount == 0) {
        record.XmodemState = txFirstEOT;
        break;
      }
      if (record.ErrorCode != 0) {
        SendCancelSequence(record);
        record.XmodemState = txFinished;
        break;
      }
      SendDataBlock(record, record.WorkBlock.get());
      record.ForceStatus = true;
      if (record.ErrorCode != 0) {
        // Too many errors: the cancel sequence is already in the output buffer and is left
        // there so that the receiver hears of the end.
        record.XmodemState = txFinished;
      } else if (!record.GMode) {
        EnterDraining(record, dispatcher);
      } else if (!ReadBlockReply(record, dispatcher)) {
        dispatcher.ClearOutput();
        record.XmodemState = txFinished;
      } else if (record.FileEnding) {
        EnterEndDrain(record, dispatcher);
      } else {
        record.XmodemState = txGetBlock;
      }
      break;

    case txDraining:
      if (trigger == 0 || timedOut || trigger == record.OutputUsedTrigger) {
        record.XmodemState = txRplyPnding;
        dispatcher.ArmTimerTrigger(record.TimeoutTimer, record.BlockWait, true);
      }
      break;

    case txRplyPnding:
      if (reply) {
        if (ReadBlockReply(record, dispatcher)) {
          record.XmodemState = record.FileEnding ? txFirstEOT : txGetBlock;
        } else if (record.StatusCode == psCancelRequested) {
          dispatcher.ClearOutput();
          record.XmodemState = txFinished;
        } else if (record.StatusCode == psBlockCheckError) {
          CheckOutputRoom(record);  // a NAK: the same block again
        }
        // Any other byte is line noise, counted as an error: the reply is still to come
        // within the same wait. Sending the block again for it would draw a second ACK that
        // the next block would take for its own.
      } else if (timedOut) {
        CheckOutputRoom(record);  // no reply: the same block again, not counted
      }
      break;

    case txEndDrain:
      if (timedOut || (trigger != 0 && trigger == record.OutputUsedTrigger))
        record.XmodemState = txFirstEOT;
      break;

    case txFirstEOT:
      SendEot(record, true);
      dispatcher.ArmTimerTrigger(record.TimeoutTimer, record.TransmitTimeout, true);
      record.XmodemState = txEotReply;
      break;

    case txRestEOT:
      SendEot(record, false);
      dispatcher.ArmTimerTrigger(record.TimeoutTimer, record.BlockWait, true);
      if (record.BlockErrors > record.MaxBlockErrors) {
        ReportError(record, ecTooManyErrors);
        record.XmodemState = txFinished;
      } else {
        record.XmodemState = txEotReply;
      }
      break;

    case txEotReply:
      if (reply) {
        switch (ReadEotReply(record, dispatcher)) {
          case TEotReply::Over:
            record.XmodemState = txFinished;
            break;
          case TEotReply::SendAgain:
            record.XmodemState = txRestEOT;
            break;
          case TEotReply::KeepWaiting:
            break;
        }
      } else if (timedOut) {
        // Counted, so that a receiver that has gone (or whose answer was lost) is not asked
        // without end: past MaxBlockErrors the next EOT ends the transfer with -6008.
        ++record.BlockErrors;
        ++record.TotalErrors;
        record.XmodemState = txRestEOT;
      }
      break;

    case txFinished:
      Finish(record, dispatcher, msg);
      return true;

    default:
      break;
  }
  return false;
}

TPassRule Rule(uint8_t state) {
  switch (state) {
    case txHandshake:
    case txDraining:
    case txRplyPnding:
    case txEotReply:
      return TPassRule::WhileBytes;
    case txGetBlock:
    case txSendBlock:
    case txFirstEOT:
    case txRestEOT:
    case txFinished:
      return TPassRule::Always;
    default:
      return TPassRule::Stop;
  }
}

uint8_t State(const TransferRecord& record) { return record.XmodemState; }
uint16_t StateLogCode(uint8_t state) { return static_cast<uint16_t>(kXmodemStateLogBase + state); }
bool IsFinal(uint8_t state) { return state == txDone; }

void Abort(TransferRecord& record, TBaseDispatcher&, bool cancel) {
  if (cancel) {
    SendCancelSequence(record);
    record.StatusCode = psCancelRequested;
  } else {
    record.StatusCode = psAbortNoCarrier;
  }
  record.XmodemState = txFinished;
}

void Fault(TransferRecord& record) {
  if (record.ShortBlocksNext) UseShortBlocks(record);
  if (record.FileOpen) record.Hooks.CloseSourceFile(record);
  record.WorkBlock.reset();
  record.XmodemState = txDone;
  ReportLastStatus(record);
}

constexpr TStepMachine kTransmitMachine{State, StateLogCode, IsFinal, Abort, Switch, Rule, Fault};

}  // namespace

// ---- configuration ------------------------------------------------------------------------

TProtocolType TypeFromModes(bool crc, bool oneK, bool g, bool ymodem) {
  if (!crc) return ptXmodem;
  if (!oneK) return ptXmodemCRC;
  if (!g) return ymodem ? ptYmodem : ptXmodem1K;
  return ymodem ? ptYmodemG : ptXmodem1KG;
}

int32_t SetCrcMode(TransferRecord& record, bool on) {
  const uint8_t type = record.ProtocolType;
  if (!IsXYmodem(type)) return ecFuncNotSupported;
  if (type >= ptXmodem1K) on = true;
  record.CrcMode = on;
  record.BlockCheck = on ? bcmCrc16 : bcmChecksum;
  record.ProtocolType =
      TypeFromModes(record.CrcMode, record.OneKMode, record.GMode, IsYmodem(type));
  return 0;
}

int32_t SetOneKMode(TransferRecord& record, bool on) {
  const uint8_t type = record.ProtocolType;
  if (!IsXYmodem(type)) return ecFuncNotSupported;
  record.OneKMode = on;
  if (on) {
    record.BlockLength = 1024;
    record.StartChar = cSTX;
    record.CrcMode = true;
  } else {
    record.BlockLength = 128;
    record.StartChar = cSOH;
  }
  record.ProtocolType =
      TypeFromModes(record.CrcMode, record.OneKMode, record.GMode, IsYmodem(type));
  return 0;
}

int32_t SetGMode(TransferRecord& record, bool on) {
  const uint8_t type = record.ProtocolType;
  if (!IsXYmodem(type)) return ecFuncNotSupported;
  record.GMode = on;
  if (on) {
    SetOneKMode(record, true);
    record.TurnDelay = 0;
  } else {
    record.TurnDelay = 1000;
    record.MaxBlockErrors = 5;
  }
  record.ProtocolType =
      TypeFromModes(record.CrcMode, record.OneKMode, record.GMode, IsYmodem(type));
  return 0;
}

void ConfigureXmodem(TransferRecord& record, bool crc, bool oneK, bool g) {
  record.ProtocolType = ptXmodem;
  SetCrcMode(record, crc);
  SetOneKMode(record, oneK);
  SetGMode(record, g);
  record.BlockWait = 91;
  record.MaxBlockErrors = 5;
  record.Overhead = 5;
  record.TurnDelay = record.GMode ? 0 : 1000;
  record.FinishWait = 0;
  record.Hooks.OpenSourceFile = comm::OpenSourceFile;
  record.Hooks.ReadSourceBlock = comm::ReadSourceBlock;
  record.Hooks.CloseSourceFile = comm::CloseSourceFile;
}

// ---- transmit -----------------------------------------------------------------------------

void PrepareTransmit(TransferRecord& record) {
  ResetCounters(record);
  ReportFirstStatus(record);

  std::string name;
  if (!record.Hooks.NextFile(record, name) || name.empty()) {
    // No file to send. A name source that gave none without saying why still ends the
    // transfer with an error: there is nothing it could have succeeded at.
    if (record.ErrorCode == 0) ReportError(record, ecFileNotFound);
    record.XmodemState = txDone;
    ReportLastStatus(record);
    return;
  }
  record.PathName = name.substr(0, kMaxPathText);

  record.TimerRunning = false;
  record.ForceStatus = true;
  record.XmodemState = txInitial;
  record.WorkBlock.reset();

  PortOf(record).ClearInput();
}

void SendCancelSequence(TransferRecord& record) {
  TCustomComPort* port = record.Port;
  if (port != nullptr && port->Open()) {
    port->ClearOutput();
    port->SendBlock(kCancelSequence.data(), static_cast<int32_t>(kCancelSequence.size()));
  }
  record.ForceStatus = true;
}

int32_t TransmitStepResult(uint32_t msg, uint32_t trigger, int32_t lParam) {
  return RunStep(kTransmitMachine, msg, trigger, lParam);
}

void TransmitStep(uint32_t msg, uint32_t trigger, int32_t lParam) {
  TransmitStepResult(msg, trigger, lParam);
}

}  // namespace comm
