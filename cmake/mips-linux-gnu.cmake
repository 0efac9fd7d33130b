# 32-bit big-endian MIPS Linux (g++-mips-linux-gnu): the byte order that
# catches code which assumes little-endian.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(cross_triplet mips-linux-gnu)
set(cross_qemu qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
