# Run by CPack on its staging tree, before it packs (CPACK_PRE_BUILD_SCRIPTS).
# CPACK_STRIP_FILES has taken the symbols and debug data out of the program;
# this also drops what a stripped program still carries for nobody: the
# compilers' .comment section (and a bare .note, where a toolchain leaves
# one), as dh_strip does for Debian's own packages.
set(program "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/vandrisk")
execute_process(
  COMMAND "${CPACK_VANDRISK_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "strip failed on ${program}: ${result}")
endif()
