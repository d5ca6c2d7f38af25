# 32-bit ARM controllers (Debian armhf).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(RP_CROSS_TRIPLET arm-linux-gnueabihf)
set(RP_CROSS_QEMU qemu-arm-static)
set(RP_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# Large files, so that readdir and stat work on 64-bit file systems (inode
# numbers above 2^32), and a 64-bit time_t, so that timestamps go past 2038.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
