#include "serial/win32/Dcb.h"

#include <stdexcept>
#include <string>

namespace serial {
namespace {

BYTE ParityField(Parity parity) {
  switch (parity) {
    case Parity::None:
      return NOPARITY;
    case Parity::Odd:
      return ODDPARITY;
    case Parity::Even:
      return EVENPARITY;
    case Parity::Mark:
      return MARKPARITY;
    case Parity::Space:
      return SPACEPARITY;
  }
  throw std::invalid_argument("unknown parity");
}

}  // namespace

DCB ToDcb(const LineSettings& settings) {
  if (settings.dataBits < 5 || settings.dataBits > 8) {
    throw std::invalid_argument("unsupported data bits " + std::to_string(settings.dataBits));
  }
  if (settings.stopBits != 1 && settings.stopBits != 2) {
    throw std::invalid_argument("unsupported stop bits " + std::to_string(settings.stopBits));
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = settings.baudRate;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = settings.ctsRtsFlow ? TRUE : FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = settings.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = FALSE;
  dcb.fOutX = settings.xonXoffOutput ? TRUE : FALSE;
  dcb.fInX = settings.xonXoffInput ? TRUE : FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  // With RTS/CTS the driver drives RTS itself, from the fill of its input queue.
  if (settings.ctsRtsFlow && settings.rts) {
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    dcb.fRtsControl = settings.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  dcb.fAbortOnError = FALSE;
  dcb.wReserved1 = 0;
  dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
  dcb.Parity = ParityField(settings.parity);
  dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  // Windows refuses XON/XOFF whose two characters are alike, as the zeroed record's are.
  if (settings.xonXoffOutput || settings.xonXoffInput) {
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
  return dcb;
}

COMMTIMEOUTS ToCommTimeouts(const Timeouts& timeouts) {
  COMMTIMEOUTS result{};
  const DWORD tenths = DWORD{timeouts.readTenths} * 100;
  if (timeouts.readMinimum == 0 && timeouts.readTenths == 0) {
    result.ReadIntervalTimeout = MAXDWORD;  // return at once with what has arrived
  } else if (timeouts.readMinimum == 0) {
    // Wait up to the time for the first byte, then return with what has arrived.
    result.ReadIntervalTimeout = MAXDWORD;
    result.ReadTotalTimeoutMultiplier = MAXDWORD;
    result.ReadTotalTimeoutConstant = tenths;
  } else {
    result.ReadIntervalTimeout = tenths;  // 0: wait for the bytes however long it takes
  }
  return result;
}

void DescribeMismatch(const DCB& wanted, const DCB& actual, bool modemLines, Mismatch& mismatch) {
  if (actual.BaudRate != wanted.BaudRate) {
    mismatch.Speed(actual.BaudRate, wanted.BaudRate);
  }
  if (actual.ByteSize != wanted.ByteSize) {
    mismatch.Item("character size");
  }
  if (actual.Parity != wanted.Parity) {
    mismatch.Item("parity");
  }
  if (actual.StopBits != wanted.StopBits) {
    mismatch.Item("stop bits");
  }
  mismatch.Flag("fBinary", wanted.fBinary != 0, actual.fBinary != 0);
  mismatch.Flag("fOutxCtsFlow", wanted.fOutxCtsFlow != 0, actual.fOutxCtsFlow != 0);
  mismatch.Flag("fOutxDsrFlow", wanted.fOutxDsrFlow != 0, actual.fOutxDsrFlow != 0);
  mismatch.Flag("fOutX", wanted.fOutX != 0, actual.fOutX != 0);
  mismatch.Flag("fInX", wanted.fInX != 0, actual.fInX != 0);
  if (modemLines && actual.fDtrControl != wanted.fDtrControl) {
    mismatch.Item("fDtrControl " + std::to_string(actual.fDtrControl));
  }
  if (modemLines && actual.fRtsControl != wanted.fRtsControl) {
    mismatch.Item("fRtsControl " + std::to_string(actual.fRtsControl));
  }
}

Hold HoldOf(const COMSTAT& status) {
  if (status.fCtsHold) {
    return Hold::CtsLow;
  }
  if (status.fXoffHold) {
    return Hold::Xoff;
  }
  if (status.fDsrHold) {
    return Hold::DsrLow;
  }
  return Hold::Unknown;
}

}  // namespace serial
