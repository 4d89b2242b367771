# Cross-compiles for aarch64 with Debian's cross compiler (crossbuild-essential-arm64). The
# arm64 Python and GoogleTest come from Debian's arm64 packages unpacked into a folder
# (tools/aarch64-sysroot), named by the environment variable VARNEX_AARCH64_SYSROOT: the cross
# compiler keeps its own C library in /usr/aarch64-linux-gnu.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DPython_EXECUTABLE=$VARNEX_AARCH64_SYSROOT/usr/bin/python3.11 ...
# Python_EXECUTABLE is the arm64 interpreter, so the headers and the module's file name
# (cpython-311-aarch64-linux-gnu) are the target's: it runs through qemu-aarch64 once
# binfmt_misc knows arm64 programs and QEMU_LD_PREFIX names the folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)

if(NOT DEFINED ENV{VARNEX_AARCH64_SYSROOT})
  message(FATAL_ERROR "VARNEX_AARCH64_SYSROOT must name the folder of unpacked arm64 packages (tools/aarch64-sysroot)")
endif()
set(VARNEX_AARCH64_SYSROOT $ENV{VARNEX_AARCH64_SYSROOT})

# Debian's Python.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>, found from the
# folder's usr/include; the folder holds no C library headers, so this adds only Python's
# and GoogleTest's.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VARNEX_AARCH64_SYSROOT}/usr/include")

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${VARNEX_AARCH64_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
