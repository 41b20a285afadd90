// Windows has no systemd: nothing to tell.

#include "shell/Notify.h"

namespace shell {

ServiceNotify::ServiceNotify() = default;
ServiceNotify::~ServiceNotify() = default;
void ServiceNotify::Send(const std::string&) {}
void ServiceNotify::Ready() {}
void ServiceNotify::Status(const std::string&) {}
void ServiceNotify::Alive() {}

}  // namespace shell
