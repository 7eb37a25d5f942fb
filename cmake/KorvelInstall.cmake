# Where an installed korvel puts its files, after GNUInstallDirs and
# Debian's rule for private libraries: the plug-in and the stand-in's
# library are no public libraries, so they go into a directory of their
# own, ${CMAKE_INSTALL_LIBDIR}/korvel, and the programs find them through
# an RPATH relative to themselves (the tree can be moved as a whole).

set(KORVEL_INSTALL_PKGLIBDIR "${CMAKE_INSTALL_LIBDIR}/korvel")
# Who answers for the package (its Maintainer field and the signature of
# every entry of its changelog).
set(KORVEL_MAINTAINER "The libKorvel developers <korvel-dev@lists.example.org>")
file(RELATIVE_PATH KORVEL_BIN_TO_PKGLIB
  "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}"
  "${CMAKE_INSTALL_PREFIX}/${KORVEL_INSTALL_PKGLIBDIR}")

option(KORVEL_MANPAGES "Make man pages from the programs' --help (help2man)" ON)
find_program(KORVEL_HELP2MAN help2man)
find_program(KORVEL_GZIP gzip REQUIRED)
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
  # Installed compressed as Debian wants it (gzip -9, no name or time in
  # the header, so the same page gives the same bytes); the build tree
  # keeps the plain page for `man -l`.
  set(page ${CMAKE_BINARY_DIR}/man/${name}.1)
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${KORVEL_HELP2MAN} --no-info --no-discard-stderr
            --name=${summary} --output=${page} ${MAN_PROGRAM}
    COMMAND ${KORVEL_GZIP} -9nkf ${page}
    DEPENDS ${MAN_DEPENDS}
    COMMENT "Man page ${name}.1"
    VERBATIM)
  add_custom_target(${name}-man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# The documents a user reads beside the programs, in share/doc/korvel.
# Debian looks for the licence as `copyright` there, and for the history
# of a native package as `changelog.gz`, in Debian's changelog form: it is
# made from CHANGELOG.md by debian_changelog.py (Debian's python3).
function(korvel_install_docs)
  set(src ${PROJECT_SOURCE_DIR})
  install(FILES ${src}/README.md ${src}/CHANGELOG.md
                ${src}/docs/recording-format.md ${src}/docs/recording.schema.json
                ${src}/docs/hdf5-layout.md ${src}/examples/sample.jsonl
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${src}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

  if(NOT EXISTS /usr/bin/python3)
    message(STATUS "/usr/bin/python3 not found: no changelog.gz (scripts/setup.sh installs it)")
    return()
  endif()
  set(changelog ${CMAKE_BINARY_DIR}/doc/changelog)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND /usr/bin/python3 ${src}/cmake/debian_changelog.py
            --package ${PROJECT_NAME} --version ${PROJECT_VERSION}
            --maintainer ${KORVEL_MAINTAINER} ${src}/CHANGELOG.md ${changelog}
    COMMAND ${KORVEL_GZIP} -9nf ${changelog}
    DEPENDS ${src}/CHANGELOG.md ${src}/cmake/debian_changelog.py
    COMMENT "Debian changelog from CHANGELOG.md"
    VERBATIM)
  add_custom_target(korvel-changelog ALL DEPENDS ${changelog}.gz)
  install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endfunction()

# What lintian is told to accept in the package, each with its reason
# beside it (share/lintian/overrides/korvel).
function(korvel_install_lintian_overrides)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/korvel.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${PROJECT_NAME})
endfunction()

# Python modules. Debian's python3 finds a package's public modules in
# lib/python3/dist-packages (no Python version, not the multiarch libdir);
# a program's own modules may live in a private directory under
# share/korvel instead (korvel-look does). Only the .py sources are
# installed: bytecode is never shipped (the interpreter may write it in
# __pycache__ beside them, which dpkg does not own, so programs that run
# from the package set sys.dont_write_bytecode).
set(KORVEL_INSTALL_PYTHONDIR "lib/python3/dist-packages")

# korvel_install_python_package(DIR DESTINATION): the package directory
# DIR (with its subpackages) under DESTINATION, .py files only.
function(korvel_install_python_package dir destination)
  install(DIRECTORY ${dir} DESTINATION ${destination}
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
endfunction()

# korvel_python_program(PROGRAM PACKAGE DIR DESTINATION DIR SUMMARY TEXT
#                       MODULES NAME...): the Python program PROGRAM (a
# script in the calling directory) and its package PACKAGE beside it, of
# the modules MODULES (names without .py). The build tree gets a runnable
# copy in the calling directory's binary directory: the script, the
# modules and PACKAGE/_version.py, which holds the project's version (the
# sources have none, so that only the build says what version it is). The
# install puts the script into bin, its man page (SUMMARY: help2man's
# --name) into man1 and the package's .py files under DESTINATION.
function(korvel_python_program program)
  cmake_parse_arguments(PARSE_ARGV 1 PY "" "PACKAGE;DESTINATION;SUMMARY" "MODULES")
  set(src ${CMAKE_CURRENT_SOURCE_DIR})
  set(bin ${CMAKE_CURRENT_BINARY_DIR})
  configure_file(${src}/${program} ${bin}/${program} COPYONLY)
  foreach(m ${PY_MODULES})
    configure_file(${src}/${PY_PACKAGE}/${m}.py ${bin}/${PY_PACKAGE}/${m}.py COPYONLY)
  endforeach()
  file(WRITE ${bin}/${PY_PACKAGE}/_version.py.in
    "\"\"\"The project's version, written at configure time.\"\"\"\nVERSION = \"@PROJECT_VERSION@\"\n")
  configure_file(${bin}/${PY_PACKAGE}/_version.py.in ${bin}/${PY_PACKAGE}/_version.py @ONLY)

  install(PROGRAMS ${src}/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
  korvel_man_page(${program} "${PY_SUMMARY}"
    PROGRAM ${bin}/${program}
    DEPENDS ${src}/${program} ${bin}/${PY_PACKAGE}/_version.py)
  korvel_install_python_package(${bin}/${PY_PACKAGE} ${PY_DESTINATION})
endfunction()
