# Installs the host build into a fresh folder and checks that it holds what a user needs.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P check_install.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
set(expected
    bin/kovont.exe
    bin/kovox
    bin/kovox-image
    share/doc/kovox/LICENSE
    share/doc/kovox/README.md
    share/doc/kovox/callers.md
    share/kovox/mc/extfs.d/kovox
    share/kovox/mc/mc.ext.ini
    share/kovox/multiarc/kovox-linux.ini
    share/man/man1/kovont.exe.1.gz
    share/man/man1/kovox-image.1.gz
    share/man/man1/kovox.1.gz)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "install tree holds:\n  ${installed}\nexpected:\n  ${expected}")
endif()
foreach(program bin/kovox bin/kovont.exe bin/kovox-image share/kovox/mc/extfs.d/kovox)
  execute_process(COMMAND test -x ${PREFIX}/${program} RESULT_VARIABLE not_executable)
  if(not_executable)
    message(FATAL_ERROR "${program} is not executable")
  endif()
endforeach()
