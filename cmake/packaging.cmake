# Installation and packages.
#
# POSIX: `cmake --install build --prefix P` puts the loader and the simulator
# into P/bin, their manual pages into P/share/man/man1, the user's guide
# (README.md) and the copyright notice into P/share/doc/talvorn and the sample
# firmware into P/share/doc/talvorn/examples. `cmake --build build --target
# package` makes build/talvorn_VERSION-1_ARCH.deb of the same files.
#
# Windows (mingw-w64): `cmake --build build-win32 --target package` makes
# build-win32/talvorn-VERSION-win32.zip holding talvorn.exe and README.txt.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME talvorn)
set(CPACK_PACKAGE_VENDOR "Corvane Instruments Ltd.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane Instruments Ltd. <firmware@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware loader for Corvane Ostrivel and Harvel instruments")
# Packaged programs carry no symbols: the build keeps them for debugging.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS talvorn RUNTIME DESTINATION .)
  # The README for Windows users has Windows line ends, so Notepad shows it.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
                 ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  install(TARGETS talvorn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET talvorn-sim)
    install(TARGETS talvorn-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/man/talvorn.1 ${PROJECT_SOURCE_DIR}/man/talvorn-sim.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The user's guide, and the sample firmware its dry run flashes into
  # talvorn-sim; the developer's notes stay with the sources.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/examples/sample.m0
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Wrapped by hand: CPack keeps the lines as they are.
  set(CPACK_PACKAGE_DESCRIPTION_FILE ${PROJECT_SOURCE_DIR}/packaging/description.txt)

  # Debian ships manual pages and its changelog compressed; the plain install
  # keeps the pages as they are. The script runs on CPack's staged files.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in
                 ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
  set(CPACK_TALVORN_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-compress.cmake)
endif()

include(CPack)
