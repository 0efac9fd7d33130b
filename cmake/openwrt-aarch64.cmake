# OpenWrt on 64-bit ARM (filogic, ipq807x, mediatek), with Debian's musl for
# arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triplet aarch64-linux-gnu)
set(musl_lib /usr/lib/aarch64-linux-musl)
set(musl_hint "Debian: dpkg --add-architecture arm64; apt-get install musl-dev:arm64")
set(cross_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/openwrt.cmake)
