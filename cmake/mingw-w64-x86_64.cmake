# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix flavour of the compiler is the one with std::thread and std::mutex.
# The runtime is linked in statically, so each .exe runs on its own (also under wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAGRIS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAGRIS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAGRIS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TAGRIS_MINGW_PREFIX}-windres)

# Libraries and headers come from the mingw sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TAGRIS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(THREADS_PREFER_PTHREAD_FLAG ON)

# Where the tests run: wine, when it is installed (ctest and add_test use this).
find_program(TAGRIS_WINE wine)
if(TAGRIS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAGRIS_WINE})
endif()
