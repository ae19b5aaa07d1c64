# Cross build for Windows with Debian's mingw-w64 (posix thread model), tests under wine. Shared
# by the two architectures: toolchain-windows-x64.cmake and toolchain-windows-x86.cmake set
# MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then include this file.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest prefixes every test program with this, so .exe tests run under wine. /usr/bin/wine
# starts the loader that matches the program: 32-bit programs need Debian's wine32 beside wine64.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
