# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread
# model, so std::thread and std::mutex are there). Libraries come from the
# prefix that scripts/build-windows-deps fills; pass it as UPDATER_WIN_DEPS
# (or in the environment variable of that name).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_host i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
