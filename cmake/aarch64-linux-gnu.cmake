# SPDX-License-Identifier: MIT
# Cross-builds for arm64 (a Raspberry Pi 3, 4 or 5 on a 64-bit OS) from Debian's multiarch
# packages: the aarch64 compilers, the :arm64 libraries beside the machine's own, and the
# machine's own Qt tools (moc, rcc, uic). Programs built here run on this machine under
# qemu-user, which CTest puts in front of each test.
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Libraries, headers and packages are the target's; programs (help2man, gzip, the Qt tools)
# are this machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH / /usr/aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

set(QT_HOST_PATH /usr CACHE PATH "where this machine's Qt tools live")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "their CMake packages")

# No binfmt registration is relied on: the emulator is named, with the multiarch root for
# the arm64 loader and libraries.
find_program(QEMU_AARCH64 qemu-aarch64-static)
if(QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64} -L /)
endif()

# The package is for arm64, whatever this machine is.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
