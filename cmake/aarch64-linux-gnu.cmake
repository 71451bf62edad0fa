# 64-bit Arm, little-endian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# (packages: scripts/deps-cross.sh arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARSK_CROSS_TRIPLET aarch64-linux-gnu)
set(TARSK_CROSS_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
