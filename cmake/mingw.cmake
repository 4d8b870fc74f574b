# Cross-build for Windows with MinGW-w64; the results run under Wine on the build machine.
# Included by mingw-i686.cmake (the release build, 32-bit) and mingw-x86_64.cmake (the same sources,
# for testing them where the kernel runs no 32-bit code), which set KOVOX_MINGW_ARCH and
# KOVOX_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KOVOX_MINGW_ARCH})

# The -posix variants: GoogleTest needs std::mutex, which the default win32 thread model lacks.
set(CMAKE_C_COMPILER ${KOVOX_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOVOX_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${KOVOX_MINGW_ARCH}-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KOVOX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine's own loader for this architecture, never the "wine" wrapper: the wrapper takes the 32-bit
# loader whenever it is installed, even where the kernel cannot run it.
find_program(KOVOX_WINE NAMES ${KOVOX_WINE_LOADER} PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVOX_WINE})
