# arm64: 64-bit ARM boards.
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_QEMU qemu-aarch64-static)
set(SENSMON_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
