#include "serial/LineSettings.h"

#include <utility>

#include "os/Error.h"
#include "serial/PortOptions.h"

namespace serial {

unsigned BytesPerSecond(const LineSettings& settings) {
  const unsigned bitsPerByte =
      1 + settings.dataBits + (settings.parity == Parity::None ? 0 : 1) + settings.stopBits;
  return settings.baudRate / bitsPerByte;
}

void Mismatch::Speed(unsigned actual, unsigned wanted) {
  Item("speed " + std::to_string(actual) + " (wanted " + std::to_string(wanted) + ")");
}

void Mismatch::Item(std::string item) {
  items_.push_back(std::move(item));
}

void Mismatch::Flag(const std::string& name, bool wanted, bool actual) {
  if (wanted != actual) {
    Item(name + (actual ? " on" : " off"));
  }
}

std::string Mismatch::Text() const {
  std::string text;
  for (const std::string& item : items_) {
    text += (text.empty() ? "" : ", ") + item;
  }
  return text;
}

std::string Reason(int error, const std::string& reason) {
  return reason.empty() ? os::ErrorText(error) : reason;
}

}  // namespace serial
