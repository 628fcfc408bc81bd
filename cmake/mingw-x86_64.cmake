# Cross build for 64-bit Windows with Debian's mingw-w64: the same program
# as the 32-bit target, for machines whose kernel runs no 32-bit programs,
# where Wine can run only 64-bit ones (see scripts/test-windows).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_host x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
