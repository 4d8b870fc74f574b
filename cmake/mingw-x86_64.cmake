# 64-bit Windows: the same sources, tested under wine64 on machines whose kernel runs no 32-bit code.
set(KOVOX_MINGW_ARCH x86_64)
set(KOVOX_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
