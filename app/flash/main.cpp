// vexilora-flash: updates the firmware of Vexilora devices from the command line, any number
// at once, with the dialogue, version rules and firmware image of the update utility's window.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/FirmwareImage.h"
#include "app/flash/Fleet.h"
#include "app/flash/Options.h"
#include "platform/MessageQueue.h"
#include "platform/Udev.h"

namespace {

// Far beyond any firmware the device's flash can hold.
constexpr std::streamsize kMaxImageSize = 64 * 1024 * 1024;

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

  flash::TFleet fleet(options, stdout);
  if (options.Command == flash::TCommand::Update) {
    if (!options.ImagePath.empty()) {
      std::ifstream in(options.ImagePath, std::ios::binary);
      if (!in) return UsageError("cannot read the image '" + options.ImagePath + "'");
      std::vector<uint8_t> image;
      char chunk[65536];
      while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        image.insert(image.end(), chunk, chunk + in.gcount());
        if (static_cast<std::streamsize>(image.size()) > kMaxImageSize)
          return UsageError("the image '" + options.ImagePath + "' is too large");
      }
      if (in.bad()) return UsageError("cannot read the image '" + options.ImagePath + "'");
      const std::string version = app::GetUpdateVersion(image);
      if (version.empty())
        return Error(flash::ecRefused, "the image '" + options.ImagePath +
                                           "' carries no version tag (VERSW=): refused");
      fleet.SetImage(std::move(image), version);
    } else {
      const auto embedded = app::FindResource(app::kFirmwareResourceName);
      if (!embedded) return UsageError("this build carries no firmware image: give --image FILE");
      const std::string version = app::GetUpdateVersion(*embedded);
      if (version.empty())
        return Error(flash::ecRefused, "the built-in image carries no version tag: refused");
      fleet.SetImage(std::vector<uint8_t>(embedded->begin(), embedded->end()), version);
    }
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
  // Ctrl-C and SIGTERM are taken by the main loop (a signalfd), so they are blocked before
  // any thread exists: every thread the ports start inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A closed pipe on standard output ends the lines, not the updates under way.
  signal(SIGPIPE, SIG_IGN);
  platform::InitMainThread();
  return Run(argc, argv);
}
