// Whether the system passes termios2 through to a tty, asked with the raw request: not through the
// program's own ReadSpeed, which a test of it must not rest on. <asm/termbits.h> clashes with
// <termios.h>, so this has a file of its own.

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace testing_support {

bool Termios2Passes(int fd) {
  termios2 settings{};
  return ::ioctl(fd, TCGETS2, &settings) == 0;
}

}  // namespace testing_support
