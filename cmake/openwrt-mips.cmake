# OpenWrt on big-endian MIPS (ath79), soft float, with the musl that
# cmake/build-musl builds into build/musl-mips. It is the byte order that
# catches code which assumes little-endian.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(cross_triplet mips-linux-gnu)
get_filename_component(musl_lib ${CMAKE_CURRENT_LIST_DIR}/../build/musl-mips/lib ABSOLUTE)
set(musl_hint "build it with: cmake/build-musl mips-linux-gnu build/musl-mips")
set(cross_flags -msoft-float)
set(cross_qemu qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/openwrt.cmake)
