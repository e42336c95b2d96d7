# Cross-compiles the same sources for x86_64, for hosts whose kernel runs no 32-bit code: there
# only 64-bit Wine can run the tests. The shipped product stays the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
