# SPDX-License-Identifier: MIT
# The Windows build, cross-compiled with MinGW-w64 against a Qt for Windows (scripts/windows
# builds one): the panel, the demo with the simulated board in its own process, the suites
# that run as Windows programs (scripts/windows packages them). No Qt SerialPort, MQTT, remote
# link, bridge or board session here.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Test)
qt_standard_project_setup()

# A Windows program carries its version as numbers too (the file's Properties, Details).
string(REPLACE "." "," quorvane_version_commas "${PROJECT_VERSION},0")
add_compile_definitions(QUORVANE_VERSION_COMMAS=${quorvane_version_commas}
                        QUORVANE_VERSION_DOTS=${PROJECT_VERSION})

# MinGW's stack protection lives in libssp, which the compiler driver only links when told.
if(QUORVANE_HARDEN)
  add_link_options(-fstack-protector-strong)
endif()

add_subdirectory(cli)
add_subdirectory(serial)
add_subdirectory(recorder)
add_subdirectory(ui)

# The simulated board's state and readings: plain C++, no line of its own.
add_library(quorvane_simboard STATIC simulator/board.h simulator/board.cpp)
target_include_directories(quorvane_simboard PUBLIC ${PROJECT_SOURCE_DIR})
set_target_properties(quorvane_simboard PROPERTIES AUTOMOC OFF)

qt_add_executable(quorvane-demo WIN32 ui/demo_win.cpp ui/boardlink.h ui/boardlink.cpp ui/quorvane.rc)
target_link_libraries(quorvane-demo PRIVATE quorvane_ui quorvane_simboard)
set_target_properties(quorvane-demo PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# Where the MinGW runtime DLLs are, for running the programs under Wine and for packaging.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libssp-0.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND QUORVANE_MINGW_DLLS ${found})
endforeach()

if(BUILD_TESTING)
  set(QUORVANE_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix CACHE PATH
      "The Wine prefix the Windows suites run in (made on first use)")
  find_program(WINE64 NAMES wine64 PATHS /usr/lib/wine REQUIRED)
  get_filename_component(QUORVANE_QT_PREFIX "${Qt6_DIR}/../../.." ABSOLUTE)
  set(QUORVANE_WINEPATH "Z:${QUORVANE_QT_PREFIX}/bin")
  foreach(dll ${QUORVANE_MINGW_DLLS})
    get_filename_component(dir ${dll} DIRECTORY)
    string(APPEND QUORVANE_WINEPATH ";Z:${dir}")
  endforeach()
  configure_file(tests/windows/wine-run.in ${PROJECT_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)
  endif()
  add_subdirectory(tests/windows)
endif()
