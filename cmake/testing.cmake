# GoogleTest from its Debian sources, so the host and the MinGW build use the same version.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  # Every Windows test runs in a Wine prefix of the build's own, of the build's architecture, made
  # once by the "wine_prefix" fixture through the build's own loader, and under one Wine server for
  # the whole suite, which the fixture starts and, once the last test that needs it has run, ends
  # with every Wine process of the suite (cmake/wine_server.cmake).
  set(KOVOX_WINE_ENVIRONMENT
      "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
      "WINEARCH=${KOVOX_WINDOWS_NAME}"
      "WINEDEBUG=-all"
      "WINEDLLOVERRIDES=mscoree,mshtml=")
  find_program(KOVOX_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH REQUIRED)
  set(wine_server ${CMAKE_COMMAND} -DWINESERVER=${KOVOX_WINESERVER}
      -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DLOG=${CMAKE_BINARY_DIR}/wineserver.log)
  add_test(NAME wine_prefix
           COMMAND ${wine_server} -DACTION=start -P ${PROJECT_SOURCE_DIR}/cmake/wine_server.cmake)
  set_tests_properties(wine_prefix PROPERTIES
      FIXTURES_SETUP wine ENVIRONMENT "${KOVOX_WINE_ENVIRONMENT}" TIMEOUT 300)
  add_test(NAME wine_server_stop
           COMMAND ${wine_server} -DACTION=stop -P ${PROJECT_SOURCE_DIR}/cmake/wine_server.cmake)
  set_tests_properties(wine_server_stop PROPERTIES
      FIXTURES_CLEANUP wine ENVIRONMENT "${KOVOX_WINE_ENVIRONMENT}" TIMEOUT 60)
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
