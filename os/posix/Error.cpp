#include "os/Error.h"

#include <cerrno>
#include <system_error>

namespace os {

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

bool NotFound(int error) {
  return error == ENOENT;
}

}  // namespace os
