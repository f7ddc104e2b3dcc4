# The manual page as plain text with Windows line ends, for the .zip:
#   cmake -DGROFF=groff -DIN=quenlo.1 -DOUT=quenlo-manual.txt -P manual-as-text.cmake
# ASCII, without overstrikes for bold or underline and without hyphenation,
# so that any editor shows it as it stands.
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou -rHY=0 ${IN}
                OUTPUT_VARIABLE text ERROR_VARIABLE problems RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT problems STREQUAL "")
  message(FATAL_ERROR "groff could not render ${IN} (status ${status}): ${problems}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
