# What both Windows toolchains share; CHECKFEED_MINGW names the target.
set(CMAKE_C_COMPILER ${CHECKFEED_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHECKFEED_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${CHECKFEED_MINGW}-windres)
set(CMAKE_STRIP ${CHECKFEED_MINGW}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${CHECKFEED_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests of Windows programs run under Wine, in a prefix of their own whose ports are all mapped
# away from this machine's own (see tests/tools/wine/wine.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/tools/wine/wine.sh)
