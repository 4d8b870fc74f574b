# What users get, each with the licence, every program stripped. The version comes from project()
# alone.
#   Win32: kovox-<version>-win32.zip (win64 from the test-only x86_64 build): kovox.exe, the
#          directory tool's two builds kovont.exe and kovodos.exe, kovox-image.exe, none needing a
#          DLL beside it, the MultiArc section for Windows file managers, LICENSE, the terms of
#          libext2fs, com_err, zlib and zstd, and a README.txt for Windows users, the texts with CR LF line ends.
#   Host:  an install tree (cmake --install): kovox, the stand-in tool, the image helper, the
#          Midnight Commander helper, the Double Commander MultiArc section, the man pages,
#          README.md and LICENSE. kovox-<version>-linux.tar.gz holds that tree;
#          kovox_<version>_<arch>.deb holds it under /usr, with Debian's copyright file and
#          changelog in place of LICENSE.
include(GNUInstallDirs)
set(CPACK_STRIP_FILES TRUE)

# The tool links libext2fs and com_err statically: their terms go with it in every package.
file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/e2fsprogs-version E2FSPROGS_VERSION LIMIT_COUNT 1)
string(REGEX REPLACE "-[^-]*$" "" E2FSPROGS_UPSTREAM "${E2FSPROGS_VERSION}")

if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt ${CMAKE_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE @ONLY NEWLINE_STYLE CRLF)
  # libext2fs's notice, then the full texts of the two licences it names: Windows has no copy.
  configure_file(${PROJECT_SOURCE_DIR}/docs/licences/libext2fs.txt ${CMAKE_BINARY_DIR}/licences/libext2fs.txt @ONLY)
  file(READ ${CMAKE_BINARY_DIR}/licences/libext2fs.txt libext2fs_notice)
  file(READ /usr/share/common-licenses/LGPL-2 lgpl_text)
  file(READ /usr/share/common-licenses/GPL-2 gpl_text)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/LICENSE-libext2fs.txt
       CONTENT "${libext2fs_notice}\n\n${lgpl_text}\n\n${gpl_text}" NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/docs/licences/com_err.txt ${CMAKE_BINARY_DIR}/LICENSE-com_err.txt
                 @ONLY NEWLINE_STYLE CRLF)
  # zlib and zstd inflate QCOW2's compressed clusters in the tool.
  configure_file(${PROJECT_SOURCE_DIR}/docs/licences/zlib.txt ${CMAKE_BINARY_DIR}/LICENSE-zlib.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/docs/licences/zstd.txt ${CMAKE_BINARY_DIR}/LICENSE-zstd.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS kovox dirtool_nt dirtool_dos kovox_image_windows RUNTIME DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE-libext2fs.txt
                ${CMAKE_BINARY_DIR}/LICENSE-com_err.txt ${CMAKE_BINARY_DIR}/LICENSE-zlib.txt
                ${CMAKE_BINARY_DIR}/LICENSE-zstd.txt ${CMAKE_BINARY_DIR}/README.txt
                ${PROJECT_SOURCE_DIR}/contrib/multiarc/kovox-windows.ini
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "kovox-${PROJECT_VERSION}-${KOVOX_WINDOWS_NAME}")
else()
  install(TARGETS kovox dirtool_nt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/contrib/kovox-image DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/contrib/mc/kovox
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kovox/mc/extfs.d)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/mc/mc.ext.ini
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kovox/mc)
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/multiarc/kovox-linux.ini
          DESTINATION ${CMAKE_INSTALL_DATADIR}/kovox/multiarc)
  # README points to docs/callers.md for the file managers' set-up: it goes beside README.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/callers.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The man pages, and the changelog Debian asks of a package, compressed as Debian installs them:
  # at maximum compression, without a name or time stamp, so the same source gives the same bytes.
  find_program(KOVOX_GZIP gzip REQUIRED)
  set(KOVOX_MAINTAINER "The kovox authors <kovox@example.org>")
  configure_file(${PROJECT_SOURCE_DIR}/docs/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  # Every page in docs/ is installed; the man_pages test checks the same pages.
  file(GLOB man_pages CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/docs ${PROJECT_SOURCE_DIR}/docs/*.1)
  set(compressed)
  foreach(page ${man_pages})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/${page} ${CMAKE_BINARY_DIR}/man/${page}
      COMMAND ${KOVOX_GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${page}
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
      VERBATIM)
    install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    list(APPEND compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
    COMMAND ${KOVOX_GZIP} -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
    VERBATIM)
  add_custom_target(compressed_docs ALL DEPENDS ${compressed} ${CMAKE_BINARY_DIR}/debian/changelog.gz)

  # The licence: LICENSE in the install tree and the tarball. The .deb keeps it in Debian's
  # copyright file instead, in its machine-readable format (a second licence file there is a
  # lintian warning), made here from LICENSE's own text, beside Debian's changelog.
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_notice "${licence_text}")
  set(copyright_holders "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" licence_terms "${licence_text}")
  string(STRIP "${licence_terms}" licence_terms)
  string(REGEX REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
  string(REGEX REPLACE "\n" "\n " licence_terms "${licence_terms}")
  # kovont.exe holds libext2fs and com_err, linked statically from Debian's own packages of them.
  file(READ ${PROJECT_SOURCE_DIR}/docs/licences/com_err.txt com_err_text)
  string(REGEX REPLACE "^.*\n(Permission to use)" "\\1" com_err_terms "${com_err_text}")
  string(STRIP "${com_err_terms}" com_err_terms)
  string(REGEX REPLACE "\n" "\n " com_err_terms "${com_err_terms}")
  # And zlib and zstd's decompressor, from zlib1g-dev and libzstd-dev: their terms as the licence
  # files in docs/licences give them, from the line the terms start at.
  foreach(library zlib zstd)
    file(READ ${PROJECT_SOURCE_DIR}/docs/licences/${library}.txt ${library}_text)
  endforeach()
  string(REGEX REPLACE "^.*\n(This software is provided)" "\\1" zlib_terms "${zlib_text}")
  string(REGEX REPLACE "^.*\n(Redistribution and use)" "\\1" zstd_terms "${zstd_text}")
  foreach(terms zlib_terms zstd_terms)
    string(STRIP "${${terms}}" ${terms})
    string(REGEX REPLACE "\n\n" "\n.\n" ${terms} "${${terms}}")
    string(REGEX REPLACE "\n" "\n " ${terms} "${${terms}}")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/debian/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kovox
Comment: usr/bin/kovont.exe is linked statically with libext2fs and libcom_err of
 e2fsprogs, as Debian's libext2fs-dev and comerr-dev ship them (source package
 e2fsprogs ${E2FSPROGS_VERSION}), and with zlib and zstd's decompressor, as
 zlib1g-dev and libzstd-dev ship them. Their terms are the e2fsprogs, zlib and
 zstd stanzas below; as libext2fs holds files under the GPL version 2,
 kovont.exe as shipped may be distributed under the terms of the GPL version 2.

Files: *
Copyright: ${copyright_holders}
License: Expat
 ${licence_terms}

Files: e2fsprogs/lib/ext2fs/*
Copyright: 1993-2018 Theodore Ts'o <tytso@mit.edu>
           1992-1994 Remy Card <card@masi.ibp.fr>
           and the further holders in /usr/share/doc/libext2fs2/copyright
License: LGPL-2

Files: e2fsprogs/lib/ext2fs/crc16.*
       e2fsprogs/lib/ext2fs/crc32c*
       e2fsprogs/lib/ext2fs/nls_utf8.c
       e2fsprogs/lib/ext2fs/kernel-jbd.h
Copyright: 2005 Ben Gardner <bgardner@wabtec.com>
           2000-2011 Matt Domsch, Bob Pearson, Darrick J. Wong
           2014 SGI
           2018 Collabora Ltd.
           1998-2000 Red Hat, Inc
License: GPL-2

Files: e2fsprogs/lib/et/*
Copyright: 1987, 1988 Student Information Processing Board of the Massachusetts Institute of Technology
License: com_err
 ${com_err_terms}

Files: zlib/*
Copyright: 1995-2022 Jean-loup Gailly and Mark Adler
License: Zlib
 ${zlib_terms}

Files: zstd/*
Copyright: Meta Platforms, Inc. and affiliates
License: BSD-3-clause
 zstd is offered under this licence or the GPL version 2; kovont.exe takes it
 under this one.
 .
 ${zstd_terms}

License: LGPL-2
 This library is free software; you can redistribute it and/or modify it
 under the terms of the GNU Library General Public License as published by
 the Free Software Foundation; version 2 of the License.
 .
 On Debian systems, the complete text of the GNU Library General Public
 License version 2 can be found in /usr/share/common-licenses/LGPL-2.

License: GPL-2
 This program is free software; you can redistribute it and/or modify it
 under the terms of version 2 of the GNU General Public License as published
 by the Free Software Foundation.
 .
 On Debian systems, the complete text of the GNU General Public License
 version 2 can be found in /usr/share/common-licenses/GPL-2.
")
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
  # The tool is linked statically on purpose; the override says why, where lintian looks for it.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/kovox.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kovox
          COMPONENT debian EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_PACKAGE_FILE_NAME "kovox-${PROJECT_VERSION}-linux")
  # Per generator: the .deb takes the copyright file where the others take LICENSE.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_components.cmake)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KOVOX_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION
"kovox gives a file manager or an archive shell the two operations of an
archiver, list and extract, over the file tree of a disk device that only an
external directory tool can read. It runs the tool once per directory through
the shell and prints one line per entry in a fixed layout.

The package holds kovox, a stand-in directory tool (kovont.exe) that reads
ext2, ext3 and ext4 disk images, kovox-image, which lists or copies from an
image of any name, and the Midnight Commander helper and Double Commander
MultiArc section that open such images through it.")
endif()

set(CPACK_PACKAGE_VENDOR "kovox")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "List and extract the files of a disk device through its directory tool")
include(CPack)
