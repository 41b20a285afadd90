# 64-bit ARM Linux (arm64): Raspberry Pi OS 64-bit, Debian on the Pi 3, 4 and 5 and other boards.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CHECKFEED_CROSS aarch64-linux-gnu)
set(CHECKFEED_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
