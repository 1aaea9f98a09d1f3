# Installs the library as a package that consumers find with find_package(vemo_core) (the target
# vemo::core) or with pkg-config (vemo_core.pc). Every path in the package files is relative to
# where they are installed, so the tree can be moved to any prefix.
#
# Two components split the files the way binary packages do (cmake/Package.cmake):
#   Runtime      the shared library under its SONAME (libvemo_core.so.0.1.0 and the link
#                libvemo_core.so.0), or on Windows the DLL with the runtime DLLs it needs;
#   Development  the headers, the link libvemo_core.so (the import library on Windows), the
#                CMake package files and vemo_core.pc.
# `cmake --install` without --component installs both.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEMO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vemo_core)

install(TARGETS vemo_core EXPORT vemo_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vemo/core/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vemo/core
  COMPONENT Development)
install(EXPORT vemo_coreTargets NAMESPACE vemo:: DESTINATION ${VEMO_CMAKE_DIR}
  COMPONENT Development)

configure_package_config_file(cmake/vemo_coreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfig.cmake
  INSTALL_DESTINATION ${VEMO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfigVersion.cmake
  DESTINATION ${VEMO_CMAKE_DIR} COMPONENT Development)

# pkg-config: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH VEMO_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VEMO_PC_TO_PREFIX "${VEMO_PC_TO_PREFIX}")
set(VEMO_PC_THREADS "")
if(CMAKE_USE_PTHREADS_INIT AND NOT WIN32)
  set(VEMO_PC_THREADS " -pthread")
endif()
configure_file(cmake/vemo_core.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vemo_core.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vemo_core.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# The API reference (target docs), where it is built: with the development files, in the
# directory of the Debian development package (share/doc/libvemo-core-dev/api). The Windows zips
# hold the library alone. Packaging builds the target first (scripts/test-deb.sh); an install
# without it says so and goes on.
if(VEMO_BUILD_DOCS AND NOT WIN32)
  install(CODE "
    if(NOT EXISTS \"${VEMO_DOCS_OUTPUT}/html.stamp\")
      message(STATUS \"API reference not built (target docs): not installed\")
    endif()" COMPONENT Development)
  install(DIRECTORY ${VEMO_DOCS_OUTPUT}/html/
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvemo-core-dev/api
    COMPONENT Development OPTIONAL)
endif()

# A MinGW build's DLL needs the thread library's DLL and, for 32 bits, the shared GCC and C++
# runtimes (cmake/mingw-w64-i686.cmake): they are installed beside it, so that programs run with
# the install tree's bin/ alone.
if(WIN32 AND MINGW)
  set(VEMO_RUNTIME_DLLS libwinpthread-1.dll)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND VEMO_RUNTIME_DLLS libgcc_s_dw2-1.dll libstdc++-6.dll)
  endif()
  foreach(dll IN LISTS VEMO_RUNTIME_DLLS)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" REALPATH)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "${dll}, which vemo_core.dll needs, is not found by ${CMAKE_CXX_COMPILER}")
    endif()
    install(FILES "${path}" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endforeach()
endif()

# vemo_net, where it is built (cmake/Package.cmake makes libvemo-net0 and libvemo-net-dev of
# these components): found with find_package(vemo_core COMPONENTS net) (the target vemo::net)
# or pkg-config (vemo-net.pc).
#   NetRuntime      libvemo_net.so.0 (vemo_net.dll; on Windows with the libzmq.dll it was built
#                   on, when that came from VEMO_ZMQ_ROOT, and libzmq's licence texts);
#   NetDevelopment  include/vemo/net, the link libvemo_net.so, vemo_netTargets.cmake, vemo-net.pc.
if(VEMO_BUILD_NET)
  install(TARGETS vemo_net EXPORT vemo_netTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT NetRuntime NAMELINK_COMPONENT NetDevelopment
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT NetDevelopment
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT NetRuntime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY include/vemo/net/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vemo/net
    COMPONENT NetDevelopment)
  install(EXPORT vemo_netTargets NAMESPACE vemo:: DESTINATION ${VEMO_CMAKE_DIR}
    COMPONENT NetDevelopment)
  # A Windows program finds its DLLs beside it, and no system offers libzmq there: the one
  # vemo_net.dll (and vemo-ctl.exe) was linked with goes along.
  if(WIN32 AND VEMO_ZMQ_ROOT AND EXISTS "${VEMO_ZMQ_ROOT}/bin/libzmq.dll")
    install(FILES "${VEMO_ZMQ_ROOT}/bin/libzmq.dll" DESTINATION ${CMAKE_INSTALL_BINDIR}
      COMPONENT NetRuntime)
    install(FILES "${VEMO_ZMQ_ROOT}/share/zmq/COPYING.txt" "${VEMO_ZMQ_ROOT}/share/zmq/COPYING.LESSER.txt"
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libzmq COMPONENT NetRuntime OPTIONAL)
  endif()
  configure_file(cmake/vemo-net.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vemo-net.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vemo-net.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT NetDevelopment)
endif()
