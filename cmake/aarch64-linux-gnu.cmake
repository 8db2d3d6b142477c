# Cross-compiles for aarch64 Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu). HOBRIN_AARCH64_SYSROOT names a folder holding the
# arm64 packages the build links against or runs with (Python and its headers,
# GoogleTest), unpacked as they would be installed; scripts/test_aarch64.sh
# makes one. Programs built here run under qemu-aarch64 with that folder as
# its library prefix, so CTest runs the tests through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

if(NOT HOBRIN_AARCH64_SYSROOT AND DEFINED ENV{HOBRIN_AARCH64_SYSROOT})
  set(HOBRIN_AARCH64_SYSROOT "$ENV{HOBRIN_AARCH64_SYSROOT}")
endif()
if(NOT HOBRIN_AARCH64_SYSROOT)
  message(FATAL_ERROR "set HOBRIN_AARCH64_SYSROOT to the folder of the unpacked arm64 packages")
endif()
# Compile checks read the toolchain file again, in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HOBRIN_AARCH64_SYSROOT)

# The compiler keeps its own C library and C++ headers; libraries and headers
# of packages are looked up in the sysroot only, programs on the host only.
set(CMAKE_FIND_ROOT_PATH "${HOBRIN_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's Python headers include their pyconfig.h by its multiarch path, so
# the sysroot's include folder is searched too, after the compiler's own.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${HOBRIN_AARCH64_SYSROOT}/usr/include")
# Libraries the sysroot's libpython needs (libexpat, libz) are found there.
set(_hobrin_libs "${HOBRIN_AARCH64_SYSROOT}/lib/aarch64-linux-gnu:${HOBRIN_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_hobrin_libs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_hobrin_libs}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_hobrin_libs}")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${HOBRIN_AARCH64_SYSROOT}")
