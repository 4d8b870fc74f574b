# The "wine" fixture's Wine server, for the build's prefix (WINEPREFIX in the environment).
#   cmake -DACTION=start -DWINESERVER=... -DEMULATOR=... -DLOG=... -P wine_server.cmake
#     ends any server an earlier run left, starts one that outlives an idle half hour, and makes
#     or updates the prefix through it; fails when the prefix cannot be made.
#   cmake -DACTION=stop -DWINESERVER=... -P wine_server.cmake
#     ends the server, and with it every Wine process of the prefix, and waits for it to go; never
#     fails, so that the suite's verdict is its tests'.
# Without a server of its own the suite would start a new Wine session for every test program, as
# Debian's wineserver is started without persistence: each session starts Wine's services anew.
# An image suite can make its images for more than a minute without starting a Wine program; a
# server that ended then was replaced by one without persistence, and from there on each run that
# found no other Wine program running started a new session, services and all. Half an hour is
# the longest a test may take.
macro(end_server)
  execute_process(COMMAND timeout -k 2 10 ${WINESERVER} -k RESULT_VARIABLE killed
                  OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND timeout -k 2 20 ${WINESERVER} -w RESULT_VARIABLE waited)
  if(NOT waited EQUAL 0)
    message(STATUS "The Wine server of $ENV{WINEPREFIX} did not end within 20 seconds (${waited}).")
  endif()
endmacro()

end_server()
if(ACTION STREQUAL "start")
  file(MAKE_DIRECTORY "$ENV{WINEPREFIX}")
  # Its output goes to a file: a server holding the test's pipe would hold the test open.
  execute_process(COMMAND ${WINESERVER} -p1800 OUTPUT_FILE ${LOG} ERROR_FILE ${LOG}
                  RESULT_VARIABLE started)
  if(NOT started EQUAL 0)
    file(READ ${LOG} why)
    message(FATAL_ERROR "wineserver -p1800 failed (${started}): ${why}")
  endif()
  # Its output goes to the log too: the services wineboot starts inherit it and live as long as
  # the server does, and a pipe would keep this step waiting for them.
  execute_process(COMMAND ${EMULATOR} wineboot --init OUTPUT_FILE ${LOG}.boot ERROR_FILE ${LOG}.boot
                  RESULT_VARIABLE booted)
  if(NOT booted EQUAL 0)
    message(FATAL_ERROR "wineboot --init failed (${booted})")
  endif()
endif()
