# Shared by the Linux cross toolchain files; DAT2BMP_LINUX_TRIPLET names the
# target. Debian's cross compilers and their C libraries under
# /usr/<triplet>; the programs run through qemu-user, which finds the
# target's loader and libraries there (-L).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${DAT2BMP_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DAT2BMP_LINUX_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${DAT2BMP_LINUX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(DAT2BMP_QEMU qemu-${DAT2BMP_QEMU_ARCH})
if(DAT2BMP_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DAT2BMP_QEMU} -L /usr/${DAT2BMP_LINUX_TRIPLET})
endif()
