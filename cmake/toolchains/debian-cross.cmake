# Cross-building with Debian's cross compilers for one ARM target, included by
# the per-target files beside it, which set AXIOLINK_CROSS_TRIPLET,
# AXIOLINK_CROSS_PROCESSOR and AXIOLINK_CROSS_QEMU first.
#
#   AXIOLINK_TARGET_ROOT  an unpacked root of the target system (C library,
#                         libstdc++, the interpreter with its headers); target
#                         programs run from the build, under qemu-user, find
#                         their libraries there.
#   CMAKE_FIND_ROOT_PATH  where target packages such as GoogleTest are found;
#                         keep it apart from the target root, whose C headers
#                         must not stand in for the cross compiler's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${AXIOLINK_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${AXIOLINK_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AXIOLINK_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${AXIOLINK_CROSS_TRIPLET})

# try_compile projects read this file again and need the root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES AXIOLINK_TARGET_ROOT)
set(AXIOLINK_TARGET_ROOT "${AXIOLINK_TARGET_ROOT}" CACHE PATH "Unpacked root of the target system")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${AXIOLINK_CROSS_TRIPLET})

# Only the C++ ABI notes of GCC 7.1's changed parameter passing, which concern
# code built with GCC older than 7; everything here comes from one compiler.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

if(AXIOLINK_TARGET_ROOT)
  # Target programs (tests, the interpreter, and interpreters that start
  # further interpreters through binfmt_misc) take their libraries from the
  # target root.
  set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env QEMU_LD_PREFIX=${AXIOLINK_TARGET_ROOT} ${AXIOLINK_CROSS_QEMU})
  # Libraries from the target root (libpython) name libraries of their own,
  # which the linker looks up there; they may use a newer C library than the
  # cross compiler's, whose symbols the target root provides at run time.
  set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${AXIOLINK_TARGET_ROOT}/usr/lib/${AXIOLINK_CROSS_TRIPLET} -Wl,--allow-shlib-undefined")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
endif()
