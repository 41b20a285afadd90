#include "serial/SystemError.h"

#include <cstring>

namespace serial {

std::string ErrorText(int error) {
  return std::strerror(error);
}

}  // namespace serial
