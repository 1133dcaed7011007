// Holds a serial device the way another program holding it does: opens it, takes the exclusive
// lock this utility takes on its ports, says "held" on standard output and keeps both until it
// is ended. Run under a name of its choice (through a link), it stands for that program.
//
//   port-holder DEVICE

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: port-holder DEVICE\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "port-holder: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "port-holder: lock %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  while (true) pause();
}
