#include "os/Socket.h"

namespace os {

std::string NoAnswer(std::chrono::milliseconds timeout) {
  return "no answer within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s";
}

std::string NotLookedUp() {
  return "the name was not resolved within " + std::to_string(kLookedUpWithin.count()) + " s";
}

}  // namespace os
