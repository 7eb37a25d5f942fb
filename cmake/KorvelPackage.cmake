# The Debian package: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (then the private libraries land in
# /usr/lib/<multiarch>/korvel). Its dependencies on shared libraries are
# computed by dpkg-shlibdeps from what the programs link.

set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VENDOR "The libKorvel developers")
set(CPACK_PACKAGE_CONTACT ${KORVEL_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "DAQ reader plug-in that writes event tables, image files and HDF5")
set(CPACK_PACKAGE_DESCRIPTION
  "libKorvel is a user plug-in for a DAQ reader: it turns each recorded event's
channels into a row of an event table, exports camera images as files and
writes run statistics, per-channel event-ID lists and an XML channel
description. The package holds the plug-in, a stand-in reader that replays
recordings into it (korvel-replay), korvel-h5, which converts an event
table into an HDF5 file for h5py, pandas and HDF5 viewers, korvel-look,
a report of such a file, and the Python package korvel with korvel-ls,
which read it as runs labelled by event id for pandas, xarray and Dask.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvel.example.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs and libraries are installed stripped; their debug
# information goes into a second package, korvel-dbgsym (a .ddeb, files
# under /usr/lib/debug/.build-id, found by gdb through the build id),
# which KorvelDbgsym.cmake puts right after CPack has made it.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/KorvelDbgsym.cmake)
# The programs find the private libraries through $ORIGIN; tell
# dpkg-shlibdeps where they are so that it does not look for a package
# that provides them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux/usr/${KORVEL_INSTALL_PKGLIBDIR})
# What korvel-look and the package korvel (Python) need besides the linked
# libraries; a Dask cluster (python3-distributed) only for map_runs with one.
if(EXISTS ${PROJECT_SOURCE_DIR}/look/CMakeLists.txt)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-h5py, python3-numpy, python3-matplotlib")
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/python/CMakeLists.txt)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", python3-pandas, python3-xarray, python3-dask")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed")
  # The bytecode Python writes beside the installed package is removed
  # before the package (prerm), as Debian's own Python packages do.
  set(KORVEL_PY_INSTALLED "${CPACK_PACKAGING_INSTALL_PREFIX}/${KORVEL_INSTALL_PYTHONDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/prerm.in ${CMAKE_BINARY_DIR}/debian/prerm
    @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
