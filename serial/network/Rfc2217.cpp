#include "serial/network/Rfc2217.h"

#include <utility>

namespace serial::rfc2217 {
namespace {

// Telnet's commands (RFC 854) and the options used here.
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPortOption = 44;

// What this client performs itself, and what it wants the server to: BINARY both ways (so CR and
// NUL travel as they are), no go-aheads, and on its own side COM-PORT-OPTION.
bool OursWanted(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}
bool TheirsWanted(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead;
}

// RFC 2217's commands, client to server; the server answers with the same number plus 100.
enum Command : std::uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyLineState = 6,
  kNotifyModemState = 7,
  kFlowControlSuspend = 8,
  kFlowControlResume = 9,
  kSetModemStateMask = 11,
  kPurgeData = 12,
};
constexpr std::uint8_t kServer = 100;

// SET-CONTROL's values.
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kXonXoff = 2;
constexpr std::uint8_t kHardware = 3;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kDtrOff = 9;
constexpr std::uint8_t kRtsOn = 11;
constexpr std::uint8_t kRtsOff = 12;
constexpr std::uint8_t kPurgeBoth = 3;
constexpr std::uint8_t kPurgeTransmit = 2;
constexpr std::uint8_t kCts = 0x10;
constexpr std::uint8_t kOverrunError = 0x02;

std::byte B(std::uint8_t value) {
  return std::byte{value};
}

void Append(std::vector<std::byte>& out, std::initializer_list<std::uint8_t> bytes) {
  for (const std::uint8_t value : bytes) {
    out.push_back(B(value));
  }
}

// IAC SB COM-PORT-OPTION command value... IAC SE, the value's IACs doubled.
void AppendCommand(std::vector<std::byte>& out, std::uint8_t command,
                   std::initializer_list<std::uint8_t> value) {
  Append(out, {kIac, kSb, kComPortOption, command});
  for (const std::uint8_t byte : value) {
    Append(out, {byte});
    if (byte == kIac) {
      Append(out, {kIac});
    }
  }
  Append(out, {kIac, kSe});
}

std::uint8_t ParityValue(Parity parity) {
  switch (parity) {
    case Parity::None:
      return 1;
    case Parity::Odd:
      return 2;
    case Parity::Even:
      return 3;
    case Parity::Mark:
      return 4;
    case Parity::Space:
      return 5;
  }
  return 1;
}

std::uint8_t FlowValue(const LineSettings& line) {
  return line.ctsRtsFlow ? kHardware : line.xonXoffOutput ? kXonXoff : kNoFlowControl;
}

std::string ParityName(std::uint32_t value) {
  constexpr std::array<const char*, 6> names{"?", "NONE", "ODD", "EVEN", "MARK", "SPACE"};
  return value < names.size() ? names[value] : std::to_string(value);
}

std::string FlowName(std::uint32_t value) {
  switch (value) {
    case kNoFlowControl:
      return "none";
    case kXonXoff:
      return "XON/XOFF";
    case kHardware:
      return "RTS/CTS";
    default:
      return std::to_string(value);
  }
}

}  // namespace

std::vector<std::byte> Client::Start(const LineSettings& line) {
  std::vector<std::byte> out;
  // Each option asked for once, unless the server has already agreed to it.
  const auto ask = [&](std::array<Q, 256>& states, std::uint8_t verb, std::uint8_t option) {
    if (states[option] == Q::No) {
      states[option] = Q::WantYes;
      Append(out, {kIac, verb, option});
    }
  };
  ask(ours_, kWill, kBinary);
  ask(theirs_, kDo, kBinary);
  ask(ours_, kWill, kSuppressGoAhead);
  ask(theirs_, kDo, kSuppressGoAhead);
  ask(ours_, kWill, kComPortOption);
  const std::uint32_t baud = line.baudRate;
  AppendCommand(out, kSetBaudRate,
                {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                 static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
  AppendCommand(out, kSetDataSize, {static_cast<std::uint8_t>(line.dataBits)});
  AppendCommand(out, kSetParity, {ParityValue(line.parity)});
  AppendCommand(out, kSetStopSize, {static_cast<std::uint8_t>(line.stopBits)});
  AppendCommand(out, kSetControl, {FlowValue(line)});
  AppendCommand(out, kSetControl, {line.dtr ? kDtrOn : kDtrOff});
  if (!line.ctsRtsFlow) {  // under RTS/CTS the server's port drives RTS itself
    AppendCommand(out, kSetControl, {line.rts ? kRtsOn : kRtsOff});
  }
  if (line.ctsRtsFlow) {
    AppendCommand(out, kSetModemStateMask, {kCts});
  }
  AppendCommand(out, kPurgeData, {kPurgeBoth});
  return out;
}

void Client::Escape(std::span<const std::byte> data, std::vector<std::byte>& out) {
  for (const std::byte byte : data) {
    out.push_back(byte);
    if (byte == B(kIac)) {
      out.push_back(byte);
    }
  }
}

std::vector<std::byte> Client::PurgeTransmit() {
  std::vector<std::byte> out;
  AppendCommand(out, kPurgeData, {kPurgeTransmit});
  return out;
}

void Client::Take(std::span<const std::byte> bytes, std::vector<std::byte>& data,
                  std::vector<std::byte>& reply) {
  for (const std::byte byte : bytes) {
    const auto value = std::to_integer<std::uint8_t>(byte);
    switch (state_) {
      case State::Data:
        if (value == kIac) {
          state_ = State::Command;
        } else {
          data.push_back(byte);
        }
        break;
      case State::Command:
        state_ = State::Data;
        if (value == kIac) {
          data.push_back(byte);  // a doubled IAC is one 0xFF of the device's
        } else if (value == kWill || value == kWont || value == kDo || value == kDont) {
          verb_ = value;
          state_ = State::Option;
        } else if (value == kSb) {
          sub_.clear();
          subTooLong_ = false;
          state_ = State::Subnegotiation;
        } else if (value == kSe) {
          Bad("SE outside a subnegotiation");
        }  // NOP, GA and telnet's other commands ask nothing of a client
        break;
      case State::Option:
        Negotiate(verb_, value, reply);
        state_ = State::Data;
        break;
      case State::Subnegotiation:
        if (value == kIac) {
          state_ = State::SubnegotiationCommand;
        } else {
          Keep(byte);
        }
        break;
      case State::SubnegotiationCommand:
        if (value == kIac) {
          Keep(byte);
          state_ = State::Subnegotiation;
        } else {
          state_ = State::Data;
          if (value != kSe) {
            Bad("IAC " + std::to_string(value) + " inside a subnegotiation");
          } else if (!subTooLong_) {
            Subnegotiation();
          }
        }
        break;
    }
  }
}

void Client::Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::byte>& reply) {
  switch (verb) {
    case kWill:
    case kWont:
      Theirs(option, verb == kWill, reply);
      break;
    case kDo:
    case kDont:
      Ours(option, verb == kDo, reply);
      break;
    default:
      break;
  }
}

// RFC 1143's rules for one side; `state` the option's there, `wanted` whether this client agrees
// to it being on, `yes` and `no` the verbs that agree and refuse. Returns the verb to answer with,
// or 0 when a request is an answer and needs none.
namespace {

template <typename State>
std::uint8_t Answer(State& state, bool on, bool wanted, std::uint8_t yes, std::uint8_t no) {
  if (on) {
    switch (state) {
      case State::No:
        state = wanted ? State::Yes : State::No;
        return wanted ? yes : no;  // each new request is answered, a refusal every time
      case State::WantYes:
        state = State::Yes;  // the answer to our own request
        return 0;
      case State::WantNo:
        state = State::No;  // it answered a refusal with an offer: it stays off (RFC 1143)
        return 0;
      case State::Yes:
        return 0;
    }
  }
  switch (state) {
    case State::Yes:
      state = State::No;
      return no;  // it turned the option off: agreed to, once
    case State::WantYes:
    case State::WantNo:
    case State::No:
      state = State::No;
      return 0;
  }
  return 0;
}

}  // namespace

// A refusal of what the client cannot do without is said, whether it answers the client's own
// request, turns the option off, or comes before the client asked (a server that will not).
void Client::Theirs(std::uint8_t option, bool on, std::vector<std::byte>& reply) {
  if (const std::uint8_t verb = Answer(theirs_[option], on, TheirsWanted(option), kDo, kDont)) {
    Append(reply, {kIac, verb, option});
  }
  if (option == kBinary && !on) {
    refusal_ = "it does not send binary data (BINARY refused)";
  }
}

void Client::Ours(std::uint8_t option, bool on, std::vector<std::byte>& reply) {
  if (const std::uint8_t verb = Answer(ours_[option], on, OursWanted(option), kWill, kWont)) {
    Append(reply, {kIac, verb, option});
  }
  if (!on) {
    if (option == kComPortOption) {
      refusal_ = "it does not take RFC 2217 (COM-PORT-OPTION refused)";
    } else if (option == kBinary) {
      refusal_ = "it does not take binary data (BINARY refused)";
    }
  }
}

void Client::Subnegotiation() {
  if (sub_.size() < 2 || std::to_integer<std::uint8_t>(sub_[0]) != kComPortOption) {
    return;  // another option's, or empty: nothing asked of a client
  }
  const auto command = std::to_integer<std::uint8_t>(sub_[1]);
  const std::span<const std::byte> value = std::span(sub_).subspan(2);
  if (command < kServer) {
    return;  // a client's command: not the server's to send; ignored
  }
  const auto one = [&](Setting setting) {
    if (value.size() != 1) {
      Bad("a reply to command " + std::to_string(command - kServer) + " of " +
          std::to_string(value.size()) + " bytes");
      return;
    }
    acknowledged_[static_cast<std::size_t>(setting)] = std::to_integer<std::uint8_t>(value[0]);
  };
  switch (command - kServer) {
    case kSetBaudRate: {
      if (value.size() != 4) {
        Bad("a speed of " + std::to_string(value.size()) + " bytes");
        return;
      }
      std::uint32_t baud = 0;
      for (const std::byte byte : value) {
        baud = (baud << 8) | std::to_integer<std::uint8_t>(byte);
      }
      acknowledged_[static_cast<std::size_t>(Setting::BaudRate)] = baud;
      break;
    }
    case kSetDataSize:
      one(Setting::DataSize);
      break;
    case kSetParity:
      one(Setting::Parity);
      break;
    case kSetStopSize:
      one(Setting::StopSize);
      break;
    case kSetControl: {
      if (value.size() != 1) {
        Bad("a control reply of " + std::to_string(value.size()) + " bytes");
        return;
      }
      const auto control = std::to_integer<std::uint8_t>(value[0]);
      if (control >= kNoFlowControl && control <= kHardware) {
        acknowledged_[static_cast<std::size_t>(Setting::FlowControl)] = control;
      } else if (control == kDtrOn || control == kDtrOff) {
        acknowledged_[static_cast<std::size_t>(Setting::Dtr)] = control;
      } else if (control == kRtsOn || control == kRtsOff) {
        acknowledged_[static_cast<std::size_t>(Setting::Rts)] = control;
      }
      break;
    }
    case kPurgeData:
      one(Setting::Purge);
      break;
    case kNotifyModemState:
      if (value.size() == 1) {
        cts_ = (std::to_integer<std::uint8_t>(value[0]) & kCts) != 0;
      }
      break;
    case kNotifyLineState:
      if (value.size() == 1 && (std::to_integer<std::uint8_t>(value[0]) & kOverrunError) != 0) {
        overrun_ = true;
      }
      break;
    case kFlowControlSuspend:
      suspended_ = true;
      break;
    case kFlowControlResume:
      suspended_ = false;
      break;
    default:
      break;  // the masks' and the signature's replies tell nothing needed
  }
}

std::string Client::Mismatch(const LineSettings& line) const {
  serial::Mismatch mismatch;
  const auto compare = [&](Setting setting, std::uint32_t wanted, const std::string& name,
                           auto&& text) {
    if (const auto got = Acknowledged(setting); got && *got != wanted) {
      mismatch.Item(name + " " + text(*got) + " (wanted " + text(wanted) + ")");
    }
  };
  const auto number = [](std::uint32_t value) { return std::to_string(value); };
  if (const auto baud = Acknowledged(Setting::BaudRate); baud && *baud != line.baudRate) {
    mismatch.Speed(*baud, line.baudRate);
  }
  compare(Setting::DataSize, line.dataBits, "data size", number);
  compare(Setting::Parity, ParityValue(line.parity), "parity", ParityName);
  compare(Setting::StopSize, line.stopBits, "stop size", number);
  compare(Setting::FlowControl, FlowValue(line), "flow control", FlowName);
  return mismatch.Text();
}

void Client::Keep(std::byte byte) {
  if (sub_.size() < kMaxSubnegotiation) {
    sub_.push_back(byte);
  } else if (!subTooLong_) {
    // Said as soon as it is too long: one that never ends takes everything after it.
    subTooLong_ = true;
    Bad("a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) + " bytes");
  }
}

void Client::Bad(std::string what) {
  if (malformedCount_++ == 0) {
    malformed_ = std::move(what);
  }
}

}  // namespace serial::rfc2217
