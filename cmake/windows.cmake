# The Windows build: executables linked statically (only system DLLs are
# needed at run time), the program's resources (manifest, icons), and, when
# cross-compiling, Wine to run the test programs.

if(MINGW)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Static archives only: an import library would bring its DLL along.
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()

if(CMAKE_CROSSCOMPILING)
  set(UPDATER_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix
      CACHE PATH "Wine prefix the tests make on first use")
  # A 64-bit build runs under Wine's 64-bit loader, called by its own name:
  # the "wine" command always takes the 32-bit one when that is installed.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(UPDATER_WINEARCH win64)
    set(UPDATER_WINE /usr/lib/wine/wine64)
    set(UPDATER_WINESERVER /usr/lib/wine/wineserver64)
  else()
    set(UPDATER_WINEARCH win32)
    set(UPDATER_WINE wine)
    set(UPDATER_WINESERVER wineserver)
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  # Test programs (and the discovery of their tests) run through this.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# Compiles app/updater.rc (manifest and the two icon groups) into the target.
# windres is run directly: the compile options of C++ sources mean nothing to
# it.
function(updater_windows_resources target)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  if(CMAKE_RC_COMPILER)
    set(windres ${CMAKE_RC_COMPILER})
  else()
    find_program(windres NAMES windres REQUIRED)
  endif()
  set(dir ${CMAKE_BINARY_DIR}/resources)
  set(icons ${dir}/updater.ico ${dir}/updater-done.ico)
  set(rc ${PROJECT_SOURCE_DIR}/app/updater.rc)
  add_custom_command(OUTPUT ${icons}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_app_icons.py ${dir}
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_app_icons.py
    COMMENT "Drawing the application icons" VERBATIM)
  add_custom_command(OUTPUT ${dir}/updater_rc.o
    COMMAND ${windres} -O coff -I ${dir} -I ${PROJECT_SOURCE_DIR}/app ${rc} ${dir}/updater_rc.o
    DEPENDS ${rc} ${PROJECT_SOURCE_DIR}/app/updater.manifest ${icons}
    COMMENT "Compiling the program's resources" VERBATIM)
  target_sources(${target} PRIVATE ${dir}/updater_rc.o)
endfunction()
