# SPDX-License-Identifier: MIT
# Read by cpack as it runs. A package for another architecture (cmake/aarch64-linux-gnu.cmake)
# has its library dependencies looked up among that architecture's libraries, with its own
# objdump: dpkg-shlibdeps takes the architecture from the environment.
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()
# Each package's description begins with its own summary line (CMakeLists.txt); the project's
# one would be put in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
