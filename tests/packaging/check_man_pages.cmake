# Formats each man page in a folder (*.1, the pages the packages install) with groff's man macros
# and all warnings on; any warning fails.
#   cmake -DPAGES_DIR=... -P check_man_pages.cmake
find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is needed (scripts/setup.sh test installs it)")
endif()
file(GLOB pages ${PAGES_DIR}/*.1)
if(NOT pages)
  message(FATAL_ERROR "no man page in ${PAGES_DIR}")
endif()
foreach(page ${pages})
  execute_process(COMMAND ${GROFF} -man -ww -z ${page} RESULT_VARIABLE result ERROR_VARIABLE warnings)
  if(NOT result EQUAL 0 OR warnings)
    message(FATAL_ERROR "groff on ${page}: ${result}\n${warnings}")
  endif()
endforeach()
