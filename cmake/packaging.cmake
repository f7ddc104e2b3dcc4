# Installation and packages. Three components, which are Debian's three
# packages on Linux (cpack -G DEB):
#   tool         quenlo: the program, its manual page
#   library      libquenlo1: libquenlo.so.1
#   development  libquenlo-dev: the headers, libquenlo.a, the CMake package
#                (find_package(quenlo) gives quenlo::quenlo) and quenlo.pc
# On Windows a .zip of the program alone (cpack -G ZIP).
include(CMakePackageConfigHelpers)

set(QUENLO_MAINTAINER "The quenlo developers <quenlo@example.org>"
    CACHE STRING "Package maintainer, as \"Name <address>\"")

install(TARGETS quenlo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

# quenlo::quenlo is the shared library where it is built; quenlo::quenlo_static
# is always there, for programs that want the decoder inside them.
set_target_properties(quenlo_static PROPERTIES EXPORT_NAME quenlo_static)
set(quenlo_library_targets quenlo_static)
if(QUENLO_SHARED)
  set_target_properties(quenlo_shared PROPERTIES EXPORT_NAME quenlo)
  list(APPEND quenlo_library_targets quenlo_shared)
endif()
install(TARGETS ${quenlo_library_targets} EXPORT quenloTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(DIRECTORY include/quenlo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

set(quenlo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quenlo)
install(EXPORT quenloTargets NAMESPACE quenlo:: DESTINATION ${quenlo_cmake_dir}
        COMPONENT development)
configure_package_config_file(cmake/quenloConfig.cmake.in ${PROJECT_BINARY_DIR}/quenloConfig.cmake
                              INSTALL_DESTINATION ${quenlo_cmake_dir})
# 1.x keeps every interface of 1.0 (doc/library.md): any 1.y satisfies a request for 1.x, x <= y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quenloConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quenloConfig.cmake ${PROJECT_BINARY_DIR}/quenloConfigVersion.cmake
        DESTINATION ${quenlo_cmake_dir} COMPONENT development)

# The .pc file finds the prefix from where it lies, as the CMake package does:
# a package is staged under one prefix and installed under another.
file(RELATIVE_PATH quenlo_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" quenlo_pc_to_prefix "${quenlo_pc_to_prefix}")
configure_file(packaging/quenlo.pc.in ${PROJECT_BINARY_DIR}/quenlo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quenlo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

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
                ${quenlo_manual_txt} DESTINATION . COMPONENT tool)
  install(FILES examples/contact-form.txt DESTINATION examples COMPONENT tool)
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

  install(FILES ${quenlo_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES packaging/debian/copyright ${quenlo_changelog_gz} README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
  # Every Debian package carries its copyright and changelog in a directory
  # named after it.
  install(FILES packaging/debian/copyright ${quenlo_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquenlo1 COMPONENT library)
  install(FILES packaging/debian/copyright ${quenlo_changelog_gz} doc/library.md
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquenlo-dev COMPONENT development)
endif()

set(CPACK_PACKAGE_NAME quenlo)
set(CPACK_PACKAGE_VENDOR "The quenlo developers")
set(CPACK_PACKAGE_CONTACT "${QUENLO_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME "quenlo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
if(WIN32)
  # win32 or win64, by the target's pointer size.
  set(CPACK_PACKAGE_FILE_NAME "quenlo-${PROJECT_VERSION}-win${quenlo_bits}")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tool)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # Inside a directory named as the .zip, as an archive of the whole install is.
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tool library development)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build is packaged for the machine it targets, not the one building
# it. dpkg-shlibdeps then needs that architecture's C and C++ libraries
# installed (libstdc++6:arm64, after dpkg --add-architecture arm64).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUENLO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Control files as dpkg-deb wants them: 0644, scripts 0755.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package's description: its summary, then lines kept short, as Debian
# shows them as they stand.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quenlo)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION text)
string(JOIN "\n" CPACK_DEBIAN_TOOL_DESCRIPTION
       "decode HTML form data into text lines"
       "quenlo reads a file of HTML form data (application/x-www-form-urlencoded,"
       "as browsers submit it) and writes the decoded text, one field per line,"
       "each line break written as CR LF, to standard output or into a file."
       "It converts no character set: Shift_JIS stays Shift_JIS and UTF-8 stays"
       "UTF-8.")

set(quenlo_library_about
    "The decoder of the quenlo program as a library for C, C++ and any language"
    "that calls C: HTML form data (application/x-www-form-urlencoded) in, text"
    "out, one field per line, handed over in pieces cut anywhere. It decodes"
    "with the widest SIMD kernel the CPU runs (AVX-512, AVX2, SSSE3, NEON).")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libquenlo1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
string(JOIN "\n" CPACK_DEBIAN_LIBRARY_DESCRIPTION
       "decoder of HTML form data - shared library" ${quenlo_library_about}
       "This package holds the shared library.")
# shlibs made from the soname (only the library package has one); symbols
# (every export and the version that added it) and the ldconfig trigger
# written out, since CPack makes neither.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/libquenlo1/symbols
    ${PROJECT_SOURCE_DIR}/packaging/debian/libquenlo1/triggers)
# CPack also adds maintainer scripts that run ldconfig, which the trigger
# replaces (lintian: maintscript-calls-ldconfig); they are taken out of the
# package once it is made.
if(NOT WIN32)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-without-ldconfig-scripts.cmake)
endif()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquenlo-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libquenlo1 (= ${PROJECT_VERSION})")
string(JOIN "\n" CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
       "decoder of HTML form data - development files" ${quenlo_library_about}
       "This package holds the C and C++ headers, the static library, the CMake"
       "package (find_package(quenlo)) and the pkg-config file (quenlo.pc).")

include(CPack)
