#pragma once

// A name's addresses, as both systems' sockets look them up: an address at once, a name aside
// (os/Aside.h: one lookup of a name at a time, however often it is asked for while DNS does not
// answer) until a deadline or a stop.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/Aside.h"
#include "os/Error.h"
#include "os/Socket.h"

namespace os {

// A name's addresses in the system's own form, or why there are none.
template <typename Address>
struct Addresses {
  std::vector<Address> addresses;
  Outcome failure;
};

// `resolve(host, port, flags)` gives a `Lookup` (its `failure` an Outcome) from the system's
// resolver; `numeric` are the flags that take an address only, and never ask DNS.
template <typename Lookup, typename Resolve>
Lookup LookUp(const std::string& host, const std::string& port, int numeric, Resolve resolve,
              Clock::time_point deadline, WakeHandle cancel) {
  if (Lookup address = resolve(host, port, numeric); address.failure.Worked()) {
    return address;
  }
  typename Aside<Lookup>::Waited waited{};
  std::optional<Lookup> lookup = CallAside<Lookup>(
      host + " " + port, [host, port, resolve] { return resolve(host, port, 0); }, deadline, cancel,
      waited);
  if (!lookup) {
    Lookup failed{};
    failed.failure =
        Outcome::Failed(waited == Aside<Lookup>::Waited::Stopped ? "stopped" : NotLookedUp());
    return failed;
  }
  return std::move(*lookup);
}

}  // namespace os
