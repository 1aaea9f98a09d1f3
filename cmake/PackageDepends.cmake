# Read by cpack for each package generator (CPACK_PROJECT_CONFIG_FILE): the dependencies of the
# Debian packages that hold programs or libraries, found by dpkg-shlibdeps in them as built.
# CPack's own CPACK_DEBIAN_PACKAGE_SHLIBDEPS would find the same, but then also writes a postinst
# and a postrm that call ldconfig, which the packages' ldconfig trigger replaces.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(VEMO_SHLIBDEPS dpkg-shlibdeps)
  if(NOT VEMO_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps (package dpkg-dev) is needed for the Debian packages")
  endif()

  # The Depends of the binary in the file `name_file` (which names it) into `out`. The libraries
  # of this project are found beside the binaries and named by shlibs.local.
  function(vemo_shlibdeps name_file out)
    file(READ "${name_file}" binary)
    # dpkg-shlibdeps runs in a directory that looks like a source package's.
    file(REMOVE_RECURSE "${CPACK_VEMO_SHLIBDEPS_DIR}")
    file(MAKE_DIRECTORY "${CPACK_VEMO_SHLIBDEPS_DIR}/debian")
    file(TOUCH "${CPACK_VEMO_SHLIBDEPS_DIR}/debian/control")
    set(search)
    if(CPACK_VEMO_SHLIBS_LOCAL)
      configure_file("${CPACK_VEMO_SHLIBS_LOCAL}" "${CPACK_VEMO_SHLIBDEPS_DIR}/debian/shlibs.local"
        COPYONLY)
      file(READ "${CPACK_VEMO_LIBRARY_FILE}" core)
      get_filename_component(core_dir "${core}" DIRECTORY)
      file(READ "${CPACK_VEMO_NET_LIBRARY_FILE}" net)
      get_filename_component(net_dir "${net}" DIRECTORY)
      set(search "-l${core_dir}" "-l${net_dir}")
    endif()
    execute_process(COMMAND "${VEMO_SHLIBDEPS}" -O ${search} "${binary}"
      WORKING_DIRECTORY "${CPACK_VEMO_SHLIBDEPS_DIR}"
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    file(REMOVE_RECURSE "${CPACK_VEMO_SHLIBDEPS_DIR}")
    if(NOT result EQUAL 0 OR NOT output MATCHES "^shlibs:Depends=([^\n]+)$")
      message(FATAL_ERROR "dpkg-shlibdeps failed on ${binary}: ${result}\n${output}\n${errors}")
    endif()
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endfunction()

  vemo_shlibdeps("${CPACK_VEMO_LIBRARY_FILE}" CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS)
  if(CPACK_VEMO_NET_LIBRARY_FILE)
    vemo_shlibdeps("${CPACK_VEMO_NET_LIBRARY_FILE}" net_depends)
    set(CPACK_DEBIAN_NETRUNTIME_PACKAGE_DEPENDS "${net_depends}")
    vemo_shlibdeps("${CPACK_VEMO_NET_TOOL_FILE}" tool_depends)
    set(CPACK_DEBIAN_NETDEVELOPMENT_PACKAGE_DEPENDS
      "${CPACK_DEBIAN_NETDEVELOPMENT_PACKAGE_DEPENDS}, ${tool_depends}")
  endif()
endif()
