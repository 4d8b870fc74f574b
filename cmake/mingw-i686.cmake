# 32-bit Windows: the build kovox ships, tested under 32-bit Wine.
set(KOVOX_MINGW_ARCH i686)
set(KOVOX_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
