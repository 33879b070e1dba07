# Linux i686 from x86-64 Debian, with g++-i686-linux-gnu; the tests run
# through qemu-i386, whose guest has the whole 4 GiB of address space.
set(DAT2BMP_LINUX_TRIPLET i686-linux-gnu)
set(DAT2BMP_QEMU_ARCH i386)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
