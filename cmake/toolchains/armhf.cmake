# armhf: 32-bit ARM boards with hardware floating point.
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CROSS_QEMU qemu-arm-static)
set(SENSMON_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
