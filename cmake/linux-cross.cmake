# Cross build for Linux on CMAKE_SYSTEM_PROCESSOR with Debian's cross compiler, run under
# qemu-user for the tests. Included by the toolchain file of each processor, which may set
# the compiler's triple and the emulator first where their names differ from the processor's
# (arm-linux-gnueabihf and qemu-arm for armhf).
set(CMAKE_SYSTEM_NAME Linux)
if(NOT triple)
  set(triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
endif()
if(NOT emulator)
  set(emulator qemu-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Linked statically, so that qemu-user needs no -L: with it, every absolute name the
# program opens is looked up in the target's library folder first, "/" itself included.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator})
