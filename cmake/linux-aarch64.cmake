# Linux aarch64 from x86-64 Debian, with g++-aarch64-linux-gnu; the tests run
# through qemu-aarch64.
set(DAT2BMP_LINUX_TRIPLET aarch64-linux-gnu)
set(DAT2BMP_QEMU_ARCH aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
