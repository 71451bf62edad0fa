# IBM Z, 64-bit and big-endian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
# -DTARSK_CROSS_ROOT=ROOT (packages: scripts/deps-cross.sh s390x ROOT).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TARSK_CROSS_TRIPLET s390x-linux-gnu)
set(TARSK_CROSS_QEMU_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
