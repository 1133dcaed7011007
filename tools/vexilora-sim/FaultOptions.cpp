#include "tools/vexilora-sim/FaultOptions.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vexsim {

const char kFaultUsage[] =
    "  --silent                 answer nothing at all\n"
    "  --silent-from CMD        from CMD on (it included) do and answer nothing until re-plugged\n"
    "  --unended-reply CMD      begin the reply to CMD but never end it (then stay silent)\n"
    "  --error-on CMD           answer CMD with ERROR (\"pass=\": any password); repeatable\n"
    "  --nak-first-block        answer the first arrival of block 1 with NAK\n"
    "  --nak-every-block        answer every block with NAK\n"
    "  --cancel-after N         accept N blocks, then cancel the transfer\n"
    "  --stray-line-after N     write a stray line right after the ACK of block N\n"
    "  --stray-line TEXT        that line's bytes (\\r \\n \\\\ \\xNN), default \\r\\nOK\\r\\n\n"
    "  --error-after-transfer   reject the image: ERROR instead of OK after the transfer\n"
    "  --versw-error-after-run  after an update and run, versw? gets ERROR until re-plugged\n"
    "  --versw-error-forever    versw? gets ERROR from the updated application, re-plugged too\n"
    "  --sw-after-update V      after an update report software version V, not the image's\n"
    "  --reply-delay-ms N       send every answer to the host N ms late\n"
    "  --duplicate-replies      send every reply line twice\n"
    "  --single-byte-replies    write replies one byte at a time\n";

bool ParseCount(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

TOptionParse ParseFaultOption(const char* program, int argc, char** argv, int& i,
                              TOptions& options) {
  const std::string arg = argv[i];
  bool bad = false;
  auto value = [&]() -> std::string {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", program, arg.c_str());
      bad = true;
      return {};
    }
    return argv[++i];
  };
  auto count = [&]() {
    const std::string text = value();
    int n = 0;
    if (!bad && !ParseCount(text.c_str(), n)) {
      std::fprintf(stderr, "%s: %s wants a count, not '%s'\n", program, arg.c_str(), text.c_str());
      bad = true;
    }
    return n;
  };
  if (arg == "--silent") {
    options.Silent = true;
  } else if (arg == "--silent-from") {
    options.SilentFrom = value();
  } else if (arg == "--unended-reply") {
    options.UnendedReplyTo = value();
  } else if (arg == "--error-on") {
    options.ErrorOn.push_back(value());
  } else if (arg == "--nak-first-block") {
    options.NakFirstBlock = true;
  } else if (arg == "--nak-every-block") {
    options.NakEveryBlock = true;
  } else if (arg == "--cancel-after") {
    options.CancelAfterBlock = count();
  } else if (arg == "--stray-line-after") {
    options.StrayLineAfterBlock = count();
    if (!bad && options.StrayLineAfterBlock == 0) {
      std::fprintf(stderr, "%s: blocks count from 1\n", program);
      bad = true;
    }
  } else if (arg == "--stray-line") {
    const std::string text = value();
    if (!bad && !Unescape(text, options.StrayLine)) {
      std::fprintf(stderr, "%s: %s understands \\r \\n \\\\ and \\xNN only: '%s'\n", program,
                   arg.c_str(), text.c_str());
      bad = true;
    }
  } else if (arg == "--error-after-transfer") {
    options.ErrorAfterTransfer = true;
  } else if (arg == "--versw-error-after-run") {
    options.VersionErrorAfterRun = true;
  } else if (arg == "--versw-error-forever") {
    options.VersionErrorForever = true;
  } else if (arg == "--sw-after-update") {
    options.VersionAfterUpdate = value();
  } else if (arg == "--reply-delay-ms") {
    options.ReplyDelayMs = static_cast<uint32_t>(count());
  } else if (arg == "--duplicate-replies") {
    options.DuplicateReplies = true;
  } else if (arg == "--single-byte-replies") {
    options.SingleByteReplies = true;
  } else {
    return TOptionParse::NotMine;
  }
  return bad ? TOptionParse::Bad : TOptionParse::Taken;
}

}  // namespace vexsim
