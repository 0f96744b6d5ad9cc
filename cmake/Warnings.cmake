# Warnings for targets built from our own sources. Generated stubs and moc
# output are compiled too, so -Werror is applied per target, not globally.
# PEDANTIC adds -Wpedantic: the library and what its users copy from (the
# examples) keep to standard C++, so that they build with the host's compiler.
function(ecd_warnings target)
  cmake_parse_arguments(PARSE_ARGV 1 ECD_WARNINGS "PEDANTIC" "" "")
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ECD_WARNINGS_PEDANTIC)
    target_compile_options(${target} PRIVATE -Wpedantic)
  endif()
  if(ECD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # GCC's bounds analysis runs on the sanitizers' instrumented code and
    # reports accesses in omniidl's inline stubs that cannot happen; keep
    # those as warnings in sanitizer builds only.
    if(ECD_SANITIZE OR ECD_TSAN)
      target_compile_options(${target} PRIVATE -Wno-error=array-bounds -Wno-error=stringop-overflow)
    endif()
  endif()
endfunction()
