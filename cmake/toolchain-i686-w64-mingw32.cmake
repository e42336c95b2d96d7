# Cross-compiles the 32-bit Windows executable, the shipped product, with Debian's MinGW-w64
# (win32 thread model).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
