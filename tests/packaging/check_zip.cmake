# Packs a Windows build and checks the zip: it holds kovox.exe, LICENSE, README.txt and the
# MultiArc section kovox-windows.ini and nothing else; kovox.exe is stripped and at most 64 KiB;
# the text files have CR LF line ends; and the unpacked kovox.exe runs with nothing beside it.
#   cmake -DBUILD_DIR=... -DWORK=... -DZIP_NAME=... -DEMULATOR=... -DOBJDUMP=... -P check_zip.cmake
# Where Wine cannot run the build (the 32-bit one on a kernel that runs no 32-bit code), the
# environment variable KOVOX_WINE_CANNOT_RUN says why: the contents are still checked, and the run
# is reported as not done.
include(${CMAKE_CURRENT_LIST_DIR}/stripped.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/unpacked)
execute_process(COMMAND cpack --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0 OR NOT EXISTS ${WORK}/${ZIP_NAME})
  message(FATAL_ERROR "cpack did not make ${ZIP_NAME}: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${WORK}/${ZIP_NAME}
                WORKING_DIRECTORY ${WORK}/unpacked RESULT_VARIABLE result)
file(GLOB_RECURSE unpacked RELATIVE ${WORK}/unpacked ${WORK}/unpacked/*)
list(SORT unpacked)
get_filename_component(top ${ZIP_NAME} NAME_WLE)
set(expected ${top}/LICENSE ${top}/README.txt ${top}/kovox-windows.ini ${top}/kovox.exe)
if(NOT unpacked STREQUAL expected)
  message(FATAL_ERROR "zip holds:\n  ${unpacked}\nexpected:\n  ${expected}")
endif()

set(exe ${WORK}/unpacked/${top}/kovox.exe)
file(SIZE ${exe} exe_size)
if(exe_size GREATER 65536)
  message(FATAL_ERROR "kovox.exe is ${exe_size} bytes, over 64 KiB")
endif()
kovox_require_stripped("${OBJDUMP}" ${exe})

# Read as hex bytes, one "xx " each: file(READ) as text would drop the carriage returns.
foreach(text LICENSE README.txt kovox-windows.ini)
  file(READ ${WORK}/unpacked/${top}/${text} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  string(REPLACE "0d 0a " "" bare "${bytes}")
  if(bare MATCHES "(^| )0[ad] " OR NOT bytes MATCHES "0d 0a $")
    message(FATAL_ERROR "${text} does not end every line in CR LF")
  endif()
endforeach()

if(DEFINED ENV{KOVOX_WINE_CANNOT_RUN})
  message(NOTICE "NOT RUN: the unpacked kovox.exe was not started: $ENV{KOVOX_WINE_CANNOT_RUN}")
  return()
endif()
# No argument: nothing to do, exit status 0. A missing DLL would stop Wine from starting it.
execute_process(COMMAND ${EMULATOR} ${WORK}/unpacked/${top}/kovox.exe RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the unpacked kovox.exe did not run: ${result}")
endif()
