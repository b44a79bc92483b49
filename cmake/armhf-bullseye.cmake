# Cross compiling for the deployment target: Debian 11 (bullseye), 32-bit ARM hard-float.
#
# The compilers are bullseye's own armhf cross compilers (g++ 10), found through PATH; run
# this from a bullseye build environment. A newer distribution's cross compiler leaks its own
# glibc headers past --sysroot and produces modules that want symbols bullseye lacks.
#
# The target's root file system (with libc6-dev and libpython3.9-dev unpacked in it) is the
# sysroot. Give it as -DCMAKE_SYSROOT=DIR or in the environment as TAVRO_ARMHF_SYSROOT; the
# environment survives into try_compile projects, a -D only when forwarded, so both are kept.
#
# Python is not found by running an interpreter here; pass its hints on the command line:
#   -DPython_INCLUDE_DIR=<sysroot>/usr/include/python3.9
#   -DPython_SOABI=cpython-39-arm-linux-gnueabihf

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT CMAKE_SYSROOT AND DEFINED ENV{TAVRO_ARMHF_SYSROOT})
  set(CMAKE_SYSROOT "$ENV{TAVRO_ARMHF_SYSROOT}")
endif()
if(NOT CMAKE_SYSROOT)
  message(FATAL_ERROR
    "armhf-bullseye: no sysroot; set TAVRO_ARMHF_SYSROOT or pass -DCMAKE_SYSROOT=<armhf tree>")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_SYSROOT)

# Look for headers, libraries and packages in the target tree only, and for programs on the
# build machine only.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# An extension module should ask the target for libc and nothing else: the C++ runtime is
# linked in and kept private, so the module neither depends on the installed libstdc++ nor
# clashes with another extension's copy of it. --as-needed drops libm when nothing uses it.
set(_tavro_armhf_link "-static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL -Wl,--as-needed")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_tavro_armhf_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tavro_armhf_link}")
unset(_tavro_armhf_link)
