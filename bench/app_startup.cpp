// Start-up of the update utility: the time from starting the program to its window being
// painted for the first time, and the resident memory once it is shown. Each of the runs is a
// fresh process (the program's own window code, linked as in vexilora-update), so that the
// figure includes loading Qt and the fonts.
//
//   app-startup [RUNS]        default 10; prints every run and the median
//
// Offscreen unless QT_QPA_PLATFORM is set (run it under xvfb-run with QT_QPA_PLATFORM=xcb to
// measure on a display server).

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/qt/MainWindow.h"
#include "platform/MessageQueue.h"

extern char** environ;

namespace {

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Reports the first paint of the window it watches.
class TFirstPaint : public QObject {
 public:
  explicit TFirstPaint(int64_t startNs) : startNs_(startNs) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !done_) {
      done_ = true;
      const double ms = static_cast<double>(NowNs() - startNs_) / 1e6;
      // Measured after the paint has finished, from the event loop.
      QTimer::singleShot(0, [ms] {
        std::printf("%.1f %ld\n", ms, ResidentKb());
        std::fflush(stdout);
        QCoreApplication::exit(0);
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  int64_t startNs_;
  bool done_ = false;
};

int Child(int argc, char** argv, int64_t startNs) {
  platform::InitMainThread();
  QApplication application(argc, argv);
  appqt::TMainWindow window;
  TFirstPaint watcher(startNs);
  window.installEventFilter(&watcher);
  window.show();
  return application.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* start = std::getenv("APP_STARTUP_CHILD")) {
    return Child(argc, argv, std::strtoll(start, nullptr, 10));
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<double> times;
  std::vector<long> rss;
  for (int i = 0; i < runs; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int64_t start = NowNs();
    setenv("APP_STARTUP_CHILD", std::to_string(start).c_str(), 1);
    pid_t pid = 0;
    char* childArgv[] = {argv[0], nullptr};
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, childArgv, environ) != 0) return 1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buffer[128];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
      out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = 0;
    long kb = 0;
    if (std::sscanf(out.c_str(), "%lf %ld", &ms, &kb) != 2) {
      std::fprintf(stderr, "run %d: no figure (exit status %d)\n", i + 1, status);
      return 1;
    }
    std::printf("run %2d: window shown after %7.1f ms, resident %ld KiB\n", i + 1, ms, kb);
    times.push_back(ms);
    rss.push_back(kb);
  }
  std::sort(times.begin(), times.end());
  std::sort(rss.begin(), rss.end());
  const auto median = [](const auto& v) {
    const size_t n = v.size();
    return n % 2 ? static_cast<double>(v[n / 2])
                 : (static_cast<double>(v[n / 2 - 1]) + static_cast<double>(v[n / 2])) / 2;
  };
  std::printf("start-up to window shown: median %.1f ms of %d runs (min %.1f, max %.1f)\n",
              median(times), runs, times.front(), times.back());
  std::printf("resident memory once shown: median %.0f KiB (%.1f MiB)\n", median(rss),
              median(rss) / 1024.0);
  return 0;
}
