#include "os/Error.h"

#include <cstring>

namespace os {

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace os
