# Formats each man page with groff's man macros and all warnings on; any warning fails.
#   cmake -DPAGES="a.1;b.1" -P check_man_pages.cmake
find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is needed (scripts/setup.sh test installs it)")
endif()
foreach(page ${PAGES})
  execute_process(COMMAND ${GROFF} -man -ww -z ${page} RESULT_VARIABLE result ERROR_VARIABLE warnings)
  if(NOT result EQUAL 0 OR warnings)
    message(FATAL_ERROR "groff on ${page}: ${result}\n${warnings}")
  endif()
endforeach()
