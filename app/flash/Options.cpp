#include "app/flash/Options.h"

#include "app/Cp1251.h"
#include "app/ImageDigest.h"
#include "app/Versions.h"
#include "app/flash/Files.h"

namespace flash {

const char* const kUsage =
    "usage: vexilora-flash list [--json] [--query]\n"
    "       vexilora-flash update [--device PATH | --all] [--password P | --password-file FILE]\n"
    "                             [--image FILE] [--sha256 HEX] [--allow-downgrade] [--json]\n"
    "                             [--log FILE] [--timeout SECONDS]\n"
    "       vexilora-flash update --wait [--count N] [the options above but --device/--all]\n"
    "       vexilora-flash --version\n"
    "\n"
    "Updates the firmware of Vexilora devices attached over USB, any number at once.\n"
    "\n"
    "list                 every attached Vexilora: device path, port, USB location\n"
    "  --query            also ask each one for its hardware and software versions and\n"
    "                     whether it is protected by a password\n"
    "update               update the one attached Vexilora (or the ones chosen below)\n"
    "  --device PATH      the Vexilora at PATH (e.g. /dev/ttyACM0)\n"
    "  --all              every attached Vexilora, all at once\n"
    "  --wait             station mode: update each Vexilora as it is plugged in, until\n"
    "                     interrupted or --count N devices are done\n"
    "  --password P       the devices' password (at most 8 characters)\n"
    "  --password-file F  the password is the first line of F\n"
    "  --image FILE       send FILE instead of the built-in firmware; its version is read\n"
    "                     from its own VERSW= tag, and a file without one is refused\n"
    "  --sha256 HEX       refuse the image (the built-in one or --image FILE) unless its\n"
    "                     SHA-256 is HEX; the built-in image is always held to the digest\n"
    "                     the build recorded\n"
    "  --allow-downgrade  also install an image older than the device's software\n"
    "  --log FILE         append one CSV line per finished device to FILE: time, USB\n"
    "                     location, old version, new version, seconds, result, error\n"
    "  --timeout SECONDS  a device silent this long fails (default 60)\n"
    "  --json             one JSON object per line for each event and device result\n"
    "--version            this program's version, and the built-in image's version and\n"
    "                     SHA-256\n"
    "\n"
    "Rules: a device whose hardware version does not match is refused; installing an older\n"
    "version is refused unless --allow-downgrade; a device whose software version cannot be\n"
    "read (e.g. it is in its bootloader) is updated with a warning.\n"
    "Ctrl-C cancels every running transfer, prints what was done and exits with 1.\n"
    "\n"
    "Exit codes:\n"
    "  0  every requested device updated (or listed)\n"
    "  1  one or more devices failed, or interrupted\n"
    "  2  usage error (also an image or password file that cannot be read, and an image\n"
    "     whose SHA-256 is not the one expected)\n"
    "  3  no Vexilora found\n"
    "  4  refused by a version rule (incompatible hardware, downgrade, image without a\n"
    "     version tag) and none failed\n";

namespace {

size_t Utf8Length(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

bool CheckPassword(const std::string& password, std::string& error) {
  if (!app::Utf8ToCp1251(password)) {
    error = "the password holds a character the device cannot take";
    return false;
  }
  if (Utf8Length(password) > 8) {
    error = "the password is longer than 8 characters";
    return false;
  }
  return true;
}

}  // namespace

std::optional<TOptions> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  TOptions o;
  if (args.empty()) {
    error = "a command is needed: list or update";
    return std::nullopt;
  }
  size_t i = 0;
  const std::string& command = args[i++];
  if (command == "--help" || command == "-h" || command == "help") {
    o.Command = TCommand::Help;
    return o;
  }
  if (command == "--version") {
    o.Command = TCommand::Version;
    return o;
  }
  if (command == "list") {
    o.Command = TCommand::List;
  } else if (command == "update") {
    o.Command = TCommand::Update;
  } else {
    error = "unknown command '" + command + "'";
    return std::nullopt;
  }
  const bool update = o.Command == TCommand::Update;
  bool havePassword = false;
  bool haveCount = false;
  auto value = [&](const std::string& name, std::string& out) {
    if (i >= args.size()) {
      error = name + " needs a value";
      return false;
    }
    out = args[i++];
    return true;
  };
  while (i < args.size()) {
    const std::string arg = args[i++];
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o.Command = TCommand::Help;
      return o;
    } else if (arg == "--version") {
      o.Command = TCommand::Version;
      return o;
    } else if (arg == "--json") {
      o.Json = true;
    } else if (arg == "--query" && !update) {
      o.Query = true;
    } else if (arg == "--device" && update) {
      if (!value(arg, o.Device)) return std::nullopt;
      if (o.Device.empty()) {
        error = "--device needs a path";
        return std::nullopt;
      }
    } else if (arg == "--all" && update) {
      o.All = true;
    } else if ((arg == "--password" || arg == "--password-file") && update) {
      if (havePassword) {
        error = "give the password once, with --password or --password-file";
        return std::nullopt;
      }
      havePassword = true;
      if (!value(arg, v)) return std::nullopt;
      if (arg == "--password-file") {
        std::string password, warning;
        if (!ReadPasswordFile(v, password, error, warning)) return std::nullopt;
        if (!warning.empty()) o.Warnings.push_back(warning);
        v = password;
      }
      if (!CheckPassword(v, error)) return std::nullopt;
      o.Password = v;
    } else if (arg == "--image" && update) {
      if (!value(arg, o.ImagePath)) return std::nullopt;
    } else if (arg == "--sha256" && update) {
      if (!value(arg, v)) return std::nullopt;
      const std::optional<std::string> digest = app::NormalizeSha256Hex(v);
      if (!digest) {
        error = "--sha256 needs the 64 hexadecimal digits of a SHA-256, not '" + v + "'";
        return std::nullopt;
      }
      o.Sha256 = *digest;
    } else if (arg == "--allow-downgrade" && update) {
      o.AllowDowngrade = true;
    } else if (arg == "--log" && update) {
      if (!value(arg, o.LogPath)) return std::nullopt;
    } else if (arg == "--wait" && update) {
      o.Wait = true;
    } else if ((arg == "--count" || arg == "--timeout") && update) {
      if (!value(arg, v)) return std::nullopt;
      int n = 0;
      if (!app::TryStrToInt(v, n) || n < 1) {
        error = arg + " needs a whole number of at least 1, not '" + v + "'";
        return std::nullopt;
      }
      if (arg == "--count") {
        o.Count = n;
        haveCount = true;
      } else {
        o.TimeoutSeconds = n;
      }
    } else {
      error = "unknown option '" + arg + "' for " + command;
      return std::nullopt;
    }
  }
  if (!o.Device.empty() && o.All) {
    error = "--device and --all exclude each other";
    return std::nullopt;
  }
  if (o.Wait && (o.All || !o.Device.empty())) {
    error = "--wait takes the devices as they come; it excludes --device and --all";
    return std::nullopt;
  }
  if (haveCount && !o.Wait) {
    error = "--count belongs to --wait";
    return std::nullopt;
  }
  return o;
}

}  // namespace flash
