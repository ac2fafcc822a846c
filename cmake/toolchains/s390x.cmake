# s390x: 64-bit IBM Z, big-endian.
set(CROSS_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CROSS_QEMU qemu-s390x-static)
set(SENSMON_DEB_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
