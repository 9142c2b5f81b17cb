# ARM64 Linux, built with aarch64-linux-gnu-g++ and tested under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
