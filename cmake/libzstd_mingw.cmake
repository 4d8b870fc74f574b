# zstd's decompressor for the Windows builds, from libzstd's Debian source package at the version
# scripts/libzstd-version pins (scripts/setup.sh test unpacks it into build/sources). Only the
# sources that decompress are built, into a static archive in this build folder, once; later
# builds find it done. Sets DIRTOOL_WITH_ZSTD and the target libzstd.
file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/libzstd-version KOVOX_LIBZSTD_VERSION LIMIT_COUNT 1)
set(libzstd_source ${PROJECT_SOURCE_DIR}/build/sources/libzstd-${KOVOX_LIBZSTD_VERSION}/lib)
if(NOT EXISTS ${libzstd_source}/zstd.h)
  message(FATAL_ERROR "libzstd ${KOVOX_LIBZSTD_VERSION} source is not in ${libzstd_source}: "
                      "run scripts/setup.sh test, which fetches it")
endif()
set(libzstd_build ${CMAKE_BINARY_DIR}/libzstd)
set(libzstd_archive ${libzstd_build}/libzstd.a)
set(libzstd_sources
    common/debug.c common/entropy_common.c common/error_private.c common/fse_decompress.c
    common/xxhash.c common/zstd_common.c
    decompress/huf_decompress.c decompress/zstd_ddict.c decompress/zstd_decompress.c
    decompress/zstd_decompress_block.c)
# The C compiler of the toolchain, with zstd's own flags rather than the project's warnings: no
# assembly (it is for the System V ABI), no legacy formats, no threads.
set(libzstd_objects)
foreach(source ${libzstd_sources})
  string(REPLACE "/" "_" object ${source})
  set(object ${libzstd_build}/${object}.o)
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_C_COMPILER} -c -O2 -DZSTD_DISABLE_ASM -DZSTD_LEGACY_SUPPORT=0 -DXXH_NAMESPACE=ZSTD_
            -DDEBUGLEVEL=0 -I${libzstd_source} -I${libzstd_source}/common ${libzstd_source}/${source} -o ${object}
    DEPENDS ${libzstd_source}/${source}
    VERBATIM)
  list(APPEND libzstd_objects ${object})
endforeach()
file(MAKE_DIRECTORY ${libzstd_build})
add_custom_command(OUTPUT ${libzstd_archive}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${libzstd_archive}
  COMMAND ${CMAKE_AR} rcs ${libzstd_archive} ${libzstd_objects}
  DEPENDS ${libzstd_objects}
  VERBATIM)
add_custom_target(libzstd_build DEPENDS ${libzstd_archive})

add_library(libzstd INTERFACE)
target_include_directories(libzstd SYSTEM INTERFACE ${libzstd_source})
target_link_libraries(libzstd INTERFACE ${libzstd_archive})
add_dependencies(libzstd libzstd_build)
set(DIRTOOL_WITH_ZSTD ON)
