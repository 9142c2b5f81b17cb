# s390x (big-endian) Linux, built with s390x-linux-gnu-g++ and tested under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
