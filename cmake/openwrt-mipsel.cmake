# OpenWrt on little-endian MIPS (ramips), soft float, with the musl that
# cmake/build-musl builds into build/musl-mipsel.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(cross_triplet mipsel-linux-gnu)
get_filename_component(musl_lib ${CMAKE_CURRENT_LIST_DIR}/../build/musl-mipsel/lib ABSOLUTE)
set(musl_hint "build it with: cmake/build-musl mipsel-linux-gnu build/musl-mipsel")
set(cross_flags -msoft-float)
set(cross_qemu qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/openwrt.cmake)
