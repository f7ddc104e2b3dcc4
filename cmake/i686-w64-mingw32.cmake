# Cross-build for 32-bit Windows with Debian's MinGW-w64; the tests run under
# 32-bit Wine (package wine32:i386; .ci/i386-binfmt.sh where the kernel runs
# no 32-bit programs itself).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUENLO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The 32-bit loader of Debian's wine32 package, outside PATH; /usr/bin/wine
# would fall back to the 64-bit loader, which cannot run these programs.
find_program(QUENLO_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
if(QUENLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENLO_WINE})
else()
  set(QUENLO_CANNOT_RUN "32-bit Wine's loader /usr/lib/wine/wine is missing "
                        "(package wine32:i386, after dpkg --add-architecture i386)")
  set(QUENLO_CANNOT_RUN_TAG Wine32LoaderMissing)
endif()
