# Cross-compiles the Windows flavour with mingw-w64 (the posix-threads
# compiler, for std::thread and std::mutex) and runs what it built under wine:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DUCTRINE_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DUCTRINE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUCTRINE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DUCTRINE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DUCTRINE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs every test binary through wine. The caller chooses the prefix
# (WINEPREFIX) and quiets wine (WINEDEBUG=-all).
find_program(DUCTRINE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(DUCTRINE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DUCTRINE_WINE})
endif()
