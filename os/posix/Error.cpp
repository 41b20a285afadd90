#include "os/Error.h"

#include <system_error>

namespace os {

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

}  // namespace os
