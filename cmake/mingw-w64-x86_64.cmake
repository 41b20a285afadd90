# Windows programs from Debian: mingw-w64 with the posix thread model (std::thread and
# std::mutex need it), run under Wine by the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CHECKFEED_MINGW x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
