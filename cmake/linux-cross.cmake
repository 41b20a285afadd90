# What both ARM toolchains share: Debian's cross compilers (crossbuild-essential-*) and the
# target's libraries installed beside this machine's own through multiarch (libfoo-dev:arm64).
# CHECKFEED_CROSS names the target. The programs and tests run here under QEMU's user-mode
# emulation, which binfmt_misc starts for ARM programs (see scripts/deps.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CHECKFEED_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${CHECKFEED_CROSS}-g++)
set(CMAKE_STRIP ${CHECKFEED_CROSS}-strip)
set(CMAKE_LIBRARY_ARCHITECTURE ${CHECKFEED_CROSS})
# The target's libraries (multiarch) and its compilers' own folder; this machine's programs.
set(CMAKE_FIND_ROOT_PATH /usr/${CHECKFEED_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config reads the target's .pc files, never this machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CHECKFEED_CROSS}/pkgconfig:/usr/share/pkgconfig)
# Qt's tools (moc) are this machine's.
set(QT_HOST_PATH /usr)
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")  # a note about GCC 6 and older, whose code nothing here meets
