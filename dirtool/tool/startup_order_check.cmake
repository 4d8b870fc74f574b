# Fails when the tool has lost more than a tenth of the functions startup_order.txt names: the
# link then lays out only what is left, and runs touch more code again. The cure is to run
# scripts/startup_order.py over the new build.
#   cmake -DNM=nm -DTOOL=kovont.exe -DORDER=startup_order.txt -P startup_order_check.cmake
execute_process(COMMAND ${NM} ${TOOL} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${TOOL}")
endif()
file(STRINGS ${ORDER} wanted REGEX "^[^#]")
list(LENGTH wanted total)
set(missing "")
foreach(name IN LISTS wanted)
  # Each line of nm's output ends with " NAME".
  string(FIND "${symbols}" " ${name}\n" at)
  if(at EQUAL -1)
    list(APPEND missing "${name}")
  endif()
endforeach()
list(LENGTH missing lost)
math(EXPR allowed "${total} / 10")
if(total EQUAL 0 OR lost GREATER allowed)
  list(JOIN missing "\n  " shown)
  message(FATAL_ERROR "${lost} of the ${total} functions in ${ORDER} are not in ${TOOL}; "
                      "run scripts/startup_order.py over this build:\n  ${shown}")
endif()
message(STATUS "${lost} of the ${total} functions in the start-up order are missing from the tool")
