#pragma once

#include "os/Wait.h"

namespace os {

// An owned file descriptor: an OwnedWake, which closes it, seen as the int it is on this system.
class Descriptor : public OwnedWake {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : OwnedWake(WakeOf(fd)) {}

  // The descriptor, or -1 when there is none.
  int Get() const { return NativeOf<int>(OwnedWake::Get()); }
};

}  // namespace os
