// The command line through the option table: argument vectors made from the input, split at each
// NUL. Whatever it is given, the parser says run, act or what is wrong, never crashes, and what it
// took describes itself as --help would.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t i = 0; i < size && arguments.size() <= 32; ++i) {
    if (input[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += static_cast<char>(input[i]);
    }
  }
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  const shell::CommandLine line = shell::ParseCommandLine(pointers);
  if (line.action == shell::CommandLine::Action::Bad) {
    if (line.error.empty()) {
      std::abort();  // a bad command line always says what is wrong
    }
    return 0;
  }
  for (const shell::Option& option : shell::OptionTable()) {
    if (option.describe) {
      [[maybe_unused]] const std::string described = option.describe(line.options);
    }
  }
  return 0;
}
