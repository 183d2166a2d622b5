# Cross-building the Windows program on Linux with MinGW-w64 (64-bit, the
# POSIX thread model, whose libstdc++ has std::thread and std::mutex):
#   cmake -S . -B build-mingw -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DKALVARO_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KALVARO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KALVARO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KALVARO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KALVARO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KALVARO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run on a machine without MinGW's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# No GoogleTest is packaged for MinGW; the tests build it from the sources
# Debian's googletest package ships.
if(NOT KALVARO_GTEST_SOURCE_DIR AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(KALVARO_GTEST_SOURCE_DIR /usr/src/googletest)
endif()
