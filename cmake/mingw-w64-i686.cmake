# Windows x86 from Linux, with Debian's mingw-w64 (posix threads flavour).
# Built only: a 64-bit wine cannot run it.
set(DAT2BMP_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# The whole 4 GiB of address space on 64-bit Windows, not 2 GiB: the data
# buffer holds the whole sourcefile.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
