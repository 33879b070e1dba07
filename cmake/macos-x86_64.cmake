# macOS on x86-64, with zig (cmake/zig-common.cmake) and the SDK it bundles;
# built only, since nothing here runs a Mach-O program.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DAT2BMP_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
