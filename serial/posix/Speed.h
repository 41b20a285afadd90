#pragma once

// Speeds termios has no constant for (250000, 31250, ...). They go through termios2 and
// BOTHER, whose kernel header clashes with <termios.h>, so they live in a file of their own.

namespace serial {

// Sets `fd`'s input and output speed to `baudRate` bits per second. Returns 0 or an errno value.
// The driver may round it to what its clock can make: read it back.
int SetOtherSpeed(int fd, unsigned baudRate);

// `fd`'s output speed in bits per second, however it was set; 0 when it cannot be read.
unsigned ReadSpeed(int fd);

}  // namespace serial
