#include "serial/posix/Speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace serial {

int SetOtherSpeed(int fd, unsigned baudRate) {
  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) {
    return errno;
  }
  settings.c_cflag &= ~tcflag_t{CBAUD | (CBAUD << IBSHIFT)};
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baudRate;
  settings.c_ospeed = baudRate;
  return ::ioctl(fd, TCSETS2, &settings) == 0 ? 0 : errno;
}

unsigned ReadSpeed(int fd) {
  termios2 settings{};
  return ::ioctl(fd, TCGETS2, &settings) == 0 ? settings.c_ospeed : 0;
}

}  // namespace serial
