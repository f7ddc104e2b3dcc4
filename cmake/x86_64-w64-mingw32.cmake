# Cross-build for 64-bit Windows with Debian's MinGW-w64; the tests run under Wine.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUENLO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian's wine64 package puts its loader outside PATH.
find_program(QUENLO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CACHE)
if(QUENLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENLO_WINE})
else()
  set(QUENLO_CANNOT_RUN "Wine's 64-bit loader is missing (package wine64)")
  set(QUENLO_CANNOT_RUN_TAG Wine64LoaderMissing)
endif()
