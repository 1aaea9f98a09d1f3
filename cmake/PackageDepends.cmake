# Read by cpack for each package generator (CPACK_PROJECT_CONFIG_FILE): the dependencies of the
# Debian runtime package, found by dpkg-shlibdeps in the library as built. CPack's own
# CPACK_DEBIAN_PACKAGE_SHLIBDEPS would find the same, but then also writes a postinst and a
# postrm that call ldconfig, which the package's ldconfig trigger replaces.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(READ "${CPACK_VEMO_LIBRARY_FILE}" library)
  find_program(VEMO_SHLIBDEPS dpkg-shlibdeps)
  if(NOT VEMO_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is needed for the Debian packages")
  endif()
  # dpkg-shlibdeps runs in a directory that looks like a source package's.
  file(REMOVE_RECURSE "${CPACK_VEMO_SHLIBDEPS_DIR}")
  file(MAKE_DIRECTORY "${CPACK_VEMO_SHLIBDEPS_DIR}/debian")
  file(TOUCH "${CPACK_VEMO_SHLIBDEPS_DIR}/debian/control")
  execute_process(COMMAND "${VEMO_SHLIBDEPS}" -O "${library}"
    WORKING_DIRECTORY "${CPACK_VEMO_SHLIBDEPS_DIR}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE "${CPACK_VEMO_SHLIBDEPS_DIR}")
  if(NOT result EQUAL 0 OR NOT output MATCHES "^shlibs:Depends=([^\n]+)$")
    message(FATAL_ERROR "dpkg-shlibdeps failed on ${library}: ${result}\n${output}\n${errors}")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
