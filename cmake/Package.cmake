# Binary packages of the install tree (cmake/Install.cmake), made with
#   cpack --config <build>/CPackConfig.cmake -B <output directory>
#
# Linux (Debian), one package per component:
#   libvemo-core0         (Runtime) the library under its SONAME, stripped; its dependencies from
#                         dpkg-shlibdeps, a shlibs file and the ldconfig trigger (no maintainer
#                         scripts);
#   libvemo-core-dev      (Development) the headers, the link libvemo_core.so, the CMake package
#                         files and vemo_core.pc; depends on libvemo-core0 of the same version;
#   libvemo-core0-dbgsym  (Debug) the library's debugging information under
#                         /usr/lib/debug/.build-id/, where debuggers and the library's own call
#                         stacks find its functions, files and lines.
#   Configure with -DCMAKE_INSTALL_PREFIX=/usr: the library then lies in the multiarch directory
#   (lib/x86_64-linux-gnu) that the system's pkg-config and cross tools search.
# Windows: one zip of Runtime and Development per word size, vemo_core-<version>-win64.zip or
#   -win32.zip, with the runtime DLLs the library needs beside it in bin/.
set(CPACK_PACKAGE_NAME vemo_core)
set(CPACK_PACKAGE_VENDOR "vemo_core developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each Debian package's description starts with its own synopsis line: CPack would put a
# CPACK_PACKAGE_DESCRIPTION_SUMMARY of the project's own before it.
set(VEMO_PACKAGE_SUMMARY "core library of the vemo application framework")
set(CPACK_COMPONENTS_ALL Runtime Development)
if(VEMO_BUILD_NET)
  list(APPEND CPACK_COMPONENTS_ALL NetRuntime NetDevelopment)
endif()
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # Everything under one directory named like the zip.
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(VEMO_PACKAGE_MAINTAINER "vemo_core maintainers <maintainers@vemo-core.example>"
    CACHE STRING "Maintainer field of the Debian packages")
  set(VEMO_DEB_RELEASE 1)
  set(VEMO_DEB_VERSION ${PROJECT_VERSION}-${VEMO_DEB_RELEASE})
  set(VEMO_DEB_RUNTIME libvemo-core${PROJECT_VERSION_MAJOR})
  set(VEMO_DEB_DEV libvemo-core-dev)
  set(VEMO_DEB_DEBUG ${VEMO_DEB_RUNTIME}-dbgsym)
  set(VEMO_DEB_ABOUT
"vemo_core gives programs of the vemo framework reference-counted objects with a
class registry, strings in three encodings, binary streams, JSON and reflected
properties, typed messages, a cooperative runtime of systems and threads,
logging, call stacks and crash reports.
.")

  list(APPEND CPACK_COMPONENTS_ALL Debug)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${VEMO_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VEMO_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SOURCE vemo-core)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The installed library is stripped; its debugging information goes to the Debug component.
  set(CPACK_STRIP_FILES ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VEMO_DEB_RUNTIME})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # Its dependencies come from dpkg-shlibdeps on the library, run by cpack when it reads
  # cmake/PackageDepends.cmake.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/library CONTENT "$<TARGET_FILE:vemo_core>")
  set(CPACK_VEMO_LIBRARY_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/library)
  set(CPACK_VEMO_SHLIBDEPS_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibdeps)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/PackageDepends.cmake)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${VEMO_PACKAGE_SUMMARY}
${VEMO_DEB_ABOUT}
This package holds the shared library.")
  # The shlibs file makes programs built against the library depend on this version or a later
  # one; ldconfig runs through the trigger.
  configure_file(cmake/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${VEMO_DEB_DEV})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${VEMO_DEB_RUNTIME} (= ${VEMO_DEB_VERSION})")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "${VEMO_PACKAGE_SUMMARY} (development files)
${VEMO_DEB_ABOUT}
This package holds the headers, the CMake package (find_package(vemo_core),
target vemo::core) and the pkg-config file vemo_core.pc.")

  # libvemo-net0 and libvemo-net-dev: vemo_net, message ports over ZeroMQ.
  set(CPACK_DEBIAN_NETRUNTIME_PACKAGE_NAME libvemo-net${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_NETRUNTIME_PACKAGE_SECTION libs)
  # Its dependencies and vemo-ctl's come from dpkg-shlibdeps as the core's do (see
  # cmake/PackageDepends.cmake), with vemo_core's and vemo_net's own packages for their libraries;
  # a shlibs file and the ldconfig trigger as for libvemo-core0.
  set(CPACK_DEBIAN_NETRUNTIME_PACKAGE_DEPENDS "${VEMO_DEB_RUNTIME} (= ${VEMO_DEB_VERSION})")
  if(VEMO_BUILD_NET)
    file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/net-library
      CONTENT "$<TARGET_FILE:vemo_net>")
    file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/net-tool
      CONTENT "$<TARGET_FILE:vemo-ctl>")
    set(CPACK_VEMO_NET_LIBRARY_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/net-library)
    set(CPACK_VEMO_NET_TOOL_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/net-tool)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs.local
      "libvemo_core ${PROJECT_VERSION_MAJOR} ${VEMO_DEB_RUNTIME} (= ${VEMO_DEB_VERSION})\n"
      "libvemo_net ${PROJECT_VERSION_MAJOR} libvemo-net${PROJECT_VERSION_MAJOR} (= ${VEMO_DEB_VERSION})\n")
    set(CPACK_VEMO_SHLIBS_LOCAL ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs.local)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/net/shlibs
      "libvemo_net ${PROJECT_VERSION_MAJOR} libvemo-net${PROJECT_VERSION_MAJOR} (>= ${PROJECT_VERSION})\n")
    set(CPACK_DEBIAN_NETRUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/net/shlibs
      ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
    # vemo-ctl's manual page.
    execute_process(COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man)
    execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/tools/vemo-ctl.1
      OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/man/vemo-ctl.1.gz RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip of vemo-ctl's manual page failed: ${gzip_result}")
    endif()
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/vemo-ctl.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT NetDevelopment EXCLUDE_FROM_ALL)
  endif()
  set(CPACK_DEBIAN_NETRUNTIME_DESCRIPTION "message ports of the vemo framework over ZeroMQ
vemo_net links the typed message ports of vemo_core to ZeroMQ endpoints:
pipelines, publish/subscribe by message class, request/reply, and an
at-least-once pipeline that survives a restarted receiver.
.
This package holds the shared library.")
  set(CPACK_DEBIAN_NETDEVELOPMENT_PACKAGE_NAME libvemo-net-dev)
  set(CPACK_DEBIAN_NETDEVELOPMENT_PACKAGE_SECTION libdevel)
  # With vemo-ctl's dependencies, libvemo-net0 of the same version among them.
  set(CPACK_DEBIAN_NETDEVELOPMENT_PACKAGE_DEPENDS "${VEMO_DEB_DEV} (= ${VEMO_DEB_VERSION})")
  set(CPACK_DEBIAN_NETDEVELOPMENT_DESCRIPTION "message ports of the vemo framework over ZeroMQ (development files)
vemo_net links the typed message ports of vemo_core to ZeroMQ endpoints.
.
This package holds the headers, the CMake component (find_package(vemo_core
COMPONENTS net), target vemo::net), the pkg-config file vemo-net.pc and
vemo-ctl, which sends a command to an application box served on an endpoint.")

  set(CPACK_DEBIAN_DEBUG_PACKAGE_NAME ${VEMO_DEB_DEBUG})
  set(CPACK_DEBIAN_DEBUG_PACKAGE_SECTION debug)
  set(CPACK_DEBIAN_DEBUG_PACKAGE_DEPENDS "${VEMO_DEB_RUNTIME} (= ${VEMO_DEB_VERSION})")
  set(CPACK_DEBIAN_DEBUG_DESCRIPTION "debug symbols for ${VEMO_DEB_RUNTIME}
${VEMO_DEB_ABOUT}
This package holds the debugging information of libvemo_core.so.${PROJECT_VERSION_MAJOR}: with
it installed, the library's call stacks name its functions, source files and
lines, and so do debuggers.")

  # Stripping as Debian's packages are stripped: symbols that no relocation needs, and the
  # compiler's version comments. The build ID stays; the Debug component is found by it.
  foreach(tool CMAKE_STRIP CMAKE_OBJCOPY CMAKE_READELF)
    if(NOT ${tool})
      message(FATAL_ERROR "The Debian packages need ${tool}")
    endif()
  endforeach()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
          --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:vemo_core>\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT Runtime)
  # The debugging information of the library as built, compressed, named by its build ID.
  install(CODE "
    execute_process(COMMAND \"${CMAKE_READELF}\" -n \"$<TARGET_FILE:vemo_core>\"
      OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
    if(NOT notes MATCHES \"Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)\")
      message(FATAL_ERROR \"$<TARGET_FILE:vemo_core> has no build ID\")
    endif()
    set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/\${CMAKE_MATCH_1}\")
    set(file \"\${dir}/\${CMAKE_MATCH_2}.debug\")
    message(STATUS \"Installing: \${file}\")
    file(MAKE_DIRECTORY \"\${dir}\")
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug --compress-debug-sections
        \"$<TARGET_FILE:vemo_core>\" \"\${file}\"
      COMMAND_ERROR_IS_FATAL ANY)
    file(CHMOD \"\${file}\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)"
    COMPONENT Debug EXCLUDE_FROM_ALL)

  # Each package carries the copyright and the changelog in /usr/share/doc/<package>/, and tells
  # lintian what it knows: these packages close no bug of Debian's (they are not uploaded there).
  # They are left out of a plain `cmake --install`, which installs only the components' default
  # files.
  string(TIMESTAMP VEMO_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
  find_program(VEMO_GZIP gzip REQUIRED)
  execute_process(COMMAND ${VEMO_GZIP} -9 -n -f -k ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip of the Debian changelog failed: ${gzip_result}")
  endif()
  set(VEMO_DOC_COMPONENTS Runtime Development Debug)
  if(VEMO_BUILD_NET)
    list(APPEND VEMO_DOC_COMPONENTS NetRuntime NetDevelopment)
  endif()
  foreach(component IN LISTS VEMO_DOC_COMPONENTS)
    string(TOUPPER ${component} upper)
    set(VEMO_DEB_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VEMO_DEB_PACKAGE})
    install(FILES cmake/debian/copyright DESTINATION ${doc} COMPONENT ${component}
      EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz DESTINATION ${doc}
      RENAME changelog.Debian.gz COMPONENT ${component} EXCLUDE_FROM_ALL)
    configure_file(cmake/debian/lintian-overrides.in
      ${CMAKE_CURRENT_BINARY_DIR}/debian/lintian-overrides/${VEMO_DEB_PACKAGE} @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/lintian-overrides/${VEMO_DEB_PACKAGE}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component}
      EXCLUDE_FROM_ALL)
  endforeach()
endif()

include(CPack)
