# The project's version, from project(VERSION) only, as a header for programs
# (--version) and hosts (installed beside the library's headers).
configure_file(${CMAKE_CURRENT_LIST_DIR}/externalccodriver_version.h.in
  ${PROJECT_BINARY_DIR}/generated/version/externalccodriver_version.h @ONLY)

add_library(ProjectVersion INTERFACE)
target_include_directories(ProjectVersion INTERFACE
  $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated/version>)
