# Shared part of the MinGW-w64 cross toolchains; the per-target files set
# VELMORA_MINGW_TRIPLE and the processor, then include this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The POSIX thread model where the distribution ships both (Debian does): the "win32"
# model of GCC 12 has no std::mutex, which GoogleTest needs. Its thread library is
# linked statically like the rest of the runtime.
find_program(VELMORA_MINGW_CC NAMES ${VELMORA_MINGW_TRIPLE}-gcc-posix ${VELMORA_MINGW_TRIPLE}-gcc REQUIRED)
find_program(VELMORA_MINGW_CXX NAMES ${VELMORA_MINGW_TRIPLE}-g++-posix ${VELMORA_MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_COMPILER ${VELMORA_MINGW_CC})
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW_CXX})
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host loads one DLL and nothing else: the C and C++ runtimes go inside it,
# and the test programs are built the same way so that Wine needs no extra DLLs.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Resource scripts are UTF-8 (their Chinese strings become UTF-16 in the binary).
set(CMAKE_RC_FLAGS_INIT "-c 65001")

# ctest runs the cross-built test programs through Wine (scripts/test-windows.sh
# provides the prefix and the X server).
# scripts/wine-run picks the loader that this machine can start.
find_program(VELMORA_WINE wine)
if(VELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
endif()
