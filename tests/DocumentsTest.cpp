// The documents a user reads (the README, the manual page, the Windows README.txt) against the
// table of options the program parses with: every option named, with its default and the values
// it takes, so that neither can drift in one place unseen.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "shell/CommandLine.h"

namespace {

std::string Read(const std::string& name) {
  std::ifstream in(std::string(CHECKFEED_SOURCE_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  std::erase(all, '\r');
  return all;
}

// `text` with runs of white space made one space.
std::string Flat(const std::string& text) {
  return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

// What a document says of each option: from a line that starts its entry to the next one.
// `starts` matches such a line and captures the option's name.
std::vector<std::pair<std::string, std::string>> Entries(const std::string& section,
                                                         const std::regex& starts,
                                                         const std::regex& ends) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream lines(section);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, starts)) {
      entries.emplace_back(match[1], "");
    } else if (std::regex_search(line, ends)) {
      entries.emplace_back("", "");  // what follows is no option's
      continue;
    }
    if (!entries.empty()) {
      entries.back().second += line + "\n";
    }
  }
  return entries;
}

// Checks that the document's entries name every option of the table (or of its line options),
// each with its default (after `prefix`, "Default: ") and its values.
void ExpectEveryOption(const std::string& document,
                       const std::vector<std::pair<std::string, std::string>>& entries,
                       const std::string& prefix = "Default: ", bool lineOnly = false) {
  for (const shell::Option& option : shell::OptionTable()) {
    if (lineOnly && option.section != shell::Option::Section::Line) {
      continue;
    }
    std::string said;
    for (const auto& [name, text] : entries) {
      if (name == option.name) {
        said += Flat(text);
      }
    }
    EXPECT_FALSE(said.empty()) << document << " does not describe " << option.name;
    if (said.empty()) {
      continue;
    }
    if (option.describe) {
      const std::string fallback = prefix + option.describe(shell::Options{});
      EXPECT_NE(said.find(fallback), std::string::npos)
          << document << ": " << option.name << " should say \"" << fallback << "\": " << said;
    }
    if (!option.range.empty()) {
      EXPECT_NE(said.find(option.range), std::string::npos)
          << document << ": " << option.name << " should say it takes \"" << option.range
          << "\": " << said;
    }
  }
}

TEST(DocumentsTest, TheReadmeShowsTheHelpAsItIsAndItsTableTheLineOptions) {
  const std::string readme = Read("README.md");
  const std::string usage = shell::Usage();
  const std::size_t block = readme.find(usage.substr(0, usage.find('\n')));
  ASSERT_NE(block, std::string::npos) << "README.md shows no --help";
  const std::string shown = readme.substr(block, readme.find("```", block) - block);
  // The README shows --help up to the notes that follow the options, as the program prints it.
  const std::string options = usage.substr(0, usage.find("\nWith a display"));
  EXPECT_EQ(shown.substr(0, options.size()), options);

  const std::string table = readme.substr(readme.find("| option | default |"));
  ExpectEveryOption("README.md's table of line options",
                    Entries(table.substr(0, table.find("\n\n")), std::regex(R"(^\| `(--[a-z-]+))"),
                            std::regex("^$")),
                    "| ", true);
}

TEST(DocumentsTest, TheManualPageDescribesEveryOptionWithItsDefaultAndValues) {
  std::string manual = Read("packaging/checkfeed.1");
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");
  const std::size_t start = manual.find(".SH OPTIONS");
  ASSERT_NE(start, std::string::npos);
  const std::string options = manual.substr(start, manual.find("\n.SH", start + 1) - start);
  // Each entry is a .TP paragraph whose first line names the option.
  const std::string plain = std::regex_replace(
      options, std::regex(R"(^\.(B|BI|BR|I|IR|RB)\s+)", std::regex::multiline), "");
  ExpectEveryOption("checkfeed.1",
                    Entries(std::regex_replace(plain, std::regex(R"(\.TP\n)"), ".TP "),
                            std::regex(R"(^\.TP (--[a-z-]+))"), std::regex(R"(^\.(SS|PP))")));
  const std::string synopsis = manual.substr(manual.find(".SH SYNOPSIS"));
  for (const shell::Option& option : shell::OptionTable()) {
    EXPECT_NE(synopsis.find(option.name), std::string::npos)
        << "the manual's synopsis lacks " << option.name;
  }
  // The exit statuses --help names.
  for (const char* status : {".B 0\n", ".B 1\n", ".B 2\n", ".B 3\n"}) {
    EXPECT_NE(manual.find(status), std::string::npos) << "the manual lacks exit status " << status;
  }
}

TEST(DocumentsTest, TheWindowsReadmeDescribesEveryOptionWithItsDefaultAndValues) {
  const std::string readme = Read("packaging/windows/README.txt");
  const std::size_t start = readme.find("\nOptions\n-------\n");
  ASSERT_NE(start, std::string::npos);
  const std::string options = readme.substr(start, readme.find("\n\n\n", start + 1) - start);
  ExpectEveryOption("README.txt",
                    Entries(options, std::regex(R"(^  (--[a-z-]+))"), std::regex(R"(^\S)")));
}

}  // namespace
