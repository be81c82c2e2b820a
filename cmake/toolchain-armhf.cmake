# 32-bit ARM devices (ARMv7, hard float): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# (scripts/cross.sh armhf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOVREL_CROSS_TRIPLET arm-linux-gnueabihf)
set(TOVREL_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
