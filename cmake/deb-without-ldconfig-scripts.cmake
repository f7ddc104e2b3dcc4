# Run by cpack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# takes out of a .deb the postinst and postrm that CPack writes for a shared
# library, which only run ldconfig; the package's ldconfig trigger does that.
# A postinst or postrm that does anything else stops the build.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig-scripts)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      string(REGEX REPLACE "[ \t\n]+" " " text "${text}")
      if(NOT text STREQUAL "#!/bin/sh set -e if [ \"$1\" = \"configure\" ]; then ldconfig fi "
         AND NOT text STREQUAL "#!/bin/sh set -e if [ \"$1\" = \"remove\" ]; then ldconfig fi ")
        message(FATAL_ERROR "${deb}: DEBIAN/${script} does more than run ldconfig:\n${text}")
      endif()
      file(REMOVE ${tree}/DEBIAN/${script})
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    message(STATUS "${deb}: ldconfig left to the package's trigger")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
