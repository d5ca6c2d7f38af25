# 64-bit ARM controllers (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RP_CROSS_TRIPLET aarch64-linux-gnu)
set(RP_CROSS_QEMU qemu-aarch64-static)
set(RP_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
