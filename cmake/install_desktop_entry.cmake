# Run by the install: writes Velmo's application entry for the program where this install
# puts it, then installs the entry like every other file (DESTDIR and the install manifest
# included). The install code before it sets VELMO_ENTRY_TOOL, VELMO_ENTRY_FILE,
# VELMO_BINDIR and VELMO_DATADIR.

foreach(dir VELMO_BINDIR VELMO_DATADIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()

if(NOT EXISTS "${VELMO_ENTRY_TOOL}")
  message(FATAL_ERROR "${VELMO_ENTRY_TOOL} is missing: build before installing")
endif()
execute_process(COMMAND "${VELMO_ENTRY_TOOL}" "${VELMO_BINDIR}/velmo"
  OUTPUT_FILE "${VELMO_ENTRY_FILE}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "no desktop entry for ${VELMO_BINDIR}/velmo (${status})")
endif()
file(INSTALL DESTINATION "${VELMO_DATADIR}/applications" TYPE FILE FILES "${VELMO_ENTRY_FILE}")
