# Packs a Windows build and checks the zip: it holds kovox.exe, the tool's two builds,
# kovox-image.exe, the licences, README.txt and the MultiArc section kovox-windows.ini and nothing
# else; every program is stripped and kovox.exe is at most 64 KiB; the text files have CR LF line
# ends; and, as a Windows user would, the unpacked programs list an image whose path holds spaces
# and capitals, and copy a file off it, through the section's own List and Extract lines.
#   cmake -DBUILD_DIR=... -DWORK=... -DZIP_NAME=... -DEMULATOR=... -DOBJDUMP=... -DMKE2FS=...
#         -DHOST_PROGRAMS=... -P check_zip.cmake
# HOST_PROGRAMS holds the Linux build's kovox-image, kovox and tool, whose listing is the reference.
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
set(expected ${top}/LICENSE ${top}/LICENSE-com_err.txt ${top}/LICENSE-libext2fs.txt ${top}/LICENSE-zlib.txt
    ${top}/LICENSE-zstd.txt ${top}/README.txt
    ${top}/kovodos.exe ${top}/kovont.exe ${top}/kovox-image.exe ${top}/kovox-windows.ini ${top}/kovox.exe)
if(NOT unpacked STREQUAL expected)
  message(FATAL_ERROR "zip holds:\n  ${unpacked}\nexpected:\n  ${expected}")
endif()

set(exe ${WORK}/unpacked/${top}/kovox.exe)
file(SIZE ${exe} exe_size)
if(exe_size GREATER 65536)
  message(FATAL_ERROR "kovox.exe is ${exe_size} bytes, over 64 KiB")
endif()
foreach(program kovox kovont kovodos kovox-image)
  set(path ${WORK}/unpacked/${top}/${program}.exe)
  kovox_require_stripped("${OBJDUMP}" ${path})
  file(SIZE ${path} size)
  message(STATUS "${program}.exe: ${size} bytes")
endforeach()

# Read as hex bytes, one "xx " each: file(READ) as text would drop the carriage returns.
foreach(text LICENSE LICENSE-libext2fs.txt LICENSE-com_err.txt LICENSE-zlib.txt LICENSE-zstd.txt README.txt
             kovox-windows.ini)
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

# An ext4 image in a folder with a space, under a name with spaces and capitals.
set(tree ${WORK}/tree)
file(MAKE_DIRECTORY ${tree}/etc "${tree}/My Documents" "${WORK}/VM disks" ${WORK}/copied)
file(WRITE ${tree}/etc/fstab "UUID=1 / ext4 defaults 0 1\n")
string(REPEAT "Notes on it, and more of them.\n" 3000 notes)
file(WRITE "${tree}/My Documents/Notes on it.txt" "${notes}")
set(image "${WORK}/VM disks/Ubuntu Root.IMG")
execute_process(COMMAND ${MKE2FS} -q -F -t ext4 -d ${tree} ${image} 8M RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "mke2fs could not make the image: ${result}")
endif()

# The section's lines as MultiArc expands them: %P the archiver, %AQA the archive and %FQA the
# stored name (as a Windows file manager hands it back, with "\"), each quoted when it holds a space.
function(native_path unix_path out)
  string(REPLACE "/" "\\" native "Z:${unix_path}")
  set(${out} "${native}" PARENT_SCOPE)
endfunction()
function(quoted text out)
  if(text MATCHES " ")
    set(text "\"${text}\"")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
# Each section's Archiver, List and Extract lines, by the section's name.
file(STRINGS ${WORK}/unpacked/${top}/kovox-windows.ini section_lines)
foreach(line ${section_lines})
  string(REGEX REPLACE "\r$" "" line "${line}")
  if(line MATCHES "^\\[(.*)\\]$")
    set(current "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^(Archiver|List|Extract|Extension)=(.*)$")
    set(${current}_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  endif()
endforeach()

# Runs the section's List and Extract lines over `disk_file`, as the file manager would, and checks
# them against the Linux build's kovox-image over the same file.
function(check_section name disk_file)
  if(NOT DEFINED ${name}_List)
    message(FATAL_ERROR "kovox-windows.ini has no section [${name}]")
  endif()
  native_path("${WORK}/unpacked/${top}/${${name}_Archiver}" archiver)
  native_path("${disk_file}" archive)
  quoted("${archive}" archive)
  string(REPLACE "%P" "${archiver}" list_line "${${name}_List}")
  string(REPLACE "%AQA" "${archive}" list_line "${list_line}")
  # A file manager starts the line as a command line: split here by the same rules, Wine quotes
  # each argument again for the program.
  separate_arguments(list_command WINDOWS_COMMAND "${list_line}")
  execute_process(COMMAND ${EMULATOR} ${list_command} OUTPUT_VARIABLE listed RESULT_VARIABLE result)
  execute_process(COMMAND ${HOST_PROGRAMS}/kovox-image ${disk_file} OUTPUT_VARIABLE reference)
  string(REPLACE "\r\n" "\n" listed_with_line_feeds "${listed}")
  if(NOT result EQUAL 0 OR reference STREQUAL "" OR NOT listed_with_line_feeds STREQUAL reference)
    message(FATAL_ERROR "[${name}] ${list_line} (status ${result}) listed:\n${listed}\nnot what the Linux build lists:\n${reference}")
  endif()

  quoted("My Documents\\Notes on it.txt" stored)
  string(REPLACE "%P" "${archiver}" extract_line "${${name}_Extract}")
  string(REPLACE "%AQA" "${archive}" extract_line "${extract_line}")
  string(REPLACE "%FQA" "${stored}" extract_line "${extract_line}")
  separate_arguments(extract_command WINDOWS_COMMAND "${extract_line}")
  file(REMOVE_RECURSE ${WORK}/copied)
  file(MAKE_DIRECTORY ${WORK}/copied)
  execute_process(COMMAND ${EMULATOR} ${extract_command} WORKING_DIRECTORY ${WORK}/copied RESULT_VARIABLE result)
  file(SHA256 "${tree}/My Documents/Notes on it.txt" source_hash)
  set(copy "${WORK}/copied/Notes on it.txt")
  set(copy_hash "")
  if(EXISTS "${copy}")
    file(SHA256 "${copy}" copy_hash)
  endif()
  if(NOT result EQUAL 0 OR NOT copy_hash STREQUAL source_hash)
    message(FATAL_ERROR "[${name}] ${extract_line} (status ${result}) did not copy the file byte for byte")
  endif()
  message(STATUS "[${name}]'s List and Extract lines, run under Wine, listed ${disk_file} as the Linux build does and copied a file off it")
endfunction()

check_section(kovox "${image}")
# The same file system as WSL2 keeps a distribution: %LOCALAPPDATA%\Packages\<distribution>\
# LocalState\ext4.vhdx, a dynamic VHDX of 1 MiB blocks with no partition table.
set(wsl_folder "${WORK}/AppData/Local/Packages/CanonicalGroupLimited.Ubuntu_79rhkp1fndgsc/LocalState")
file(MAKE_DIRECTORY "${wsl_folder}")
execute_process(COMMAND ${QEMU_IMG} convert -f raw -O vhdx -o subformat=dynamic,block_size=1M
                        ${image} ${wsl_folder}/ext4.vhdx RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "qemu-img could not make ext4.vhdx: ${result}")
endif()
check_section(kovox-vhdx "${wsl_folder}/ext4.vhdx")
