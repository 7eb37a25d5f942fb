# Where an installed korvel puts its files, after GNUInstallDirs and
# Debian's rule for private libraries: the plug-in and the stand-in's
# library are no public libraries, so they go into a directory of their
# own, ${CMAKE_INSTALL_LIBDIR}/korvel, and the programs find them through
# an RPATH relative to themselves (the tree can be moved as a whole).

set(KORVEL_INSTALL_PKGLIBDIR "${CMAKE_INSTALL_LIBDIR}/korvel")
file(RELATIVE_PATH KORVEL_BIN_TO_PKGLIB
  "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}"
  "${CMAKE_INSTALL_PREFIX}/${KORVEL_INSTALL_PKGLIBDIR}")

option(KORVEL_MANPAGES "Make man pages from the programs' --help (help2man)" ON)
find_program(KORVEL_HELP2MAN help2man)
if(KORVEL_MANPAGES AND NOT KORVEL_HELP2MAN)
  message(STATUS "help2man not found: no man pages (scripts/setup.sh installs it)")
endif()

# korvel_man_page(NAME SUMMARY [PROGRAM FILE DEPENDS...]): section 1 page
# of a program, made at build time from its --help and --version and
# installed with it. PROGRAM is the file to run, by default the target NAME.
function(korvel_man_page name summary)
  if(NOT KORVEL_MANPAGES OR NOT KORVEL_HELP2MAN)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 MAN "" "PROGRAM" "DEPENDS")
  if(NOT MAN_PROGRAM)
    set(MAN_PROGRAM $<TARGET_FILE:${name}>)
    # korvel-replay --help also prints the plug-in's usage: the page
    # waits for the plug-in too.
    set(MAN_DEPENDS ${name} Korvel)
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${name}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${KORVEL_HELP2MAN} --no-info --no-discard-stderr
            --name=${summary} --output=${page} ${MAN_PROGRAM}
    DEPENDS ${MAN_DEPENDS}
    COMMENT "Man page ${name}.1"
    VERBATIM)
  add_custom_target(${name}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# The documents a user reads beside the programs, in share/doc/korvel.
# Debian looks for the licence as `copyright` there.
function(korvel_install_docs)
  set(src ${PROJECT_SOURCE_DIR})
  install(FILES ${src}/README.md ${src}/CHANGELOG.md
                ${src}/docs/recording-format.md ${src}/docs/recording.schema.json
                ${src}/docs/hdf5-layout.md ${src}/examples/sample.jsonl
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${src}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endfunction()
