# Fully static build of the tool against musl with the build machine's own
# g++ (Debian: musl-tools, musl-dev). The tool's code includes only C
# headers, and libstdc++'s are not usable against musl, so the compiler
# sees musl's headers and its own built-in ones only; musl's specs file
# does that and links musl's start files and C library instead of glibc's.
# Nothing from libstdc++ is linked in: the tool needs none of it.
#
# Built for small systems: sections the program does not reach are dropped,
# code and read-only data share pages rather than each starting a page of
# its own, and there are no unwind tables, which code without exceptions
# does not use.
set(musl_specs /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
	message(FATAL_ERROR "${musl_specs} is missing (Debian: musl-tools)")
endif()

# The specs go with the compiler, so that flags given at configure time
# cannot turn this into a glibc build.
set(CMAKE_CXX_COMPILER g++ -specs=${musl_specs})
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections -Wl,-z,noseparate-code")
