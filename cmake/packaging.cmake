# Installation and packages: a .deb on Linux (cpack -G DEB), a .zip on
# Windows (cpack -G ZIP).
include(GNUInstallDirs)

set(QUENLO_MAINTAINER "The quenlo developers <quenlo@example.org>"
    CACHE STRING "Package maintainer, as \"Name <address>\"")

install(TARGETS quenlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
else()
  # Debian wants manual pages and changelogs compressed, without a time stamp
  # so that the package is reproducible.
  set(quenlo_man_gz ${CMAKE_CURRENT_BINARY_DIR}/quenlo.1.gz)
  set(quenlo_changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${quenlo_man_gz}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/quenlo.1 > ${quenlo_man_gz}
                     DEPENDS ${PROJECT_SOURCE_DIR}/quenlo.1 VERBATIM)
  add_custom_command(OUTPUT ${quenlo_changelog_gz}
                     COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
                             > ${quenlo_changelog_gz}
                     DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
  add_custom_target(quenlo_docs ALL DEPENDS ${quenlo_man_gz} ${quenlo_changelog_gz})

  install(FILES ${quenlo_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/debian/copyright ${quenlo_changelog_gz} README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME quenlo)
set(CPACK_PACKAGE_VENDOR "The quenlo developers")
set(CPACK_PACKAGE_CONTACT "${QUENLO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decode HTML form data into text lines")
# Lines kept short: Debian shows the description as it stands.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "quenlo reads a file of HTML form data (application/x-www-form-urlencoded,"
       "as browsers submit it) and writes the decoded text, one field per line,"
       "every line ended by CR LF, to standard output or into a file."
       "It converts no character set: Shift_JIS stays Shift_JIS and UTF-8 stays"
       "UTF-8.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "quenlo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
if(WIN32)
  # win32 or win64, by the target's pointer size.
  math(EXPR quenlo_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_PACKAGE_FILE_NAME "quenlo-${PROJECT_VERSION}-win${quenlo_bits}")
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build is packaged for the machine it targets, not the one building
# it. dpkg-shlibdeps then needs that architecture's C and C++ libraries
# installed (libstdc++6:arm64, after dpkg --add-architecture arm64).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUENLO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
