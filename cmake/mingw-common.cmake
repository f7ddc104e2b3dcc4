# Shared by the MinGW-w64 toolchain files; QUENLO_MINGW_TRIPLET names the target.
# The "posix" thread model: GoogleTest needs std::mutex, which the "win32"
# model of Debian's MinGW-w64 12 lacks. Static linking keeps the .exe alone.
set(CMAKE_C_COMPILER ${QUENLO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENLO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENLO_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENLO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
