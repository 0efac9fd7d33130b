# 32-bit ARM Linux with hardware floating point (g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
set(cross_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
