# Installs the build into a fresh prefix, builds tests/install/consumer
# against that prefix alone and runs it with the installed cco-server.
foreach(var BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CXX_COMPILER)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " text "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${text}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
foreach(component Runtime Devel Platform Programs)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component ${component})
endforeach()

# Nothing of the build or source tree may be found: no package registry, and
# pkg-config looks into the prefix only.
file(GLOB pcdirs ${prefix}/lib/*/pkgconfig ${prefix}/lib/pkgconfig)
string(REPLACE ";" ":" pcpath "${pcdirs}")
set(ENV{PKG_CONFIG_PATH} "${pcpath}")
set(ENV{PKG_CONFIG_LIBDIR} "${pcpath}:/usr/lib/x86_64-linux-gnu/pkgconfig:/usr/lib/pkgconfig:/usr/share/pkgconfig")
set(launcher)
if(CXX_LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${CXX_LAUNCHER})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${WORK_DIR}/build
  -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${launcher}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build -j2)
run(${WORK_DIR}/build/consumer ${prefix}/bin/cco-server)
run(${WORK_DIR}/build/pkgconfig-consumer)
