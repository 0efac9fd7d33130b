# 32-bit little-endian MIPS Linux (g++-mipsel-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(cross_triplet mipsel-linux-gnu)
set(cross_qemu qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
