# Installation and packages: a .deb on Linux (cpack -G DEB), a .zip on
# Windows (cpack -G ZIP).
include(GNUInstallDirs)

set(QUENLO_MAINTAINER "The quenlo developers <quenlo@example.org>"
    CACHE STRING "Package maintainer, as \"Name <address>\"")

install(TARGETS quenlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  # The zip holds what its README points to: the program, the manual page as
  # plain text (Windows has no man), the example and the licence, the texts
  # with Windows line ends.
  find_program(QUENLO_GROFF groff)
  if(NOT QUENLO_GROFF)
    message(FATAL_ERROR "groff (package groff-base) renders the manual page for the Windows .zip; install it")
  endif()
  math(EXPR quenlo_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  configure_file(packaging/windows/README.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  set(quenlo_manual_txt ${CMAKE_CURRENT_BINARY_DIR}/quenlo-manual.txt)
  add_custom_command(OUTPUT ${quenlo_manual_txt}
                     COMMAND ${CMAKE_COMMAND} -DGROFF=${QUENLO_GROFF} -DIN=${PROJECT_SOURCE_DIR}/quenlo.1
                             -DOUT=${quenlo_manual_txt} -P ${PROJECT_SOURCE_DIR}/cmake/manual-as-text.cmake
                     DEPENDS ${PROJECT_SOURCE_DIR}/quenlo.1 ${PROJECT_SOURCE_DIR}/cmake/manual-as-text.cmake
                     VERBATIM)
  add_custom_target(quenlo_docs ALL DEPENDS ${quenlo_manual_txt})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
                ${quenlo_manual_txt} DESTINATION .)
  install(FILES examples/contact-form.txt DESTINATION examples)
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
       "each line break written as CR LF, to standard output or into a file."
       "It converts no character set: Shift_JIS stays Shift_JIS and UTF-8 stays"
       "UTF-8.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "quenlo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
if(WIN32)
  # win32 or win64, by the target's pointer size.
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
