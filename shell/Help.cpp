// What --help and --version say: the synopsis and each option's help from the option table, and
// the program's defaults in words, so that the help changes with them.

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "shell/CommandLine.h"
#include "shell/FailureLog.h"
#include "shell/Platform.h"

namespace shell {
namespace {

using Action = CommandLine::Action;
using Section = Option::Section;

// `text` cut at each space.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// `words` as lines of at most 80 columns: the first after `label` (if any), the rest indented to
// the column the words start in.
std::string Wrap(const std::string& label, const std::vector<std::string>& words,
                 std::size_t indent) {
  std::string lines =
      label.empty() ? label
                    : label + std::string(indent > label.size() ? indent - label.size() : 2, ' ');
  std::size_t column = lines.size();
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0 && column + 1 + words[i].size() > 80) {
      lines += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (i > 0) {
      lines += ' ';
      ++column;
    }
    lines += words[i];
    column += words[i].size();
  }
  return lines + "\n";
}

// "5 seconds", "1 second", "1500 ms".
std::string Duration(std::chrono::milliseconds length) {
  const auto seconds = length.count() / 1000;
  if (length.count() % 1000 != 0) {
    return std::to_string(length.count()) + " ms";
  }
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// "9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS off".
std::string LineWords(const serial::LineSettings& line) {
  static constexpr std::array<const char*, 5> kParity{"no parity", "odd parity", "even parity",
                                                      "mark parity", "space parity"};
  const std::string flow = line.ctsRtsFlow      ? "RTS/CTS flow control"
                           : line.xonXoffOutput ? "XON/XOFF flow control"
                                                : "no flow control";
  const std::string modem =
      line.dtr == line.rts
          ? std::string("DTR and RTS ") + (line.dtr ? "on" : "off")
          : std::string("DTR ") + (line.dtr ? "on" : "off") + ", RTS " + (line.rts ? "on" : "off");
  return std::to_string(line.baudRate) + " baud, " + std::to_string(line.dataBits) +
         " data bits, " + kParity.at(static_cast<std::size_t>(line.parity)) + ", " +
         (line.stopBits == 1 ? "one stop bit" : "two stop bits") + ", " + flow + ", " + modem;
}

// "--baud N", "--verbose, -v", as --help names an option.
std::string Label(const Option& option) {
  return option.name + (option.shortName.empty() ? "" : ", " + option.shortName) +
         (option.value.empty() ? "" : " " + option.value);
}

}  // namespace

std::string Synopsis() {
  // Items are not broken inside their brackets: each wraps whole.
  std::vector<std::string> items;
  std::string actions;
  for (const Option& option : OptionTable()) {
    if (option.action != Action::Run) {
      actions += (actions.empty() ? "" : " | ") + option.name;
    } else {
      items.push_back(
          "[" + option.name +
          (option.value.empty() ? "" : " " + (option.shown.empty() ? option.value : option.shown)) +
          "]");
    }
  }
  return Wrap("Usage: checkfeed", items, 17) + "       checkfeed " + actions + "\n";
}

std::string Usage() {
  // What the program does by default, from its defaults: --help changes with them.
  const Options defaults;
  std::string text =
      Synopsis() + "\n" +
      Wrap("",
           Words("Every " + Duration(defaults.period) +
                 ", sends the next of check1.txt ... check6.txt from the current directory, whole "
                 "and unchanged, to a serial port at " +
                 LineWords(defaults.port.line) +
                 ". After check6.txt one tick sends nothing and "
                 "waits " +
                 Duration(defaults.pause) + "; then the rotation starts again."),
           0);
  for (const Section section : {Section::Options, Section::Line}) {
    text += section == Section::Options ? "\nOptions:\n" : "\nLine options:\n";
    for (const Option& option : OptionTable()) {
      if (option.section != section) {
        continue;
      }
      std::string help = option.help;
      if (!option.range.empty() && option.section == Section::Line) {
        help += " Takes " + option.range + ".";
      }
      if (const std::string fallback = option.DefaultText(); !fallback.empty()) {
        help += " " + fallback + ".";
      }
      text += Wrap("  " + Label(option), Words(help), 17);
    }
  }
  return text + R"(
With a display, checkfeed shows an empty window titled "Form1" and shows
failures (a missing check file, a port that is absent, busy or lost) in a
message box, with what to do about them; it keeps sending while the box is
open. Failures also go to stderr, one line each, and without a display, or with
--no-window, only there. Without a port nothing is sent. A failure that repeats
unchanged is reported the first time, then counted: at most one line every
)" + std::to_string(FailureLog::kSummaryEvery.count()) +
         " minutes, and one when it stops.\n\n" + StopHelp() +
         R"(
Exit status: 0 stopped normally, 1 fatal failure, 2 bad command line.
With --expect, 0 only when every answer was as expected, and 3 when one
differed or was missing, or a send could not be judged.
)";
}

std::string VersionText() {
  return "checkfeed " CHECKFEED_VERSION "\n";
}

}  // namespace shell
