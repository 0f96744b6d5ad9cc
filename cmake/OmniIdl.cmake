# omniidl_generate(OUT_VAR idlfile... [INCLUDE_DIRS dir...])
# Runs `omniidl -bcxx` once per IDL file (it takes one file per run) and puts
# the stubs into the build tree. OUT_VAR receives the generated sources.
find_program(OMNIIDL_EXECUTABLE omniidl REQUIRED)
set(OMNIIDL_SYSTEM_IDL_DIR /usr/share/idl/omniORB CACHE PATH "omniORB's IDL directory")

function(omniidl_generate out_var)
  cmake_parse_arguments(ARG "" "" "INCLUDE_DIRS" ${ARGN})
  set(outdir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  file(MAKE_DIRECTORY ${outdir})
  set(includes -I${OMNIIDL_SYSTEM_IDL_DIR})
  foreach(dir ${ARG_INCLUDE_DIRS})
    list(APPEND includes -I${dir})
  endforeach()
  set(sources)
  foreach(idl ${ARG_UNPARSED_ARGUMENTS})
    get_filename_component(abs ${idl} ABSOLUTE)
    get_filename_component(base ${idl} NAME_WE)
    set(hh ${outdir}/${base}.hh)
    set(sk ${outdir}/${base}SK.cc)
    add_custom_command(
      OUTPUT ${hh} ${sk}
      COMMAND ${OMNIIDL_EXECUTABLE} -bcxx -Wbh=.hh -Wbs=SK.cc ${includes} -C${outdir} ${abs}
      DEPENDS ${abs}
      COMMENT "omniidl ${base}.idl"
      VERBATIM)
    list(APPEND sources ${hh} ${sk})
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()
