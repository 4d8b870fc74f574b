# What users get. On the host, an install tree: kovox, the stand-in tool, the image helper, the
# Midnight Commander helper, the Double Commander MultiArc section and README. From the Win32
# build, kovox-<version>-win32.zip (win64 from the test-only x86_64 build): kovox.exe, which needs
# no DLL beside it, its MultiArc section and README. The version comes from project() alone.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS kovox RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/contrib/multiarc/kovox-windows.ini
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
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "kovox-${PROJECT_VERSION}-linux")
endif()

set(CPACK_PACKAGE_VENDOR "kovox")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "List and extract the files of a disk device through its directory tool")
include(CPack)
