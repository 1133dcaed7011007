// vexilora-flash: updates the firmware of Vexilora devices from the command line, any number
// at once, with the dialogue, version rules and firmware image of the update utility's window.

#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/FileVersion.h"
#include "app/FirmwareImage.h"
#include "app/ImageDigest.h"
#include "app/flash/Files.h"
#include "app/flash/Fleet.h"
#include "app/flash/Options.h"
#include "app/flash/Output.h"
#include "platform/MessageQueue.h"
#include "platform/Udev.h"

namespace {

// Far beyond any firmware the device's flash can hold.
constexpr size_t kMaxImageSize = 64 * 1024 * 1024;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "vexilora-flash: %s\n\n%s", message.c_str(), flash::kUsage);
  return flash::ecUsage;
}

int Error(int code, const std::string& message) {
  std::fprintf(stderr, "vexilora-flash: %s\n", message.c_str());
  return code;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// What --version prints: the program's version, and the built-in image's version and SHA-256
// (with the digest the build recorded when the image no longer matches it).
int PrintVersion() {
  const std::string own = app::OwnFileVersion();
  std::printf("vexilora-flash %s\n", own.empty() ? "(version record unreadable)" : own.c_str());
  const auto embedded = app::FindResource(app::kFirmwareResourceName);
  if (!embedded) {
    std::printf("built-in image: none\n");
    return flash::ecAllDone;
  }
  const std::string version = app::GetUpdateVersion(*embedded);
  const std::string digest = app::Sha256Hex(*embedded);
  std::printf("built-in image: version %s, %zu bytes, SHA-256 %s\n",
              flash::Printable(version.empty() ? std::string("(no VERSW= tag)") : version).c_str(),
              embedded->size(), digest.c_str());
  const std::optional<std::string> recorded = app::RecordedImageDigest();
  if (recorded && *recorded != digest) {
    std::printf("built-in image DAMAGED: the build recorded SHA-256 %s\n", recorded->c_str());
    return flash::ecFailed;
  }
  return flash::ecAllDone;
}

// The image the updates send and its version; an exit code when it cannot be used.
std::optional<int> LoadImage(const flash::TOptions& options, flash::TFleet& fleet) {
  std::vector<uint8_t> image;
  std::string named;
  if (!options.ImagePath.empty()) {
    named = "the image '" + options.ImagePath + "'";
    std::string error;
    if (!flash::ReadRegularFile(options.ImagePath, "the image", kMaxImageSize, image, error))
      return UsageError(error);
  } else {
    named = "the built-in image";
    const auto embedded = app::FindResource(app::kFirmwareResourceName);
    if (!embedded) return UsageError("this build carries no firmware image: give --image FILE");
    image.assign(embedded->begin(), embedded->end());
  }
  // Checked before anything else about it: a damaged or substituted image is never sent, and
  // the digest goes with it to be checked again before every device's update.
  const std::string digest = app::Sha256Hex(image);
  if (options.ImagePath.empty()) {
    const std::optional<std::string> recorded = app::RecordedImageDigest();
    if (recorded && *recorded != digest)
      return Error(flash::ecUsage, "the built-in image is damaged: its SHA-256 is " + digest +
                                       ", the build recorded " + *recorded +
                                       "; nothing was sent (reinstall vexilora-flash)");
  }
  if (!options.Sha256.empty() && options.Sha256 != digest)
    return Error(flash::ecUsage,
                 flash::Printable(named + " has SHA-256 " + digest + ", not " + options.Sha256 +
                                  " as --sha256 says: refused, nothing was sent"));
  const std::string version = app::GetUpdateVersion(image);
  if (version.empty())
    return Error(flash::ecRefused, named + " carries no version tag (VERSW=): refused");
  // Its version must be comparable, or the rule against older software could not hold.
  if (!flash::VersionComparable(version) && !options.AllowDowngrade)
    return Error(flash::ecRefused,
                 flash::Printable(named + " has version " + version +
                                  ", which cannot be compared with the devices' software (its "
                                  "fourth field is not a number): refused; --allow-downgrade "
                                  "installs it anyway"));
  fleet.SetImage(std::move(image), version,
                 options.Sha256.empty() && options.ImagePath.empty()
                     ? app::RecordedImageDigest().value_or(std::string())
                     : options.Sha256);
  return std::nullopt;
}

int Run(int argc, char** argv) {
  std::string error;
  const std::optional<flash::TOptions> parsed =
      flash::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!parsed) return UsageError(error);
  const flash::TOptions& options = *parsed;
  if (options.Command == flash::TCommand::Help) {
    std::fputs(flash::kUsage, stdout);
    return flash::ecAllDone;
  }
  if (options.Command == flash::TCommand::Version) return PrintVersion();
  for (const std::string& warning : options.Warnings)
    std::fprintf(stderr, "vexilora-flash: warning: %s\n", warning.c_str());

  flash::TFleet fleet(options, stdout);
  if (options.Command == flash::TCommand::Update) {
    // The hardware rule compares each device with this program's own version: without it every
    // hardware would pass.
    if (app::OwnFileVersion().empty())
      return Error(flash::ecRefused,
                   "its own version cannot be read (the running program's version record is "
                   "missing or damaged): without it no device's hardware can be checked, so "
                   "nothing is updated");
    if (const std::optional<int> code = LoadImage(options, fleet)) return *code;
    if (!fleet.OpenLog(error)) return UsageError(error);
  }

  if (options.Command == flash::TCommand::Update && options.Wait) return fleet.Update({});

  const auto found = platform::EnumerateUsbSerialPorts(flash::kVexiloraId);
  if (!found) return Error(flash::ecNoDevice, "the device list cannot be read (udev)");
  std::vector<platform::TUsbSerialPort> ports = *found;

  if (options.Command == flash::TCommand::List) {
    if (ports.empty()) return Error(flash::ecNoDevice, "no Vexilora found");
    return fleet.List(ports);
  }

  if (!options.Device.empty()) {
    std::vector<platform::TUsbSerialPort> chosen;
    for (const auto& port : ports)
      if (SameFile(port.DevicePath, options.Device)) chosen.push_back(port);
    if (chosen.empty()) return Error(flash::ecNoDevice, "no Vexilora at " + options.Device);
    ports = chosen;
  } else if (ports.empty()) {
    return Error(flash::ecNoDevice, "no Vexilora found");
  } else if (!options.All && ports.size() > 1) {
    return UsageError(std::to_string(ports.size()) +
                      " Vexilora devices are attached: choose one with --device PATH or take "
                      "them all with --all");
  }
  return fleet.Update(ports);
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C, SIGTERM and SIGHUP are taken by the fleet's loop once it runs (TFleet::TakeSignals).
  // A closed pipe on standard output ends the lines, not the updates under way; a log that may
  // grow no more is a write error the program reports, not the end of the updates.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  platform::InitMainThread();
  return Run(argc, argv);
}
