# 32-bit x86 Linux (Debian's i386), built with i686-linux-gnu-g++ and tested under qemu-i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(emulator qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
