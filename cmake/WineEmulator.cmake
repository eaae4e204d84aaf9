# Runs the Windows test programs under wine64, through a wrapper generated
# into the build tree. The wrapper boots a Wine prefix of the build's own and
# keeps one persistent wineserver, with the helper processes' output on
# /dev/null: otherwise they hold ctest's output pipe open and every test
# waits for them, or ctest hangs.
find_program(GPIOLINK_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(GPIOLINK_WINE64 NAMES wine64)
find_program(GPIOLINK_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(GPIOLINK_WINESERVER NAMES wineserver)
if(NOT GPIOLINK_WINE64 OR NOT GPIOLINK_WINESERVER)
  message(WARNING "wine64 not found: the Windows tests cannot run (apt-get install wine64)")
endif()

set(GPIOLINK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
               @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
