# 64-bit ARM Linux (Debian arm64).
set(AXIOLINK_CROSS_TRIPLET aarch64-linux-gnu)
set(AXIOLINK_CROSS_PROCESSOR aarch64)
set(AXIOLINK_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
