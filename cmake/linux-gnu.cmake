# Shared part of the cross builds for Linux with glibc, using Debian's cross
# compilers (g++-TRIPLET). The file for each target sets CMAKE_SYSTEM_PROCESSOR
# and cross_triplet, and cross_qemu, the qemu-user program that runs its
# programs here with the cross C library as their root.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)

# Libraries and headers come from the target's tree only; programs used
# during the build are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_qemu};-L;/usr/${cross_triplet})
