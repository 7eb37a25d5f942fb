# KORVEL_DEB_BUILDFLAGS: build with the flags Debian builds its packages
# with, as dpkg-buildflags gives them with every hardening feature on
# (DEB_BUILD_MAINT_OPTIONS=hardening=+all): -O2 with -D_FORTIFY_SOURCE=2
# (checked string and memory functions), -fstack-protector-strong,
# -Wformat -Werror=format-security, and linking with -z relro -z now (the
# relocations resolved at load time, then made read-only). The Debian
# package is built with it (scripts/package-test.sh); a benchmark built
# with it measures the code as the package ships it.
#
# dpkg-buildflags runs in the source directory, so its
# -ffile-prefix-map=SOURCE=. keeps the build's own path out of the objects.

option(KORVEL_DEB_BUILDFLAGS "Build with Debian's flags from dpkg-buildflags, hardening included" OFF)

if(KORVEL_DEB_BUILDFLAGS)
  find_program(KORVEL_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
  foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${KORVEL_DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${status})")
    endif()
    separate_arguments(KORVEL_DEB_${kind} UNIX_COMMAND "${flags}")
  endforeach()
  message(STATUS "Debian build flags: ${KORVEL_DEB_CPPFLAGS} ${KORVEL_DEB_CXXFLAGS} / ${KORVEL_DEB_LDFLAGS}")
  add_compile_options(${KORVEL_DEB_CPPFLAGS}
    "$<$<COMPILE_LANGUAGE:C>:${KORVEL_DEB_CFLAGS}>"
    "$<$<COMPILE_LANGUAGE:CXX>:${KORVEL_DEB_CXXFLAGS}>")
  add_link_options(${KORVEL_DEB_LDFLAGS})
endif()
