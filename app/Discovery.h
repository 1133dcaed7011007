#pragma once

#include <exception>
#include <optional>
#include <string>

namespace platform {
struct TUdevEvent;
}

// Helpers of the device search (TForm1::FindDevice and the device-change handler), kept
// apart so that a command-line front end and the tests use the same rules.

namespace discovery {

// The device-instance identifier of the Vexilora.
inline constexpr const char* kDeviceInstanceId = "USB\\Vid_ffff&Pid_0005\\VEXILORA";
// The text an arrival's or removal's interface path must contain (letter case counts).
inline constexpr const char* kNameTest = "Vexilora";
// A friendly name is read into a buffer of this many bytes, the closing zero included.
inline constexpr size_t kFriendlyNameBuffer = 257;

// Whether an arrival or removal concerns a Vexilora. A tty whose USB device has the identity
// the device search looks for (kDeviceInstanceId) always does, whatever its manufacturer and
// product strings say (a unit may call itself "Virtual COM Port"); any other tty does when its
// interface path passes the name test. The window's device-change handler and
// vexilora-flash's station mode both decide by this.
bool IsVexiloraNotification(const platform::TUdevEvent& event);

// The port name in a friendly name: from the first "COM" to the end, without the name's last
// character ("USB Serial Port (COM5)" -> "COM5"); the whole name when it holds no "COM".
std::string ComNameFromFriendlyName(const std::string& friendlyName);

// A friendly name as the platform's property read leaves it in the 257-byte buffer: a name
// that does not fit (closing zero included) is not copied at all, so it reads as empty.
std::string FriendlyNameInBuffer(const std::string& name);

// Why a port could not be opened, for the failures a user can mend.
enum class TOpenFailure {
  Other,             // nothing the user can do about it here
  PermissionDenied,  // the user may not open the device
  InUse,             // another program (or another copy of this one) holds the device
};
TOpenFailure ClassifyOpenFailure(const std::exception& failure);

// A process that holds the device open (or locked).
struct TPortHolder {
  int Pid = 0;
  std::string Program;  // its name as the system gives it ("minicom")
  // A copy of this utility (the same executable, or one of the utility's programs).
  bool ThisUtility = false;
};
// The process holding the device at devicePath: the one with an exclusive lock on it (any
// user's), else one of the user's own processes with it open. Nothing when none can be seen
// (another user's program holding it without a lock, such as a modem manager).
std::optional<TPortHolder> FindPortHolder(const std::string& devicePath);

// One line for standard error that says why the device at devicePath could not be opened and
// what the user can do, for the failures a user can mend (no permission, another program holds
// the port); empty for other failures.
std::string OpenFailureAdvice(const std::string& devicePath, const std::exception& failure);

}  // namespace discovery
