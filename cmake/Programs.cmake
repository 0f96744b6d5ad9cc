# ecd_install_program(TARGET SUMMARY [EXAMPLES dir...])
# The convention for every program the project ships: installed into bin/ of
# the Programs component with a RUNPATH to the installed libraries, a man page
# built from its --help and --version, and its examples, if any, below
# share/externalccodriver/examples/TARGET.
find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
if(NOT HELP2MAN_EXECUTABLE OR NOT GZIP_EXECUTABLE)
  message(WARNING "help2man or gzip not found: programs are installed without man pages (scripts/setup.sh installs them)")
endif()
if(NOT TARGET man-pages)
  add_custom_target(man-pages ALL)
endif()

function(ecd_install_program target summary)
  cmake_parse_arguments(ARG "" "" "EXAMPLES" ${ARGN})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${ECD_PROGRAM_RPATH}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ECD_COMPONENT_PROGRAMS})
  foreach(dir ${ARG_EXAMPLES})
    install(DIRECTORY ${dir}/ DESTINATION ${ECD_INSTALL_DATADIR}/examples/${target}
      COMPONENT ${ECD_COMPONENT_PROGRAMS})
  endforeach()

  if(HELP2MAN_EXECUTABLE AND GZIP_EXECUTABLE)
    set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
    # Sanitizer builds run the program here too; a leak report at exit must
    # not fail the build.
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen
        ${HELP2MAN_EXECUTABLE} --no-info --no-discard-stderr --section=1 --name=${summary}
        --output=${page} $<TARGET_FILE:${target}>
      COMMAND ${GZIP_EXECUTABLE} -9nf ${page}
      DEPENDS ${target}
      COMMENT "man page of ${target}"
      VERBATIM)
    add_custom_target(${target}-man DEPENDS ${page}.gz)
    add_dependencies(man-pages ${target}-man)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${ECD_COMPONENT_PROGRAMS})
  endif()
endfunction()
