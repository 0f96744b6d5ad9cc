# Where `cmake --install` puts things. Debian's multiarch library folder is
# used under every prefix, so that a build installed below /usr/local or a
# scratch prefix lays out like the packages. Installed libraries find their
# siblings, and programs the libraries, through a RUNPATH relative to
# themselves: an unpacked or relocated tree runs as it is.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)

set(ECD_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ExternalCCODriver)
set(ECD_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/externalccodriver)
set(ECD_INSTALL_PLATFORM_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/vornplatform)
set(ECD_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/externalccodriver)

file(RELATIVE_PATH _ecd_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(ECD_PROGRAM_RPATH "$ORIGIN/${_ecd_bin_to_lib}")
set(ECD_LIBRARY_RPATH "$ORIGIN")
# pkg-config files find the prefix from their own place, so that the tree
# works wherever `cmake --install --prefix` put it.
file(RELATIVE_PATH ECD_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ECD_PC_TO_PREFIX "${ECD_PC_TO_PREFIX}")
# Targets that are not installed keep their build-tree RUNPATH.
set(CMAKE_INSTALL_RPATH ${ECD_LIBRARY_RPATH})

# Components, one Debian package each (see Packaging.cmake).
set(ECD_COMPONENT_RUNTIME Runtime)
set(ECD_COMPONENT_DEVEL Devel)
set(ECD_COMPONENT_PLATFORM Platform)
set(ECD_COMPONENT_PROGRAMS Programs)
