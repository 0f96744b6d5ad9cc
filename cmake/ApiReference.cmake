# The API reference of the class library, from its public headers and
# docs/class-library.md, with the examples' marked regions pulled in by
# \snippet. `cmake --build build --target api-reference` writes
# build/api-reference/html/index.html; any warning fails the build, so the
# headers' comments and the page stay valid for Doxygen.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "doxygen not found: no api-reference target")
  return()
endif()

set(DOXYGEN_PROJECT_NAME "ExternalCCODriver class library")
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/api-reference)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/class-library.md)
set(DOXYGEN_EXAMPLE_PATH ${PROJECT_SOURCE_DIR}/examples)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/devicecontrol/receiver/externalccodriver
  ${PROJECT_BINARY_DIR}/devicecontrol/receiver/externalccodriver ${PROJECT_SOURCE_DIR}/docs)
set(DOXYGEN_FULL_PATH_NAMES YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_WARN_IF_UNDOCUMENTED NO)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_HIDE_UNDOC_MEMBERS YES)
set(DOXYGEN_HIDE_UNDOC_CLASSES YES)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
set(DOXYGEN_QT_AUTOBRIEF YES)
set(DOXYGEN_SORT_MEMBER_DOCS NO)
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "EXTERNALCCODRIVER_EXPORT=" "Q_OBJECT=" "Q_SIGNALS=public" "Q_SLOTS=")
set(DOXYGEN_EXCLUDE_SYMBOLS "ORBConnection" "QTimer" "ReceiverConnector")

doxygen_add_docs(api-reference
  ${_ecd_public_headers}
  ${PROJECT_SOURCE_DIR}/docs/class-library.md
  COMMENT "API reference of the class library")
