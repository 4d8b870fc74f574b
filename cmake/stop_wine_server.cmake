# The "wine" fixture's cleanup, run by CTest after the last test that needs the prefix: ends the
# Wine server of the build's prefix (WINEPREFIX in the environment), which ends every Wine process
# of that prefix with it, and waits for the server to be gone. A server that has already gone is
# fine, and nothing here fails the suite: its verdict is the tests'.
#   cmake -DWINESERVER=... -P stop_wine_server.cmake
execute_process(COMMAND timeout -k 2 10 ${WINESERVER} -k RESULT_VARIABLE killed ERROR_QUIET)
execute_process(COMMAND timeout -k 2 10 ${WINESERVER} -w RESULT_VARIABLE waited)
if(NOT waited EQUAL 0)
  message(STATUS "The Wine server of $ENV{WINEPREFIX} did not end within 10 seconds (${waited}).")
endif()
