# SPDX-License-Identifier: MIT
# How this machine starts one of the programs built here. Natively that is the program
# itself; in a cross build it is a small script of the program's own name that puts the
# emulator in front, so suites that start the bridge, help2man and the smoke tests run the
# target's program without knowing they were cross-built.
#   quorvane_launcher(quorvane-bridge bridge_exe)   # bridge_exe: a path, maybe a generator expression
function(quorvane_launcher target out_var)
  if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${out_var} $<TARGET_FILE:${target}> PARENT_SCOPE)
    return()
  endif()
  set(launcher ${PROJECT_BINARY_DIR}/launchers/${target})
  set(${out_var} ${launcher} PARENT_SCOPE)
  # One script for each program, however many ask for it.
  get_property(made GLOBAL PROPERTY quorvane_launcher_${target})
  if(made)
    return()
  endif()
  set_property(GLOBAL PROPERTY quorvane_launcher_${target} TRUE)
  set(words)
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    list(APPEND words "'${word}'")
  endforeach()
  list(JOIN words " " emulator)
  file(GENERATE OUTPUT ${launcher}
       CONTENT "#!/bin/sh\nexec ${emulator} '$<TARGET_FILE:${target}>' \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
endfunction()
