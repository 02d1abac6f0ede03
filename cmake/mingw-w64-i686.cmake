# Cross-compiles the 32-bit Windows flavour with mingw-w64 and runs what it
# built under 32-bit wine (a WINEPREFIX made with WINEARCH=win32):
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DUCTRINE_MINGW_TRIPLET i686-w64-mingw32)
set(DUCTRINE_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
