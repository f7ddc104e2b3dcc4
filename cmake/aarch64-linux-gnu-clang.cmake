# Cross-build for 64-bit ARM Linux with clang, for the libFuzzer target: as
# aarch64-linux-gnu.cmake, whose C++ library clang uses, plus clang-14 and
# libclang-rt-14-dev:arm64 (after dpkg --add-architecture arm64).
#   cmake -S . -B build-fuzz-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu-clang.cmake -DQUENLO_FUZZ=ON
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
