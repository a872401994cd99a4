# Cross-building for 64-bit Windows with Debian's mingw-w64 (the posix thread flavour, whose
# libstdc++ has std::thread for the tests).
#
#   cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DMDUMP_MBEDTLS_ROOT=<Mbed TLS built with this file>
#
# Every program and the DLL link the compiler's own runtime (libgcc, libstdc++, winpthread)
# statically: a host application then needs quillfen-mysqldump.dll alone, next to the system's
# DLLs and the C runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MDUMP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MDUMP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MDUMP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MDUMP_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw-w64 tree (and prefixes given by full path), never
# from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${MDUMP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
