# Shared part of the cross toolchain files: a Debian multiarch cross build
# (crossbuild-essential-<arch> and the libraries as <package>:<arch>), whose
# test programs run under qemu user-mode emulation.
#
# Expects RP_CROSS_TRIPLET (the GNU triplet, also the multiarch directory) and
# RP_CROSS_QEMU (the qemu user-mode emulator's name).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${RP_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RP_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RP_CROSS_TRIPLET})

# Programs (compilers' helpers, mosquitto for the tests) come from the build
# machine; libraries, headers and package configurations from the target's
# multiarch directories.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${RP_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Run without -L: qemu then takes the target's loader and libraries from the
# multiarch directories of the build machine (with -L, threads hang).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${RP_CROSS_QEMU})
