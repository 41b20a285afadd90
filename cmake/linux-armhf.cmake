# 32-bit ARM Linux, ARMv7 hard-float (armhf): Raspberry Pi OS 32-bit, Debian armhf.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CHECKFEED_CROSS arm-linux-gnueabihf)
set(CHECKFEED_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
