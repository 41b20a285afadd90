#include <exception>

#include "shell/Events.h"
#include "shell/Headless.h"
#include "shell/StopSignals.h"

int main() {
  try {
    shell::StopSignals signals;
    return shell::RunHeadless("/dev/ttyS0", signals);
  } catch (const std::exception& failure) {
    shell::PrintFailure(failure.what());
    return 1;
  }
}
