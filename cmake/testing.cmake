# GoogleTest from its Debian sources, so the host and the MinGW build use the same version.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  # Every Windows test runs in a Wine prefix of the build's own, of the build's architecture, made
  # once by the "wine_prefix" fixture through the build's own loader.
  set(KOVOX_WINE_ENVIRONMENT
      "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
      "WINEARCH=${KOVOX_WINDOWS_NAME}"
      "WINEDEBUG=-all"
      "WINEDLLOVERRIDES=mscoree,mshtml=")
  add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
  set_tests_properties(wine_prefix PROPERTIES
      FIXTURES_SETUP wine ENVIRONMENT "${KOVOX_WINE_ENVIRONMENT}" TIMEOUT 300)
  # And once the last of them has run, the prefix's Wine server is ended, taking every Wine process
  # of the suite with it: nothing outlives the suite.
  find_program(KOVOX_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  add_test(NAME wine_server_stop
           COMMAND ${CMAKE_COMMAND} -DWINESERVER=${KOVOX_WINESERVER}
                   -P ${PROJECT_SOURCE_DIR}/cmake/stop_wine_server.cmake)
  set_tests_properties(wine_server_stop PROPERTIES
      FIXTURES_CLEANUP wine ENVIRONMENT "${KOVOX_WINE_ENVIRONMENT}" TIMEOUT 30)
endif()

# A GoogleTest executable. On the host each test case is its own CTest test; under Wine the whole
# executable is one test, since every Wine start costs far more than the tests themselves.
function(kovox_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED wine ENVIRONMENT "${KOVOX_WINE_ENVIRONMENT}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()
