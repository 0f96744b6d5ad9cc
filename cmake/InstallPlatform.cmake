# The host platform stand-ins as a component of their own (Platform), so that a
# host that brings the real platform installs the library without them: the
# platform's shared libraries, including the stubs of the installation's
# interfaces that its CORBA component hands out, and their headers. Headers
# are collected by pattern, so moving declarations between files needs no
# change here.
set(ECD_PLATFORM_LIBRARIES CorbaInterfaces CorbaCommon ZRBase VornValues VornAppStartUp VornRemoteTree)
set_target_properties(${ECD_PLATFORM_LIBRARIES} PROPERTIES INSTALL_RPATH "${ECD_LIBRARY_RPATH}")
install(TARGETS ${ECD_PLATFORM_LIBRARIES}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${ECD_COMPONENT_PLATFORM})

file(GLOB_RECURSE _ecd_platform_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/*.h)
list(FILTER _ecd_platform_headers EXCLUDE REGEX "private\\.h$")
install(FILES ${_ecd_platform_headers}
  ${PROJECT_BINARY_DIR}/idl/generated/cco.hh
  ${PROJECT_BINARY_DIR}/idl/generated/matrixmanager.hh
  ${PROJECT_BINARY_DIR}/platform/values/remote/generated/valuetree.hh
  DESTINATION ${ECD_INSTALL_PLATFORM_INCLUDEDIR} COMPONENT ${ECD_COMPONENT_PLATFORM})

configure_file(${CMAKE_CURRENT_LIST_DIR}/vornplatform.pc.in ${PROJECT_BINARY_DIR}/package/vornplatform.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/vornplatform.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${ECD_COMPONENT_PLATFORM})
