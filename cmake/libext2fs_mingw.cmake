# libext2fs and com_err for the Windows builds, from e2fsprogs' Debian source package at the version
# scripts/e2fsprogs-version pins (scripts/setup.sh test unpacks it into build/sources). Configured
# and built once into this build folder; later builds find it done. Only the two libraries the
# tool links are built, as static archives.
include(ExternalProject)

file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/e2fsprogs-version KOVOX_E2FSPROGS_VERSION LIMIT_COUNT 1)
set(e2fsprogs_source ${PROJECT_SOURCE_DIR}/build/sources/e2fsprogs-${KOVOX_E2FSPROGS_VERSION})
if(NOT EXISTS ${e2fsprogs_source}/lib/ext2fs/ext2fs.h)
  message(FATAL_ERROR "e2fsprogs ${KOVOX_E2FSPROGS_VERSION} source is not in ${e2fsprogs_source}: "
                      "run scripts/setup.sh test, which fetches it")
endif()
set(e2fsprogs_build ${CMAKE_BINARY_DIR}/libext2fs)
set(e2fsprogs_libraries ${e2fsprogs_build}/lib/libext2fs.a ${e2fsprogs_build}/lib/libcom_err.a)
find_program(KOVOX_MAKE make REQUIRED)

ExternalProject_Add(e2fsprogs
  SOURCE_DIR ${e2fsprogs_source}
  BINARY_DIR ${e2fsprogs_build}
  DOWNLOAD_COMMAND ""
  UPDATE_COMMAND ""
  # Nothing that needs threads, locale catalogues or the programs of e2fsprogs.
  CONFIGURE_COMMAND ${e2fsprogs_source}/configure --host=${KOVOX_MINGW_ARCH}-w64-mingw32
      CC=${CMAKE_C_COMPILER} --disable-nls --disable-fuse2fs --disable-uuidd
      --disable-e2initrd-helper --disable-defrag --disable-tls --disable-elf-shlibs
  BUILD_COMMAND ${KOVOX_MAKE} -C lib/et COMMAND ${KOVOX_MAKE} -C lib/ext2fs
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${e2fsprogs_libraries}
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_OUTPUT_ON_FAILURE ON)

# The generated headers (ext2_types.h, ext2_err.h) are in the build's lib/, the others in the
# source's.
add_library(libext2fs INTERFACE)
target_include_directories(libext2fs SYSTEM INTERFACE ${e2fsprogs_build}/lib ${e2fsprogs_source}/lib)
target_link_libraries(libext2fs INTERFACE ${e2fsprogs_libraries})
add_dependencies(libext2fs e2fsprogs)
