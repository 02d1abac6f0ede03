# Cross-compiles the 64-bit Windows flavour with mingw-w64 (the posix-threads
# compiler, for std::thread and std::mutex) and runs what it built under wine:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DUCTRINE_MINGW_TRIPLET x86_64-w64-mingw32)
set(DUCTRINE_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
