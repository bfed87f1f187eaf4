# The release build's compiler: Debian 12's clang against a Debian 11 sysroot, so that nothing
# newer than Debian 11's C library (glibc 2.31) is linked against. scripts/build-release.sh makes
# the sysroot and passes it as QZ_SYSROOT, with QZ_CURL_PREFIX, the static libcurl built for it,
# and QZ_TARGET_ARCH, the machine it is for: x86_64 (the default) or aarch64.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian11-sysroot.cmake -DQZ_SYSROOT=... -DQZ_CURL_PREFIX=...

# This file is read again for every try_compile, where only these variables are passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZ_SYSROOT QZ_CURL_PREFIX QZ_TARGET_ARCH)
if(NOT QZ_SYSROOT)
  message(FATAL_ERROR "Set QZ_SYSROOT to the Debian 11 sysroot (scripts/build-release.sh makes it)")
endif()
if(NOT QZ_TARGET_ARCH)
  set(QZ_TARGET_ARCH x86_64)
endif()
if(NOT QZ_TARGET_ARCH MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "QZ_TARGET_ARCH is x86_64 or aarch64, not ${QZ_TARGET_ARCH}")
endif()
# Debian's multiarch triple: where the sysroot keeps the target's libraries and .pc files.
set(QZ_TRIPLE ${QZ_TARGET_ARCH}-linux-gnu)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QZ_TARGET_ARCH})

set(CMAKE_SYSROOT ${QZ_SYSROOT})
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${QZ_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QZ_TRIPLE})
# GCC 10's C++ headers and runtime by their /usr path: found through the /lib symbolic link, the
# header paths that the dependency files record do not exist once ninja folds their "..", and
# every build would compile everything again.
set(CMAKE_C_COMPILER_EXTERNAL_TOOLCHAIN ${QZ_SYSROOT}/usr)
set(CMAKE_CXX_COMPILER_EXTERNAL_TOOLCHAIN ${QZ_SYSROOT}/usr)
# The host's binutils link only x86-64; clang's own linker links any target.
if(NOT QZ_TARGET_ARCH STREQUAL "x86_64")
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
  endforeach()
endif()

# Libraries and headers from the sysroot (and the static libcurl), programs from the host.
set(CMAKE_FIND_ROOT_PATH ${QZ_CURL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (GTK's flags) reads the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_LIBDIR}
  "${QZ_SYSROOT}/usr/lib/${QZ_TRIPLE}/pkgconfig:${QZ_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${QZ_SYSROOT})
set(ENV{PKG_CONFIG_PATH} "")
