# 32-bit ARM Linux with the hard-float ABI (Debian's armhf, Raspberry Pi OS), built with
# arm-linux-gnueabihf-g++ and tested under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triple arm-linux-gnueabihf)
set(emulator qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
