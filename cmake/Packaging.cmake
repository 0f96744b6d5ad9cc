# Debian packages, one per install component:
#   libexternalccodriver0     Runtime   the shared library
#   libexternalccodriver-dev  Devel     headers, IDL, CMake package, pkg-config file
#   vorn-platform-standins    Platform  the host platform stand-ins (provides vorn-platform)
#   externalccodriver-servers Programs  cco-server, matrix-server, cco-tool, vorn-host, installation-view,
#                                       examples, systemd units, man pages
# The library needs a platform but not these stand-ins: it depends on the
# virtual package vorn-platform, which a host's real platform can provide.
# scripts/package.sh builds them for prefix /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME externalccodriver)
set(CPACK_PACKAGE_VENDOR "ExternalCCODriver developers")
set(CPACK_PACKAGE_CONTACT "ExternalCCODriver developers <externalccodriver@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Installed below DESTDIR with the final prefix, so that install scripts (the
# systemd units) name the programs where the package puts them.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_THREADS 2)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ECD_COMPONENT_RUNTIME} ${ECD_COMPONENT_DEVEL} ${ECD_COMPONENT_PLATFORM}
  ${ECD_COMPONENT_PROGRAMS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each package is examined alone, so dpkg-shlibdeps finds the libraries of
# the other packages built here in the build tree; the dependencies between
# these packages are stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
foreach(library ExternalCCODriver ${ECD_PLATFORM_LIBRARIES})
  get_target_property(dir ${library} BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
endforeach()

set(_ecd_deb_version "${PROJECT_VERSION}")
string(TOUPPER ${ECD_COMPONENT_RUNTIME} _rt)
string(TOUPPER ${ECD_COMPONENT_DEVEL} _dev)
string(TOUPPER ${ECD_COMPONENT_PLATFORM} _pf)
string(TOUPPER ${ECD_COMPONENT_PROGRAMS} _prog)

set(CPACK_DEBIAN_${_rt}_PACKAGE_NAME libexternalccodriver${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_${_rt}_PACKAGE_DEPENDS "vorn-platform")
set(CPACK_COMPONENT_${_rt}_DESCRIPTION
  "Device-driver plug-in and class library for the Vorn host\n The driver plug-in (ZRCreate/ZRDestroy) and the exported classes: the CCO\n watcher, value and locate registrations, and the receiver mirroring.")

set(CPACK_DEBIAN_${_dev}_PACKAGE_NAME libexternalccodriver-dev)
set(CPACK_DEBIAN_${_dev}_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_${_dev}_PACKAGE_DEPENDS
  "libexternalccodriver${PROJECT_VERSION_MAJOR} (= ${_ecd_deb_version}), qtbase5-dev")
set(CPACK_DEBIAN_${_dev}_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_${_dev}_DESCRIPTION
  "Development files of ExternalCCODriver\n Public headers, IDL files, the CMake package (find_package(ExternalCCODriver))\n and the pkg-config file (externalccodriver).")

set(CPACK_DEBIAN_${_pf}_PACKAGE_NAME vorn-platform-standins)
set(CPACK_DEBIAN_${_pf}_PACKAGE_PROVIDES "vorn-platform")
# Its headers and pkg-config file are for building hosts against it.
set(CPACK_DEBIAN_${_pf}_PACKAGE_SUGGESTS "qtbase5-dev, libomniorb4-dev")
set(CPACK_COMPONENT_${_pf}_DESCRIPTION
  "Stand-ins of the Vorn host platform libraries\n Base library, value tree, remote value tree, start-up configuration, the\n CORBA connection component and the stubs of the installation's interfaces,\n with their headers, for hosts and tests without the real platform.")

set(CPACK_DEBIAN_${_prog}_PACKAGE_NAME externalccodriver-servers)
set(CPACK_DEBIAN_${_prog}_PACKAGE_SECTION net)
set(CPACK_DEBIAN_${_prog}_PACKAGE_DEPENDS
  "libexternalccodriver${PROJECT_VERSION_MAJOR} (= ${_ecd_deb_version}), vorn-platform-standins (= ${_ecd_deb_version})")
set(CPACK_DEBIAN_${_prog}_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/services/systemd/conffiles
  ${PROJECT_SOURCE_DIR}/services/systemd/postinst ${PROJECT_SOURCE_DIR}/services/systemd/postrm)
set(CPACK_COMPONENT_${_prog}_DESCRIPTION
  "Installation servers and tools for ExternalCCODriver\n cco-server (central configuration and naming service), matrix-server\n (antenna matrix manager), cco-tool, the host vorn-host and the web page\n installation-view, with systemd units, man pages and examples.")

include(CPack)
