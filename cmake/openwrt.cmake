# Shared part of the builds for OpenWrt routers: the tool fully static
# against musl, OpenWrt's C library, so that one file runs on the router
# with nothing else installed, whatever libraries its firmware has. Debian's
# cross compiler (g++-TRIPLET) is used with musl's musl-gcc.specs, as
# cmake/musl.cmake does for the build machine: the compiler sees musl's
# headers and its own built-in ones only, and links musl's start files and
# C library; nothing of libstdc++ is linked in. The file for each target
# sets CMAKE_SYSTEM_PROCESSOR, cross_triplet (the compiler's), musl_lib
# (where libc.a and musl-gcc.specs are), musl_hint (how to get them),
# cross_flags (what the target's C library was built with, if anything)
# and cross_qemu, the qemu-user program that runs its programs here.
#
# On MIPS the linker warns that gcc's own start files and libgcc.a are
# built for hard float: they hold no floating-point code the tool reaches,
# and qemu's FPU-less cores in .ci/release check that none runs.
set(CMAKE_SYSTEM_NAME Linux)

set(musl_gcc ${musl_lib}/musl-gcc.specs)
if(NOT EXISTS ${musl_gcc} OR NOT EXISTS ${musl_lib}/libc.a)
	message(FATAL_ERROR "musl for ${CMAKE_SYSTEM_PROCESSOR} is missing in ${musl_lib} (${musl_hint})")
endif()

# musl-gcc.specs goes with the compiler, and so do the flags the C library was
# built with, so that flags given at configure time cannot turn this into a
# glibc build or one of another floating-point ABI.
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++ -specs=${musl_gcc} ${cross_flags})

# Built for routers with little flash: sections the program does not reach
# are dropped, code and read-only data share pages, and there are no unwind
# tables, which code without exceptions does not use. Every program is
# linked static, the compiler's own checks too, so that only the members of
# libstdc++.a that are used would come in (none are) rather than the
# glibc-bound libstdc++.so; a static program is loaded at a fixed address,
# so its code need not be position-independent. musl applies RELRO only in
# its dynamic linker, so the page a RELRO segment is padded to would be
# wasted; a build ID is of no use where no debug files are kept.
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-pie")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -no-pie -Wl,--gc-sections -Wl,-z,noseparate-code -Wl,-z,norelro -Wl,--build-id=none")

set(CMAKE_FIND_ROOT_PATH ${musl_lib})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu})
