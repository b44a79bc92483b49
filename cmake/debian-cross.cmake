# Cross compiling for a Debian target from an amd64 build environment of the same Debian
# release, with that release's own cross compilers (<triplet>-gcc and <triplet>-g++, found
# through PATH). A newer release's cross compiler leaks its own glibc headers past --sysroot
# and produces modules that want symbols the target lacks.
#
# Two settings, as -D options or in the environment (the environment survives into
# try_compile projects, a -D only when forwarded, so both are kept):
#   TAVRO_CROSS_TRIPLET  the target's GNU triplet: arm-linux-gnueabihf, aarch64-linux-gnu
#   TAVRO_CROSS_SYSROOT  the target's root file system, with libc6-dev and the interpreter's
#                        headers (libpython3.X-dev) unpacked in it
#
# Python is not found by running an interpreter here; pass its hints on the command line:
#   -DPython_INCLUDE_DIR=<sysroot>/usr/include/python3.X
#   -DPython_SOABI=cpython-3X-<triplet>

foreach(_tavro_setting TAVRO_CROSS_TRIPLET TAVRO_CROSS_SYSROOT)
  if(NOT ${_tavro_setting} AND DEFINED ENV{${_tavro_setting}})
    set(${_tavro_setting} "$ENV{${_tavro_setting}}")
  endif()
  if(NOT ${_tavro_setting})
    message(FATAL_ERROR "debian-cross: set ${_tavro_setting} (see the top of this file)")
  endif()
endforeach()
unset(_tavro_setting)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVRO_CROSS_TRIPLET TAVRO_CROSS_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TAVRO_CROSS_TRIPLET}")
set(CMAKE_LIBRARY_ARCHITECTURE "${TAVRO_CROSS_TRIPLET}")
set(CMAKE_SYSROOT "${TAVRO_CROSS_SYSROOT}")

set(CMAKE_C_COMPILER "${TAVRO_CROSS_TRIPLET}-gcc")
set(CMAKE_CXX_COMPILER "${TAVRO_CROSS_TRIPLET}-g++")

# Look for headers, libraries and packages in the target tree only, and for programs on the
# build machine only.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
