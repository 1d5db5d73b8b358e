# Another Debian architecture, built by clang against a sysroot (tools/sysroot.sh makes one)
# and run under qemu-user. Set on the command line:
#   -DCROSS_TRIPLE=aarch64-linux-gnu -DCROSS_SYSROOT=/abs/dir -DCROSS_QEMU=qemu-aarch64
#   -DCROSS_LINKER=lld (or bfd where lld cannot link the architecture)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE CROSS_SYSROOT CROSS_QEMU CROSS_LINKER)
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLE}")
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${CROSS_TRIPLE})
set(CMAKE_SYSROOT ${CROSS_SYSROOT})
# Debian's multiarch directory, where GTestConfig.cmake and libcrypto live.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=${CROSS_LINKER})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -L: the foreign dynamic loader and libraries come from the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU} -L ${CROSS_SYSROOT})
# FindOpenSSL asks pkg-config first; point it at the sysroot's .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR}
    ${CROSS_SYSROOT}/usr/lib/${CROSS_TRIPLE}/pkgconfig:${CROSS_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CROSS_SYSROOT})
