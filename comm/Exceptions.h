#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace comm {

class TBaseComponent;

// The runtime's base exception: carries the message shown to the user.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// Base of the communication components' exceptions. Built from a code: ErrorCode is the
// code and the message its ErrorText; built from a message: ErrorCode is 0.
class ECommException : public Exception {
 public:
  explicit ECommException(int32_t code);
  explicit ECommException(const std::string& message);
  int32_t ErrorCode() const { return errorCode_; }

 private:
  int32_t errorCode_;
};

#define COMM_EXCEPTION_CLASS(Name, Base)                         \
  class Name : public Base {                                     \
   public:                                                       \
    explicit Name(int32_t code) : Base(code) {}                  \
    explicit Name(const std::string& message) : Base(message) {} \
  };

// Groups.
COMM_EXCEPTION_CLASS(EGeneral, ECommException)
COMM_EXCEPTION_CLASS(EOpenComm, ECommException)
COMM_EXCEPTION_CLASS(ESerialIO, ECommException)
COMM_EXCEPTION_CLASS(EModem, ECommException)
COMM_EXCEPTION_CLASS(ETrigger, ECommException)
COMM_EXCEPTION_CLASS(EPacket, ECommException)
COMM_EXCEPTION_CLASS(EProtocol, ECommException)
COMM_EXCEPTION_CLASS(EINI, ECommException)
COMM_EXCEPTION_CLASS(EFax, ECommException)
COMM_EXCEPTION_CLASS(ETapi, ECommException)
COMM_EXCEPTION_CLASS(ERas, ECommException)

// General.
COMM_EXCEPTION_CLASS(EBadArgument, EGeneral)
COMM_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
COMM_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
COMM_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
COMM_EXCEPTION_CLASS(EInternal, EGeneral)
COMM_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
COMM_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
COMM_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

// Port opening.
COMM_EXCEPTION_CLASS(EBadId, EOpenComm)
COMM_EXCEPTION_CLASS(EBaudRate, EOpenComm)
COMM_EXCEPTION_CLASS(EByteSize, EOpenComm)
COMM_EXCEPTION_CLASS(EDefault, EOpenComm)
COMM_EXCEPTION_CLASS(EHardware, EOpenComm)
COMM_EXCEPTION_CLASS(EMemory, EOpenComm)
COMM_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
COMM_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
COMM_EXCEPTION_CLASS(ENoHandles, EOpenComm)
COMM_EXCEPTION_CLASS(ENoTimers, EOpenComm)
COMM_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
COMM_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)

// Serial I/O.
COMM_EXCEPTION_CLASS(ENullApi, ESerialIO)
COMM_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
COMM_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
COMM_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
COMM_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
COMM_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
COMM_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
COMM_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
COMM_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)

// Triggers.
COMM_EXCEPTION_CLASS(ENoMoreTriggers, ETrigger)
COMM_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
COMM_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

// Packets.
COMM_EXCEPTION_CLASS(EInvalidProperty, EPacket)

// Telephony and remote access (only the out-of-memory one is reached).
COMM_EXCEPTION_CLASS(ETapiNoMem, ETapi)
COMM_EXCEPTION_CLASS(ERasLoadFail, ERas)

#undef COMM_EXCEPTION_CLASS

// The runtime's I/O error: a runtime or device error number (positive) and its text.
class EInOutError : public Exception {
 public:
  EInOutError(const std::string& message, int32_t errorCode)
      : Exception(message), errorCode_(errorCode) {}
  int32_t ErrorCode() const { return errorCode_; }

 private:
  int32_t errorCode_;
};

// The runtime's out-of-memory error.
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
  explicit EOutOfMemory(const std::string& message) : Exception(message) {}
};

// The error check: returns code when it raises nothing (code >= 0, or the sender is being
// loaded); otherwise raises the exception that belongs to the negative code. sender may be
// null.
int32_t CheckCode(const TBaseComponent* sender, int32_t code);

// The application's standard exception display (a message box in the program; by default
// the message goes to stderr). Replaceable; thread-safe.
void SetExceptionDisplay(std::function<void(const std::exception&)> display);
void ShowException(const std::exception& e);
// For use inside a catch block: shows the exception being handled, of any type.
void ShowCurrentException();

}  // namespace comm
