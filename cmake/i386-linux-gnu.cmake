# 32-bit x86 Linux on an x86-64 Debian host: g++-multilib, and a libcrypto of our own
# (-DOPENSSL_ROOT_DIR=..., from tools/libcrypto.sh i686-linux-gnu), linked in statically.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# Nothing of the host's 64-bit libraries: not its libcrypto, nor pkg-config's word for it.
set(ENV{PKG_CONFIG_LIBDIR} /nonexistent)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu/openssl)
set(OPENSSL_USE_STATIC_LIBS TRUE)
