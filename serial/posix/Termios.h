#pragma once

// The line settings and time-outs as termios: what a Linux tty is given, and what it took.

#include <termios.h>

#include <string>

#include "serial/LineSettings.h"

namespace serial {

// Whether termios has a constant for the speed (B9600 ...); other speeds are set on their own
// (see Speed.h).
bool IsStandardSpeed(unsigned baudRate);

// `current` made raw (no translation of any byte, no echo, no signals) and then given
// `settings` and `timeouts`. A speed without a constant is marked BOTHER (CBAUDEX), to be set
// afterwards with SetOtherSpeed. Throws std::invalid_argument for a value termios cannot express.
termios ToTermios(termios current, const LineSettings& settings, const Timeouts& timeouts);

// What of `wanted` the device did not take, as "speed 115200 (wanted 9600), CRTSCTS on", added
// to `mismatch`.
void DescribeMismatch(const termios& wanted, const termios& actual, Mismatch& mismatch);

}  // namespace serial
