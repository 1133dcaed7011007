// host-turnaround: how quickly an Xmodem sender answers an ACK with the next block, on a plain
// pty (no line pacing). The scripted receiver on the master side timestamps the moment it
// writes each ACK and the moment the read that brings the first byte of the next block
// returns. The sender under measurement and lrzsz `sx -k` run in the same harness, one after
// the other, and the medians are compared.
//
//   host-turnaround --sender PATH [--size N] [--rounds R]

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bench/support/Bench.h"

namespace {

using namespace bench;

struct TFigures {
  bool Ok = false;
  std::vector<int64_t> Turnaround;
  int64_t Median = 0;
  int64_t P95 = 0;
};

TFigures Measure(const std::string& label, const std::vector<std::string>& argvBeforeFile,
                 bool onStdio, const std::string& file, TempDir& dir) {
  TFigures f;
  const std::string filePath = dir / "image.bin";
  Pty pty;
  Child sender;
  std::vector<std::string> argv = argvBeforeFile;
  if (!onStdio) argv.push_back(pty.SlavePath());
  argv.push_back(filePath);
  const std::string log = dir / (label + ".log");
  int slave = onStdio ? pty.OpenSlave() : -1;
  sender.Start(argv, log, slave);
  if (slave >= 0) ::close(slave);
  // Both senders switch their line to raw mode before they wait for the handshake.
  if (!pty.WaitRawUser(10000)) {
    std::printf("  %s: the sender did not set up its line\n%s\n", label.c_str(),
                ReadFile(log).c_str());
    return f;
  }
  std::atomic<bool> stop{false};
  ReceiverResult r = ReceiveXmodem(pty.Master(), 3000, 20000, stop);
  int status = sender.Wait(30000);
  if (status < 0) sender.Kill();
  const bool dataOk = r.Data == PaddedToBlocks(file, 1024);
  if (!r.Ok || !dataOk || status != 0) {
    std::printf("  %s: FAILED (receiver %s, data %s, sender exit %d)\n%s\n", label.c_str(),
                r.Ok ? "ok" : r.Error.c_str(), dataOk ? "intact" : "DIFFERENT", status,
                ReadFile(log).c_str());
    return f;
  }
  for (size_t i = 0; i < r.AckWritten.size(); ++i) {
    f.Turnaround.push_back(r.NextBlockArrived[i] - r.AckWritten[i]);
  }
  f.Median = Percentile(f.Turnaround, 50);
  f.P95 = Percentile(f.Turnaround, 95);
  f.Ok = true;
  std::printf("  %-12s median %s, p95 %s, max %s (%zu blocks, %u NAK, %u repeated)\n",
              (label + ":").c_str(), FormatUs(f.Median).c_str(), FormatUs(f.P95).c_str(),
              FormatUs(Percentile(f.Turnaround, 100)).c_str(), f.Turnaround.size(), r.Naks,
              r.Duplicates);
  std::fflush(stdout);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::string senderPath;
  size_t size = 4u << 20;
  int rounds = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sender" && i + 1 < argc) {
      senderPath = argv[++i];
    } else if (a == "--size" && i + 1 < argc) {
      size = std::stoul(argv[++i]);
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::stoi(argv[++i]);
    } else {
      senderPath.clear();
      break;
    }
  }
  if (senderPath.empty() || rounds < 1) {
    std::fprintf(stderr, "usage: host-turnaround --sender PATH [--size N] [--rounds R]\n");
    return 2;
  }
  bool ok = true;
  try {
    TempDir dir;
    const std::string file = Pattern(size, 7);
    WriteFile(dir / "image.bin", file);
    std::vector<int64_t> allOurs;
    std::vector<int64_t> allTheirs;
    for (int round = 1; round <= rounds; ++round) {
      std::printf(
          "host turnaround, %zu bytes over a plain pty, ACK written -> first byte of "
          "the next block read%s\n",
          size, rounds > 1 ? (" (round " + std::to_string(round) + ")").c_str() : "");
      TFigures ours = Measure("xmodem-send", {senderPath, "--1k"}, false, file, dir);
      TFigures theirs = Measure("sx -k", {"sx", "-k"}, true, file, dir);
      if (!ours.Ok || !theirs.Ok) {
        ok = false;
        continue;
      }
      std::printf("  ratio xmodem-send / sx -k: median %.2f, p95 %.2f (goal: median <= 1.00)\n",
                  static_cast<double>(ours.Median) / static_cast<double>(theirs.Median),
                  static_cast<double>(ours.P95) / static_cast<double>(theirs.P95));
      std::fflush(stdout);
      allOurs.insert(allOurs.end(), ours.Turnaround.begin(), ours.Turnaround.end());
      allTheirs.insert(allTheirs.end(), theirs.Turnaround.begin(), theirs.Turnaround.end());
    }
    if (rounds > 1 && ok) {
      const int64_t m1 = Percentile(allOurs, 50), m2 = Percentile(allTheirs, 50);
      std::printf(
          "all %d rounds: xmodem-send median %s, p95 %s; sx -k median %s, p95 %s; "
          "ratio of medians %.2f (goal <= 1.00)\n",
          rounds, FormatUs(m1).c_str(), FormatUs(Percentile(allOurs, 95)).c_str(),
          FormatUs(m2).c_str(), FormatUs(Percentile(allTheirs, 95)).c_str(),
          static_cast<double>(m1) / static_cast<double>(m2));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "host-turnaround: %s\n", e.what());
    return 1;
  }
  return ok ? 0 : 1;
}
