#include "comm/Exceptions.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>

#include "comm/Common.h"
#include "comm/ErrorText.h"

namespace comm {

ECommException::ECommException(int32_t code)
    : Exception(ErrorText(std::abs(code))), errorCode_(code) {}

ECommException::ECommException(const std::string& message) : Exception(message), errorCode_(0) {}

namespace {

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

// Step 4 of the error check: the class that belongs to a code, raised from the code.
// Returns normally when the code has no class of its own.
void RaiseClassOf(int32_t code) {
  switch (code) {
    case -1002:
      Raise<EBadArgument>(code);
    case -1003:
      Raise<EGotQuitMsg>(code);
    case -1004:
      Raise<EBufferTooBig>(code);
    case -1005:
      Raise<EPortNotAssigned>(code);
    case -1006:
    case -7003:
    case -7006:
    case -7012:
      Raise<EInternal>(code);
    case -1007:
      Raise<EModemNotAssigned>(code);
    case -1008:
      Raise<EPhonebookNotAssigned>(code);
    case -1009:
      Raise<ECannotUseWithWinSock>(code);

    case -2001:
      Raise<EBadId>(code);
    case -2002:
      Raise<EBaudRate>(code);
    case -2003:
      Raise<EByteSize>(code);
    case -2004:
      Raise<EDefault>(code);
    case -2005:
      Raise<EHardware>(code);
    case -2006:
      Raise<EMemory>(code);
    case -2007:
      Raise<ECommNotOpen>(code);
    case -2008:
      Raise<EAlreadyOpen>(code);
    case -2009:
      Raise<ENoHandles>(code);
    case -2010:
      Raise<ENoTimers>(code);
    case -2011:
      Raise<ENoPortSelected>(code);
    case -2012:
      Raise<ENotOpenedByTapi>(code);

    case -3001:
      Raise<ENullApi>(code);
    case -3003:
      Raise<ERegisterHandlerFailed>(code);
    case -3004:
      Raise<EPutBlockFail>(code);
    case -3005:
      Raise<EGetBlockFail>(code);
    case -3006:
      Raise<EOutputBufferTooSmall>(code);
    case -3007:
      Raise<EBufferIsEmpty>(code);
    case -3008:
      Raise<ETracingNotEnabled>(code);
    case -3009:
      Raise<ELoggingNotEnabled>(code);
    case -3010:
      Raise<EBaseAddressNotSet>(code);

    case -5001:
      Raise<ENoMoreTriggers>(code);
    case -5002:
      Raise<ETriggerTooLong>(code);
    case -5003:
      Raise<EBadTriggerHandle>(code);

    case -6006:
    case -6008:
    case -6009:
      Raise<EProtocol>(code);

    case -13868:
      Raise<ETapiNoMem>(code);
    case -13980:
      Raise<ERasLoadFail>(code);
    default:
      break;
  }
  // The groups this system never reaches keep their codes in their group class, so a code
  // still lands in the right branch of the tree.
  if (code <= -4001 && code >= -4008) Raise<EModem>(code);
  switch (code) {
    case -7001:
    case -7002:
    case -7004:
    case -7005:
    case -7007:
    case -7008:
    case -7010:
    case -7011:
    case -7013:
    case -7014:
      Raise<EINI>(code);
    case -8053:
      Raise<EFax>(code);
    default:
      break;
  }
  if ((code <= -8001 && code >= -8005) || (code <= -8060 && code >= -8070)) Raise<EFax>(code);
  if ((code <= -13801 && code >= -13886 && code != -13804 && code != -13849) ||
      (code <= -13928 && code >= -13932) || code == -13935 || code == -13936 || code == -13942) {
    Raise<ETapi>(code);
  }
}

std::mutex displayLock;
std::shared_ptr<std::function<void(const std::exception&)>> display;

}  // namespace

int32_t CheckCode(const TBaseComponent* sender, int32_t code) {
  if (code >= 0) return code;
  if (sender && sender->Loading()) return code;
  if (code >= -162 && code <= -2) {
    if (code == -8) throw EOutOfMemory();
    throw EInOutError(ErrorText(-code), -code);
  }
  RaiseClassOf(code);
  throw ECommException(std::string("Comm exception"));
}

void SetExceptionDisplay(std::function<void(const std::exception&)> newDisplay) {
  std::lock_guard lock(displayLock);
  display =
      newDisplay
          ? std::make_shared<std::function<void(const std::exception&)>>(std::move(newDisplay))
          : nullptr;
}

void ShowException(const std::exception& e) {
  std::shared_ptr<std::function<void(const std::exception&)>> current;
  {
    std::lock_guard lock(displayLock);
    current = display;
  }
  if (current) {
    (*current)(e);
    return;
  }
  // Without a display the message goes to stderr; one line per exception, kept whole.
  static std::mutex stderrLock;
  std::lock_guard lock(stderrLock);
  std::cerr << e.what() << std::endl;
}

void ShowCurrentException() {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(Exception("Unknown exception"));
  }
}

}  // namespace comm
