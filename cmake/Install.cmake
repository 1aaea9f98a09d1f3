# Installs the library as a package that consumers find with find_package(vemo_core) (the target
# vemo::core) or with pkg-config (vemo_core.pc). Every path in the package files is relative to
# where they are installed, so the tree can be moved to any prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEMO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vemo_core)

install(TARGETS vemo_core EXPORT vemo_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vemo/core/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vemo/core)
install(EXPORT vemo_coreTargets NAMESPACE vemo:: DESTINATION ${VEMO_CMAKE_DIR})

configure_package_config_file(cmake/vemo_coreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfig.cmake
  INSTALL_DESTINATION ${VEMO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vemo_coreConfigVersion.cmake
  DESTINATION ${VEMO_CMAKE_DIR})

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
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
