# 64-bit Windows: the same sources, tested under wine64 on machines whose kernel runs no 32-bit code.
set(KOVOX_MINGW_ARCH x86_64)
set(KOVOX_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Every Wine process of the tests starts through a wrapper that turns address-space randomisation
# off: with it on, wine64 now and then fails to start a process at all (see the wrapper).
set(KOVOX_WINE ${CMAKE_CURRENT_LIST_DIR}/wine64-fixed-layout.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVOX_WINE})
