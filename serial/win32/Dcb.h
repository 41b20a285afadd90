#pragma once

// The line settings and time-outs as Windows has them: the DCB and COMMTIMEOUTS records; and what
// the driver's COMSTAT says holds the line.

#include <windows.h>

#include "serial/HeldLine.h"
#include "serial/LineSettings.h"

namespace serial {

// A zeroed DCB with `settings` written field by field; every field not named here stays 0.
DCB ToDcb(const LineSettings& settings);

// The time-outs: reads that return at once are ReadIntervalTimeout MAXDWORD and the rest 0.
// Writes never have a time-out, so a write is never cut short by time.
COMMTIMEOUTS ToCommTimeouts(const Timeouts& timeouts);

// What of `wanted` the device did not take, added to `mismatch`: "speed 115200 (wanted 9600),
// fOutxCtsFlow on". DTR and RTS are compared only on a port that has modem lines.
void DescribeMismatch(const DCB& wanted, const DCB& actual, bool modemLines, Mismatch& mismatch);

// What holds the port's output, as the driver's COMSTAT tells it (ClearCommError).
Hold HoldOf(const COMSTAT& status);

}  // namespace serial
