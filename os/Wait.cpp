#include "os/Wait.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace os {

std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline) {
  std::array<Waited, 7> waited{};
  if (handles.size() > waited.size()) {
    throw std::invalid_argument("too many handles to wait for");
  }
  std::transform(handles.begin(), handles.end(), waited.begin(),
                 [](WakeHandle handle) { return Waited{.handle = handle}; });
  return WaitForAny(std::span(waited).first(handles.size()), deadline);
}

}  // namespace os
