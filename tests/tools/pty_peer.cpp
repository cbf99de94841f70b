// SPDX-License-Identifier: MIT
// pty_peer LINK LOG: the far end of a serial line for link tests. Opens a
// pseudo-terminal, points LINK at its slave, echoes every byte back and logs
// the line speed in force when each chunk arrived ("<speed> <bytes>" a line)
// to LOG. Prints "ready" once LINK exists; ends on SIGTERM or after 60 s.
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>

namespace {

volatile std::sig_atomic_t stop = 0;

unsigned Baud(speed_t speed) {
  switch (speed) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pty_peer LINK LOG\n");
    return 2;
  }
  std::signal(SIGTERM, [](int) { stop = 1; });
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  close(slave);
  unlink(argv[1]);
  if (symlink(name, argv[1]) != 0) return 1;
  std::ofstream log(argv[2]);
  std::printf("ready\n");
  std::fflush(stdout);
  for (int waited = 0; !stop && waited < 60000;) {
    pollfd pfd{master, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0 || (pfd.revents & POLLIN) == 0) {
      waited += 100;
      if ((pfd.revents & POLLHUP) != 0) usleep(100000);  // nobody has the slave open
      continue;
    }
    unsigned char buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) continue;
    termios tio{};
    tcgetattr(master, &tio);
    log << Baud(cfgetospeed(&tio)) << ' ' << got << std::endl;
    if (write(master, buffer, static_cast<size_t>(got)) != got) return 1;
  }
  unlink(argv[1]);
  return 0;
}
