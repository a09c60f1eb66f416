# 32-bit ARMv7 hard-float Linux (Debian armhf). Add -D_TIME_BITS=64
# -D_FILE_OFFSET_BITS=64 to CMAKE_CXX_FLAGS for a 64-bit time_t.
set(AXIOLINK_CROSS_TRIPLET arm-linux-gnueabihf)
set(AXIOLINK_CROSS_PROCESSOR armv7l)
set(AXIOLINK_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
