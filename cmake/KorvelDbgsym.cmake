# Run by cpack after the packages are made (CPACK_POST_BUILD_SCRIPTS): puts
# the debug-symbol package (korvel-dbgsym_*.ddeb) into the form Debian's
# own dbgsym packages have, which CPack's generator does not give:
#  - DEBIAN/md5sums names the files by their path in the package (CPack
#    writes the absolute path of its staging directory instead);
#  - the .debug files are plain data, mode 0644 (CPack leaves 0755);
#  - usr/share/doc/korvel-dbgsym is a link to korvel's documents, which
#    hold the copyright and changelog that cover it.

function(korvel_fix_dbgsym ddeb)
  get_filename_component(dir "${ddeb}" DIRECTORY)
  set(tree "${dir}/dbgsym-tree")
  file(REMOVE_RECURSE "${tree}")
  korvel_run(dpkg-deb -R "${ddeb}" "${tree}")

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
  list(SORT files)
  set(sums "")
  foreach(f IN LISTS files)
    file(CHMOD "${tree}/${f}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${tree}/${f}" sum)
    string(APPEND sums "${sum}  ${f}\n")
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")

  get_filename_component(package_name "${ddeb}" NAME)
  string(REGEX REPLACE "_.*" "" package_name "${package_name}")
  string(REGEX REPLACE "-dbgsym$" "" main_name "${package_name}")
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${main_name}" "${tree}/usr/share/doc/${package_name}" SYMBOLIC)

  korvel_run(dpkg-deb --root-owner-group -b "${tree}" "${ddeb}")
  file(REMOVE_RECURSE "${tree}")
endfunction()

function(korvel_run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGV}: ${err}")
  endif()
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "-dbgsym_[^/]*\\.ddeb$")
    korvel_fix_dbgsym("${package}")
  endif()
endforeach()
