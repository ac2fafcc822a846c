# Shared by the per-target toolchain files, which set CROSS_TRIPLE (the GNU
# triple of Debian's cross compiler), CMAKE_SYSTEM_PROCESSOR, CROSS_QEMU (the
# qemu-user program) and SENSMON_DEB_ARCH (the Debian architecture).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# CTest starts the test programs through qemu; the programs that those tests
# start in turn reach qemu through binfmt_misc, and find the target's C
# library through QEMU_LD_PREFIX, which the environment must carry.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -L /usr/${CROSS_TRIPLE})
