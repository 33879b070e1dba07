# The lint gates, on the lint presets, which set CMAKE_CXX_CLANG_TIDY and
# CMAKE_CXX_CPPCHECK: building analyses each source with its own compile line,
# and the tests run the gates that are no compilation, and the same
# analysis of the host files other builds compile.
if(NOT CMAKE_CXX_CLANG_TIDY)
  return()
endif()
if(WIN32)
  list(APPEND CMAKE_CXX_CPPCHECK --library=windows --platform=win64 -D_WIN32)
else()
  list(APPEND CMAKE_CXX_CPPCHECK --library=posix)
endif()

# For a cross compiler, clang-tidy is also told the target and the
# compiler's C++ library, which clang finds only for its own host; and it
# cannot read the response file mingw-w64 builds put include directories in.
if(CMAKE_CROSSCOMPILING)
  get_filename_component(compiler ${CMAKE_CXX_COMPILER} NAME)
  string(REGEX REPLACE "-g\\+\\+.*$" "" triplet ${compiler})
  list(APPEND CMAKE_CXX_CLANG_TIDY --extra-arg=--target=${triplet})
  foreach(dir IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    if(dir MATCHES "/c\\+\\+")
      list(APPEND CMAKE_CXX_CLANG_TIDY --extra-arg=-isystem${dir})
    endif()
  endforeach()
  set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_INCLUDES OFF)
  return()
endif()
if(DAT2BMP_PORTABLE_POSIX)
  return()
endif()

enable_testing()
file(GLOB_RECURSE sources CONFIGURE_DEPENDS LIST_DIRECTORIES false RELATIVE ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/*.cpp ${PROJECT_SOURCE_DIR}/*.h)
list(FILTER sources EXCLUDE REGEX "^build/")
add_test(NAME clang-format COMMAND clang-format --dry-run --Werror ${sources}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

# Debian has no mandoc.db (man-db keeps its own index), so mandoc notes every
# page the manual names as missing from it, with no place in the page; any
# note on a place in the page, style notes included, fails.
add_test(NAME mandoc COMMAND mandoc -T lint cli/dat2bmp.1 WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(mandoc PROPERTIES FAIL_REGULAR_EXPRESSION ":[0-9]+:[0-9]+: ")

# The POSIX host as other systems build it.
add_test(NAME lint-portable COMMAND ${CMAKE_COMMAND} --workflow --preset lint-portable
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

# The Win32 host file, as mingw-w64 compiles it.
find_program(DAT2BMP_MINGW x86_64-w64-mingw32-g++-posix)
if(DAT2BMP_MINGW)
  add_test(NAME lint-windows COMMAND ${CMAKE_COMMAND} --workflow --preset lint-windows
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
elseif(DEFINED ENV{CI})
  message(SEND_ERROR "x86_64-w64-mingw32-g++-posix not found: cannot analyse the Win32 host")
else()
  message(WARNING "x86_64-w64-mingw32-g++-posix not found: the Win32 host is not analysed")
endif()
