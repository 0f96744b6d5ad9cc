# The library as a host takes it home: the shared object (Runtime), and its
# public headers, IDL, CMake package and pkg-config file (Devel). Only the
# headers of exported classes and the records they hand out are installed;
# tests/install builds a host against the installed tree to keep it so.
include(CMakePackageConfigHelpers)

set(_ecd_driver_dir ${PROJECT_SOURCE_DIR}/devicecontrol/receiver/externalccodriver)
set(_ecd_public_headers
  ${_ecd_driver_dir}/antennarangedefinition.h
  ${_ecd_driver_dir}/ccolocateregistration.h
  ${_ecd_driver_dir}/ccoregistration.h
  ${_ecd_driver_dir}/ccowatcher.h
  ${_ecd_driver_dir}/externalccodriver.h
  ${_ecd_driver_dir}/idllinstance.h
  ${_ecd_driver_dir}/mirroring/ccoreceivertypes.h
  ${_ecd_driver_dir}/mirroring/receivercco.h
  ${PROJECT_BINARY_DIR}/devicecontrol/receiver/externalccodriver/externalccodriver_export.h
  ${PROJECT_BINARY_DIR}/generated/version/externalccodriver_version.h)

set_target_properties(ExternalCCODriver PROPERTIES INSTALL_RPATH "${ECD_LIBRARY_RPATH}")
install(TARGETS ExternalCCODriver EXPORT ExternalCCODriverTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT ${ECD_COMPONENT_RUNTIME}
    NAMELINK_COMPONENT ${ECD_COMPONENT_DEVEL})
# One folder, flat: the headers include each other by file name, as in the
# source tree where mirroring/ is on the include path too.
install(FILES ${_ecd_public_headers} DESTINATION ${ECD_INSTALL_INCLUDEDIR} COMPONENT ${ECD_COMPONENT_DEVEL})
install(FILES ${PROJECT_SOURCE_DIR}/idl/cco.idl ${PROJECT_SOURCE_DIR}/idl/matrixmanager.idl
  DESTINATION ${ECD_INSTALL_DATADIR}/idl COMPONENT ${ECD_COMPONENT_DEVEL})

install(EXPORT ExternalCCODriverTargets NAMESPACE ExternalCCODriver::
  DESTINATION ${ECD_INSTALL_CMAKEDIR} COMPONENT ${ECD_COMPONENT_DEVEL})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ExternalCCODriverConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/ExternalCCODriverConfig.cmake
  INSTALL_DESTINATION ${ECD_INSTALL_CMAKEDIR}
  PATH_VARS ECD_INSTALL_INCLUDEDIR ECD_INSTALL_DATADIR)
# 0.x releases promise nothing across minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ExternalCCODriverConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ExternalCCODriverConfig.cmake
  ${PROJECT_BINARY_DIR}/package/ExternalCCODriverConfigVersion.cmake
  DESTINATION ${ECD_INSTALL_CMAKEDIR} COMPONENT ${ECD_COMPONENT_DEVEL})

configure_file(${CMAKE_CURRENT_LIST_DIR}/externalccodriver.pc.in
  ${PROJECT_BINARY_DIR}/package/externalccodriver.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/externalccodriver.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${ECD_COMPONENT_DEVEL})
