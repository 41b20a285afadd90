#include "serial/SystemError.h"

#include <cstring>

namespace serial {

std::string ErrorText(int error) {
  return std::strerror(error);
}

std::string Quoted(const std::string& name) {
  return '"' + name + '"';
}

}  // namespace serial
