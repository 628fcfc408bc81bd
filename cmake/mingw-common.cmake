# The part of the mingw-w64 cross builds that does not depend on the
# processor; the including file sets CMAKE_SYSTEM_PROCESSOR and _host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_host}-g++-posix)
set(CMAKE_RC_COMPILER ${_host}-windres)
set(CMAKE_AR ${_host}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${_host}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_OBJDUMP ${_host}-objdump CACHE FILEPATH "objdump")

if(NOT UPDATER_WIN_DEPS AND DEFINED ENV{UPDATER_WIN_DEPS})
  set(UPDATER_WIN_DEPS $ENV{UPDATER_WIN_DEPS})
endif()
# Checks made while configuring run with this file too; hand the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WIN_DEPS)

# The prefix first: its static zlib, not the system's import library.
set(CMAKE_FIND_ROOT_PATH ${UPDATER_WIN_DEPS} /usr/${_host})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(UPDATER_WIN_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${UPDATER_WIN_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  set(wxWidgets_CONFIG_EXECUTABLE ${UPDATER_WIN_DEPS}/bin/wx-config CACHE FILEPATH "wx-config of the cross build")
endif()
