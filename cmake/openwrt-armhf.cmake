# OpenWrt on 32-bit ARM with hardware floating point (ipq40xx, mvebu), with
# Debian's musl for armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
set(musl_lib /usr/lib/arm-linux-musleabihf)
set(musl_hint "Debian: dpkg --add-architecture armhf; apt-get install musl-dev:armhf")
set(cross_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/openwrt.cmake)
