#include "shell/Verdicts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "os/Escape.h"

namespace shell {
namespace {

using Kind = feeder::Verdict::Kind;

std::string Escaped(std::string_view text) {
  std::string escaped;
  for (const char letter : text) {
    switch (letter) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += letter;
    }
  }
  return escaped;
}

std::string Seconds(std::chrono::nanoseconds length) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.4f", std::chrono::duration<double>(length).count());
  return text.data();
}

std::string Count(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

bool Verdicts::AnyFailed() const {
  return std::any_of(verdicts_.begin(), verdicts_.end(),
                     [](const feeder::Verdict& verdict) { return verdict.Failed(); });
}

std::string Verdicts::Summary() const {
  std::array<std::size_t, 4> kinds{};
  std::vector<std::chrono::nanoseconds> latencies;
  for (const feeder::Verdict& verdict : verdicts_) {
    ++kinds.at(static_cast<std::size_t>(verdict.kind));
    if (verdict.latency && verdict.kind != Kind::NotJudged) {
      latencies.push_back(*verdict.latency);
    }
  }
  const std::size_t judged = verdicts_.size() - kinds[3];
  if (verdicts_.empty()) {
    return "no answer judged: no check file sent has a checkN.expect or checkN.match beside it";
  }
  std::string text = Count(judged, "answer judged: ", "answers judged: ") +
                     std::to_string(kinds[0]) + " as expected, " + std::to_string(kinds[1]) +
                     " differed, " + std::to_string(kinds[2]) + " missing";
  if (kinds[3] > 0) {
    text += "; " + Count(kinds[3], "send", "sends") + " not judged";
  }
  if (latencies.empty()) {
    return text + "; no latency: nothing answered";
  }
  // Nearest rank: the value at or below which the given share of the latencies lie.
  std::sort(latencies.begin(), latencies.end());
  const auto rank = [&latencies](double share) {
    const auto at =
        static_cast<std::size_t>(std::ceil(share * static_cast<double>(latencies.size())));
    return latencies[std::clamp<std::size_t>(at, 1, latencies.size()) - 1];
  };
  std::string figures;
  for (const auto latency : {latencies.front(), rank(0.5), rank(0.95), latencies.back()}) {
    const std::string shown = feeder::Milliseconds(latency);
    figures += (figures.empty() ? "" : "/") + shown.substr(0, shown.size() - 3);
  }
  return text + "; latency min/median/p95/max " + figures + " ms";
}

std::string Verdicts::JUnit(WallClock::time_point now) const {
  std::size_t failures = 0;
  std::size_t errors = 0;
  std::string cases;
  for (const feeder::Verdict& verdict : verdicts_) {
    cases += "    <testcase name=\"" + Escaped(verdict.Name()) + "\" classname=\"checkfeed\"";
    if (verdict.latency) {
      cases += " time=\"" + Seconds(*verdict.latency) + "\"";
    }
    cases += ">\n";
    if (verdict.kind == Kind::Differed || verdict.kind == Kind::Missing) {
      ++failures;
      cases += "      <failure message=\"" + Escaped(verdict.Message()) + "\" type=\"" +
               (verdict.kind == Kind::Missing ? "missing" : "differed") + "\"/>\n";
    } else if (verdict.kind == Kind::NotJudged) {
      ++errors;
      cases +=
          "      <error message=\"" + Escaped(verdict.Message()) + "\" type=\"not judged\"/>\n";
    }
    if (!verdict.answer.empty()) {
      std::string answer;
      for (const char byte : verdict.answer) {
        answer += os::Escaped(static_cast<std::byte>(byte));
      }
      cases += "      <system-out>" + Escaped(answer) + "</system-out>\n";
    }
    cases += "    </testcase>\n";
  }
  const std::string counts = " tests=\"" + std::to_string(verdicts_.size()) + "\" failures=\"" +
                             std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                             "\" time=\"" + Seconds(now - began_) + "\"";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"checkfeed\"" + counts +
         ">\n  <testsuite name=\"checkfeed\"" + counts + " skipped=\"0\" timestamp=\"" +
         IsoTime(began_).substr(0, 19) + "\">\n" + cases + "  </testsuite>\n</testsuites>\n";
}

os::Outcome WriteWhole(const std::string& path, const std::string& text) {
  const std::filesystem::path target = PathOf(path);
  std::filesystem::path partial = target;
  partial += ".partial";
  errno = 0;
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())).flush()) {
      const int error = errno != 0 ? errno : EIO;
      out.close();
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return os::Outcome::Failed(std::generic_category().message(error), error);
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, target, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    return os::Outcome::Failed(error.message(), error.value());
  }
  return {};
}

os::Outcome CanWrite(const std::string& path) {
  std::filesystem::path partial = PathOf(path);
  partial += ".partial";
  errno = 0;
  if (!std::ofstream(partial, std::ios::binary | std::ios::trunc)) {
    const int error = errno != 0 ? errno : EACCES;
    return os::Outcome::Failed(std::generic_category().message(error), error);
  }
  std::error_code ignored;
  std::filesystem::remove(partial, ignored);
  return {};
}

std::string Absolute(const std::string& path) {
  std::error_code error;
  const std::u8string absolute = std::filesystem::absolute(PathOf(path), error).u8string();
  return error ? path : std::string(absolute.begin(), absolute.end());
}

}  // namespace shell
