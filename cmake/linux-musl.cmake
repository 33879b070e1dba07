# Linux x86-64 on musl, with zig (cmake/zig-common.cmake): a static executable,
# which runs here as it is, so the tests run natively. zig cannot make a static
# PIE, nor a dynamic musl program that runs here.
set(DAT2BMP_ZIG_TARGET x86_64-linux-musl)
set(DAT2BMP_STATIC_ONLY ON)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
