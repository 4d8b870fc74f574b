# Packs the host build as a .deb and checks it as a Debian user gets it: lintian finds no error
# (everything it reports is printed), Depends were computed from the programs' libraries, the
# programs are stripped, and the unpacked kovox and stand-in tool list the sample image exactly
# as the build tree does.
#   cmake -DBUILD_DIR=... -DWORK=... -DDEB_NAME=... -DOBJDUMP=... -P check_deb.cmake
include(${CMAKE_CURRENT_LIST_DIR}/stripped.cmake)
find_program(LINTIAN lintian)
find_program(DPKG_DEB dpkg-deb)
if(NOT LINTIAN OR NOT DPKG_DEB)
  message(FATAL_ERROR "lintian and dpkg-deb are needed (scripts/setup.sh test installs them)")
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/run ${WORK}/temp)
execute_process(COMMAND cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK}
                RESULT_VARIABLE result OUTPUT_VARIABLE cpack_output ERROR_VARIABLE cpack_output)
set(deb ${WORK}/${DEB_NAME})
if(NOT result EQUAL 0 OR NOT EXISTS ${deb})
  message(FATAL_ERROR "cpack did not make ${DEB_NAME}: ${result}\n${cpack_output}")
endif()

execute_process(COMMAND ${LINTIAN} --fail-on error --display-info --pedantic ${deb}
                RESULT_VARIABLE result OUTPUT_VARIABLE report)
message(STATUS "lintian ${DEB_NAME}:\n${report}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lintian found errors in ${DEB_NAME}: ${result}")
endif()

execute_process(COMMAND ${DPKG_DEB} --field ${deb} Depends OUTPUT_VARIABLE depends)
if(NOT depends MATCHES "libc6 \\(>= ")
  message(FATAL_ERROR "Depends were not computed from the programs' libraries: ${depends}")
endif()

execute_process(COMMAND ${DPKG_DEB} -x ${deb} ${WORK}/root RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -x failed: ${result}")
endif()
# The tool holds libext2fs and com_err: the copyright file must give their terms too.
file(READ ${WORK}/root/usr/share/doc/kovox/copyright copyright)
foreach(licence "License: Expat" "License: LGPL-2" "License: GPL-2" "License: com_err")
  string(FIND "${copyright}" "\n${licence}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "the copyright file lacks \"${licence}\"")
  endif()
endforeach()
set(bin ${WORK}/root/usr/bin)
foreach(program kovox kovont.exe)
  kovox_require_stripped("${OBJDUMP}" ${bin}/${program})
endforeach()

# The build tree's listing, as the demo makes it: the tool finds the devices folder beside itself.
# The package's: its own programs alone on a PATH that holds no build folder.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TEMP=${WORK}/temp --unset=KOVO_DEVICES
                        ${BUILD_DIR}/kovox hda1.img
                WORKING_DIRECTORY ${BUILD_DIR} OUTPUT_FILE ${WORK}/built_listing.txt)
execute_process(COMMAND ${CMAKE_COMMAND} -E env TEMP=${WORK}/temp KOVO_DEVICES=${BUILD_DIR}/devices
                        PATH=${bin}:/usr/bin:/bin ${bin}/kovox hda1.img
                WORKING_DIRECTORY ${WORK}/run OUTPUT_FILE ${WORK}/packaged_listing.txt)
file(STRINGS ${WORK}/built_listing.txt passwd_line REGEX " etc/passwd$")
if(NOT passwd_line)
  message(FATAL_ERROR "the build tree's listing of hda1.img lacks etc/passwd")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/built_listing.txt
                        ${WORK}/packaged_listing.txt RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "the packaged programs list hda1.img otherwise than the build tree: "
                      "compare ${WORK}/built_listing.txt and ${WORK}/packaged_listing.txt")
endif()
