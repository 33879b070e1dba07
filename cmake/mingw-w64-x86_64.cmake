# Windows x64 from Linux, with Debian's mingw-w64 (posix threads flavour).
# The tests run through wine.
set(DAT2BMP_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(DAT2BMP_WINE wine)
if(DAT2BMP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DAT2BMP_WINE})
endif()
